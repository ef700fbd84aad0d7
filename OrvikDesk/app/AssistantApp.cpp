#include "app/AssistantApp.h"

#include <QApplication>
#include <QGuiApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTimer>
#include <QTranslator>

#include <OEAddrBook.h>
#include <orvik/OpenSslProviders.h>
#include <windows.h>

#include "app/FirstFrame.h"
#include "app/SingleInstance.h"
#include "app/Workflows.h"
#include "dialogs/CertificateViewer.h"
#include "config/ConfigManageDlg.h"
#include "dialogs/ChangeBackupPasswordDialog.h"
#include "dialogs/SecureFilePropertiesDialog.h"
#include "frame/MainFrame.h"
#include "pages/LifecyclePanel.h"
#include "pages/SecureFilePage.h"
#include "services/UpdateCheck.h"
#include "ui/Artwork.h"
#include "ui/CommandIds.h"
#include "ui/MessageBoxFacade.h"
#include "workflows/DecryptWorkflow.h"
#include "workflows/EncryptWorkflow.h"

namespace orvikdesk {

// The file page runs the same sequences.
void CAssistantApp::registerWorkflows() {
    workflows::set(LaunchAction::Encrypt, [](const std::string& path) { return CEncryptWorkflow().run(path, false); });
    workflows::set(LaunchAction::EncryptAndMail,
                   [](const std::string& path) { return CEncryptWorkflow().run(path, true); });
    workflows::set(LaunchAction::Decrypt, [](const std::string& path) { return CDecryptWorkflow().run(path); });
    workflows::set(LaunchAction::Properties, [](const std::string& path) {
        CSecureFilePropertiesDialog(path).exec();
        return 0;
    });
    workflows::set(LaunchAction::Configure, [](const std::string&) {
        CConfigManageDlg(3).exec();
        return 0;
    });
    CSecureFilePage::setConfigure([](QWidget* owner) { CConfigManageDlg(3, owner).exec(); });
}

CAssistantApp::CAssistantApp() = default;

CAssistantApp::~CAssistantApp() = default;

void CAssistantApp::prepare(QApplication& app) {
    artwork::init();
    QApplication::setApplicationName("OrvikDesk");
    // No display name: the window systems append it to every title, and a box's title is its caption.
    QApplication::setDesktopFileName("orvikdesk");
    QApplication::setWindowIcon(artwork::icon(153));
    // Only "退出" ends the window mode; hidden to the tray there is no window left open.
    app.setQuitOnLastWindowClosed(false);
    // Qt's own texts (the file dialog, standard buttons) in the interface's language too.
    auto* qtTexts = new QTranslator(&app);
    if (qtTexts->load(QLocale(QLocale::Chinese, QLocale::China), "qtbase", "_",
                      QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(qtTexts);
    MessageBoxFacade::install();
    CCertificateViewer::install();
    orvik::loadOpenSslProviders();
    registerWorkflows();
}

std::optional<int> CAssistantApp::claimInstance(const std::vector<std::string>& args) {
    if (parseCommandLine(args, isExistingFile).action != LaunchAction::Window) {
        commandLineMode_ = true;
        return std::nullopt;
    }
    instance_ = std::make_unique<SingleInstance>();
    switch (instance_->claim()) {
    case SingleInstance::Claim::First: return std::nullopt;
    case SingleInstance::Claim::Activated: return 0;
    case SingleInstance::Claim::Unanswered: break;
    }
    // Never a second window: the running one may come back to life.
    MessageBoxFacade::show(nullptr, QStringLiteral("Orvik数字证书助手已在运行，但没有响应。\n请稍后再试。"),
                           QStringLiteral("证书助手"), MB_OK | MB_ICONEXCLAMATION);
    return 1;
}

QString CAssistantApp::firstStartMessage(const std::vector<firststart::Problem>& problems) {
    if (problems.empty()) return {};
    QString lines;
    for (const firststart::Problem& p : problems) {
        QString what;
        switch (p.step) {
        case firststart::Step::InstallDir: what = QStringLiteral("记录安装目录"); break;
        case firststart::Step::Authorities: what = QStringLiteral("安装内置的根证书"); break;
        case firststart::Step::Menus: what = QStringLiteral("在文件管理器中添加右键菜单"); break;
        case firststart::Step::Marker: what = QStringLiteral("保存首次启动的记录"); break;
        }
        QString why;
        switch (p.cause) {
        case firststart::Cause::DiskFull: why = QStringLiteral("磁盘已满"); break;
        case firststart::Cause::NotWritable: why = QStringLiteral("没有写入权限"); break;
        case firststart::Cause::Other: why = QStringLiteral("错误代码 %1").arg(p.code); break;
        }
        lines += QStringLiteral("    %1失败：%2\n").arg(what, why);
    }
    return QStringLiteral("首次启动的设置没有全部完成：\n") + lines +
           QStringLiteral("程序可以照常使用，下次启动时将再试一次。");
}

int CAssistantApp::start(const std::vector<std::string>& args) {
    if (!instance_ && !commandLineMode_)
        if (std::optional<int> rc = claimInstance(args)) return *rc;
    Launch launch = parseCommandLine(args, isExistingFile);
    if (launch.action != LaunchAction::Window) {
        commandLineMode_ = true;
        return workflows::run(launch);
    }
    frame_ = std::make_unique<CMainFrame>();
    if (!frame_->create()) {
        frame_.reset();
        MessageBoxFacade::show(nullptr, QStringLiteral("无法创建主窗口。"), QStringLiteral("证书助手"),
                               MB_OK | MB_ICONHAND);
        return 1;
    }
    CMainFrame* frame = frame_.get();
    frame_->setCommandHandler(cmd::CheckForUpdates, [frame] { updates::checkFromMenu(frame); });
    frame_->setStartupUpdateCheck([] { updates::checkAtStartup(); });
    frame_->setCommandHandler(cmd::ChangeBackupPassword, [frame] { CChangeBackupPasswordDialog(frame).exec(); });
    frame_->setCommandHandler(cmd::Configuration, [frame] {
        // Confirmed settings may name another service site: the web page goes to it.
        if (CConfigManageDlg(0, frame).exec() != QDialog::Accepted) return;
        if (auto* web = qobject_cast<CLifecyclePanel*>(frame->page(0))) web->home();
    });
    QObject::connect(instance_.get(), &SingleInstance::activationRequested, frame, [frame](const QString& token) {
        // The launcher's activation token, in the variable Wayland launchers pass it in: Qt versions
        // that read it activate with it, older ones ask the compositor for a token themselves.
        const bool wayland = QGuiApplication::platformName().startsWith("wayland");
        if (wayland && !token.isEmpty()) qputenv("XDG_ACTIVATION_TOKEN", token.toUtf8());
        // Wayland tells no client that its window was minimised, and many compositors restore one
        // only for a token they accept: a window mapped anew shows on all of them.
        if (wayland && frame->isVisible() && !frame->isActiveWindow() && !QApplication::activeModalWidget())
            frame->hide();
        frame->bringToFront();
    });
    QObject::connect(frame_.get(), &CMainFrame::exitRequested, qApp, &CAssistantApp::exitProgram);
    frame_->show();
    return 0;
}

void CAssistantApp::exitProgram() {
    // Not quit(): it first closes every window and gives up when one stays open, as the main
    // window does when it hides to the tray, a minimised window, or the help window. exit() ends
    // every running loop, a modal dialog's too, and no dialog opened after it runs a loop.
    QCoreApplication::exit(0);
}

int CAssistantApp::main(int argc, char** argv) {
    QApplication app(argc, argv);
    FirstFrameReport::installIfAsked();
    const std::vector<std::string> args(argv + 1, argv + argc);
    CAssistantApp assistant;
    // Claimed before the slow part of the start, so a second start meanwhile hands over to this one.
    if (std::optional<int> rc = assistant.claimInstance(args)) return *rc;
    prepare(app);
    const std::string programDir = QCoreApplication::applicationDirPath().toStdString();
    // The installer's work, once per version; what fails is said and tried again next time.
    const QString problems = firstStartMessage(firststart::run(programDir).problems);
    // Where the library finds the address book: nothing else on Linux registers it.
    COEAddrBook::RegisterLibrary(programDir);
    if (!problems.isEmpty() && assistant.commandLineMode())
        MessageBoxFacade::show(nullptr, problems, QStringLiteral("证书助手"), MB_OK | MB_ICONEXCLAMATION);
    int rc = assistant.start(args);
    if (!assistant.started()) return rc;
    if (!problems.isEmpty()) {
        CMainFrame* frame = assistant.frame();
        QTimer::singleShot(0, frame, [frame, problems] {
            MessageBoxFacade::show(frame, problems, QStringLiteral("证书助手"), MB_OK | MB_ICONEXCLAMATION);
        });
    }
    return QApplication::exec();
}

}  // namespace orvikdesk
