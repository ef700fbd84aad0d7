// The assistant in a Wayland session: a headless weston on a private socket, Qt's Wayland platform
// for this program's windows and for the real program started beside it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QLocalSocket>
#include <QSystemTrayIcon>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QWindow>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <BuiltinAuthorities.h>
#include <windows.h>

#include "app/AssistantApp.h"
#include "desk/InstanceProbe.h"
#include "app/SingleInstance.h"
#include "dialogs/AboutDialog.h"
#include "frame/MainFrame.h"
#include "ui/MessageBoxFacade.h"
#include "support/TempHome.h"

using orvikdesk::SingleInstance;
using orvikdesk::test::answering;

// Under Wayland the web engine's libraries leak one allocation at start-up that the fast unwinder
// cannot attribute to them, so no suppression can name it; the offscreen tests check the same
// code for leaks.
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_options() {
    return "detect_leaks=0";
}

namespace {

std::string westonProgram() {
    for (const char* dir : {"/usr/bin/", "/usr/local/bin/"})
        if (access((std::string(dir) + "weston").c_str(), X_OK) == 0) return std::string(dir) + "weston";
    return {};
}

bool waylandPlugin() {
    return QFileInfo::exists(QLibraryInfo::path(QLibraryInfo::PluginsPath) + "/platforms/libqwayland-generic.so");
}

// weston without a screen on a socket of its own, in a runtime folder of its own.
class WestonEnvironment : public ::testing::Environment {
public:
    static inline std::string skipReason;

    void SetUp() override {
        const std::string weston = westonProgram();
        if (weston.empty()) {
            skipReason = "weston is not installed (scripts/install-deps.sh installs it)";
            return;
        }
        std::string pattern = (std::filesystem::temp_directory_path() / "orvik-wayland-XXXXXX").string();
        if (!mkdtemp(pattern.data())) {
            skipReason = "no temporary folder";
            return;
        }
        runtime_ = pattern;  // mkdtemp made it 0700, as a runtime folder must be
        const std::string socket = "orvik-test-" + std::to_string(getpid());
        setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
        setenv("HOME", runtime_.c_str(), 1);
        weston_ = fork();
        if (weston_ == 0) {
            const std::string log = runtime_ + "/weston.log";
            freopen(log.c_str(), "w", stdout);
            freopen(log.c_str(), "a", stderr);
            const std::string socketArg = "--socket=" + socket;
            execl(weston.c_str(), "weston", "--backend=headless-backend.so", socketArg.c_str(), "--idle-time=0",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        QElapsedTimer clock;
        clock.start();
        while (!QFileInfo::exists(QString::fromStdString(runtime_ + "/" + socket)) && clock.elapsed() < 10000)
            QThread::msleep(20);
        if (!QFileInfo::exists(QString::fromStdString(runtime_ + "/" + socket))) {
            skipReason = "weston did not start (see weston.log)";
            return;
        }
        setenv("WAYLAND_DISPLAY", socket.c_str(), 1);
        unsetenv("DISPLAY");
        setenv("QT_QPA_PLATFORM", "wayland", 1);
        // Qt's own window frames come from a plugin that leaks a buffer the leak checker cannot
        // name once the plugin is unloaded; the windows are the same without them.
        setenv("QT_WAYLAND_DISABLE_WINDOWDECORATION", "1", 1);
        setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 0);
        setenv("ORVIK_NO_WEBENGINE", "1", 1);
        QApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
        app_ = new QApplication(argc_, argv_);
        if (!waylandPlugin() || QGuiApplication::platformName() != "wayland") {
            skipReason = "Qt's Wayland platform is not installed (qt6-wayland)";
            return;
        }
        orvikdesk::CAssistantApp::prepare(*app_);
        orvikdesk::MessageBoxFacade::setHeadless(true);
    }

    void TearDown() override {
        delete app_;
        app_ = nullptr;
        if (weston_ > 0) {
            kill(weston_, SIGTERM);
            waitpid(weston_, nullptr, 0);
        }
        if (!runtime_.empty()) std::filesystem::remove_all(runtime_);
    }

private:
    int argc_ = 1;
    char name_[16] = "wayland_tests";
    char* argv_[2] = {name_, nullptr};
    QApplication* app_ = nullptr;
    pid_t weston_ = -1;
    std::string runtime_;
};

const auto* const environment = ::testing::AddGlobalTestEnvironment(new WestonEnvironment);

#define REQUIRE_WAYLAND()                                                                          \
    do {                                                                                           \
        if (!WestonEnvironment::skipReason.empty()) GTEST_SKIP() << WestonEnvironment::skipReason; \
    } while (0)

pid_t startDesk(const char* token = nullptr) {
    pid_t pid = fork();
    if (pid == 0) {
        if (token) setenv("XDG_ACTIVATION_TOKEN", token, 1);
        // The same allocation of the web engine's libraries as above.
        const char* asan = std::getenv("ASAN_OPTIONS");
        setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":detect_leaks=0").c_str(), 1);
        execl(ORVIKDESK_PATH, ORVIKDESK_PATH, static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

// The exit code once the process ended within ms while this program serves events; -1 if it runs.
int waitServing(pid_t pid, int ms) {
    QElapsedTimer clock;
    clock.start();
    do {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    } while (clock.elapsed() < ms);
    return -1;
}

struct ShowCounter : QObject {
    int count = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Show) ++count;
        return false;
    }
};

void stop(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

bool rootInstalled(const char* thumb) {
    HKEY key = nullptr;
    std::string path = std::string("Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\") + thumb;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

}  // namespace

TEST(Wayland, MainWindowModalDialogAndCloseBoxWithoutATray) {
    REQUIRE_WAYLAND();
    orvik::test::TempHome home;
    orvikdesk::CMainFrame frame;
    ASSERT_TRUE(frame.create());
    frame.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&frame)) << "the compositor maps the main window";
    EXPECT_EQ(frame.windowHandle()->title(), QStringLiteral("Orvik数字证书助手"));
    EXPECT_FALSE(QSystemTrayIcon::isSystemTrayAvailable()) << "weston offers no tray";

    // A modal dialog over the window: mapped, modal, and tied to the window it belongs to.
    bool checked = false;
    orvikdesk::CAboutDialog about(&frame);
    QTimer::singleShot(0, &about, [&] {
        checked = QTest::qWaitForWindowExposed(&about);
        EXPECT_EQ(QApplication::activeModalWidget(), &about);
        EXPECT_EQ(about.windowHandle()->transientParent(), frame.windowHandle());
        about.accept();
    });
    EXPECT_EQ(about.exec(), QDialog::Accepted);
    EXPECT_TRUE(checked) << "the dialog was mapped";

    // The close box, with no tray to hide into: the window stays for the taskbar, the program runs.
    QCloseEvent close;
    QApplication::sendEvent(&frame, &close);
    EXPECT_FALSE(close.isAccepted());
    QApplication::processEvents();
    EXPECT_TRUE(frame.isVisible()) << "never hidden without a tray to bring it back from";

    frame.bringToFront();
    EXPECT_FALSE(frame.isMinimized());
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&frame));
}

