// The GUI tests run offscreen in one QApplication, with message boxes answered headlessly.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/AssistantApp.h"
#include "dialogs/CertificateViewer.h"
#include "ui/FileDialogFacade.h"
#include "ui/MessageBoxFacade.h"

namespace {

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        // Chromium refuses to run as root with its sandbox; the tests run as root in CI.
        setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 0);
        // The browser keeps a profile under HOME and sockets under XDG_RUNTIME_DIR: never the user's.
        char home[] = "/tmp/orvik-desk-home-XXXXXX";
        if (mkdtemp(home)) {
            home_ = home;
            setenv("HOME", home, 1);
            setenv("XDG_RUNTIME_DIR", home, 1);  // mkdtemp made it 0700, as the runtime folder must be
        }
        QApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
        app_ = new QApplication(argc_, argv_);
        orvikdesk::CAssistantApp::prepare(*app_);
        orvikdesk::MessageBoxFacade::setHeadless(true);
        orvikdesk::FileDialogFacade::setHeadless(true);
        orvikdesk::CCertificateViewer::setHeadless(true);
        // The service site only where a test turns the engine on: nothing may reach past 127.0.0.1.
        setenv("ORVIK_NO_WEBENGINE", "1", 1);
    }
    void TearDown() override {
        delete app_;
        app_ = nullptr;
        if (!home_.empty()) std::filesystem::remove_all(home_);
    }

private:
    int argc_ = 1;
    char name_[16] = "desk_tests";
    char* argv_[2] = {name_, nullptr};
    QApplication* app_ = nullptr;
    std::string home_;
};

const auto* const environment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace
