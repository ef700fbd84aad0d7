// Command-line starts run one workflow and never open the main window.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QTimer>

#include "app/AssistantApp.h"
#include "app/Workflows.h"
#include "support/TempHome.h"

using namespace orvikdesk;

TEST(Workflows, EachSwitchRunsItsWorkflowWithThePath) {
    orvik::test::TempHome home;
    std::vector<std::pair<int, std::string>> runs;
    for (auto action : {LaunchAction::Encrypt, LaunchAction::EncryptAndMail, LaunchAction::Decrypt,
                        LaunchAction::Properties, LaunchAction::Configure})
        workflows::set(action, [&runs, action](const std::string& path) {
            runs.emplace_back(static_cast<int>(action), path);
            return 0;
        });
    for (std::vector<std::string> args : {std::vector<std::string>{"/E", "/tmp/a b.txt"},
                                          {"/M", "/tmp/a.txt"},
                                          {"/tmp/x.ovk"},
                                          {"/P", "/tmp/x.ovk"},
                                          {"/C", "ignored"}}) {
        CAssistantApp app;
        EXPECT_EQ(app.start(args), 0);
        EXPECT_TRUE(app.commandLineMode());
        EXPECT_FALSE(app.started()) << "no main window";
    }
    EXPECT_EQ(runs,
              (std::vector<std::pair<int, std::string>>{{static_cast<int>(LaunchAction::Encrypt), "/tmp/a b.txt"},
                                                        {static_cast<int>(LaunchAction::EncryptAndMail), "/tmp/a.txt"},
                                                        {static_cast<int>(LaunchAction::Decrypt), "/tmp/x.ovk"},
                                                        {static_cast<int>(LaunchAction::Properties), "/tmp/x.ovk"},
                                                        {static_cast<int>(LaunchAction::Configure), ""}}));
    CAssistantApp::registerWorkflows();
}

TEST(Workflows, PropertiesOfAFileThatIsNoneSayItsFormatIsWrong) {
    orvik::test::TempHome home;
    QString seen, type;
    QTimer::singleShot(0, [&] {
        if (QWidget* w = QApplication::activeModalWidget()) {
            seen = w->objectName() + " " + w->windowTitle();
            if (auto* label = w->findChild<QLabel*>("211")) type = label->text();
            static_cast<QDialog*>(w)->accept();
        }
    });
    CAssistantApp app;
    EXPECT_EQ(app.start({"/P", "/nonexistent/x.ovk"}), 0);
    EXPECT_EQ(seen, QString("IDD261 安全文件属性"));
    EXPECT_EQ(type, QString("文件格式错误!"));
}