TEST(Wayland, ASecondStartBringsBackTheWindowItClosedToTheTaskbar) {
    REQUIRE_WAYLAND();
    orvik::test::TempHome home;
    orvikdesk::CAssistantApp assistant;
    ASSERT_EQ(assistant.start({}), 0);
    ASSERT_TRUE(assistant.started());
    orvikdesk::CMainFrame* frame = assistant.frame();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(frame));
    EXPECT_FALSE(frame->close()) << "the close box keeps the program";
    QApplication::processEvents();
    // Minimised by the compositor now, which no Wayland client is told.
    ShowCounter shows;
    frame->installEventFilter(&shows);

    // The real program, started as a launcher would with an activation token, hands over and ends.
    pid_t second = startDesk("launcher-token");
    EXPECT_EQ(waitServing(second, 10000), 0);
    QApplication::processEvents();
    EXPECT_GE(shows.count, 1) << "the window is mapped anew, which every compositor shows";
    EXPECT_FALSE(frame->isMinimized());
    EXPECT_TRUE(QTest::qWaitForWindowExposed(frame));
}

TEST(Wayland, TheProgramRunsOnceAndFillsTheAuthoritiesOnItsFirstStart) {
    REQUIRE_WAYLAND();
    orvik::test::TempHome home;
    // Two starts at once: one window instance, the other hands over and ends.
    pid_t a = startDesk(), b = startDesk();
    QElapsedTimer clock;
    clock.start();
    pid_t ended = -1, survivor = -1;
    int code = -1;
    while (clock.elapsed() < 30000 && ended < 0) {
        for (pid_t p : {a, b}) {
            int status = 0;
            if (waitpid(p, &status, WNOHANG) == p) {
                ended = p;
                code = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
                survivor = p == a ? b : a;
            }
        }
        QThread::msleep(50);
    }
    ASSERT_GT(ended, 0) << "one of two starts hands over";
    EXPECT_EQ(code, 0);
    ASSERT_TRUE(answering(20000)) << "the other runs the window";
    EXPECT_EQ(waitServing(survivor, 300), -1);
    // The authorities page has something to show without any command run by hand.
    clock.restart();
    auto allRoots = [] {
        for (const char* thumb : orvik::builtin::kRootThumbprints)
            if (!rootInstalled(thumb)) return false;
        return true;
    };
    while (!allRoots() && clock.elapsed() < 20000) QThread::msleep(100);
    EXPECT_TRUE(allRoots());

    pid_t third = startDesk();
    EXPECT_EQ(waitServing(third, 10000), 0) << "a later start hands over too";
    stop(survivor);
}
