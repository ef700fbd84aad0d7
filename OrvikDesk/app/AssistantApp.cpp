#include "app/AssistantApp.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include <OEAddrBook.h>
#include <orvik/OpenSslProviders.h>
#include <windows.h>

#include "app/Profile.h"
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
    QApplication::setApplicationDisplayName(QStringLiteral("Orvik数字证书助手"));
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

int CAssistantApp::start(const std::vector<std::string>& args) {
    Launch launch = parseCommandLine(args, isExistingFile);
    if (launch.action != LaunchAction::Window) {
        commandLineMode_ = true;
        return workflows::run(launch);
    }
    instance_ = std::make_unique<SingleInstance>();
    if (instance_->claim() == SingleInstance::Claim::Activated) return 0;
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
    QObject::connect(instance_.get(), &SingleInstance::activationRequested, frame_.get(), &CMainFrame::bringToFront);
    QObject::connect(frame_.get(), &CMainFrame::exitRequested, qApp, &QApplication::quit);
    frame_->show();
    return 0;
}

int CAssistantApp::main(int argc, char** argv) {
    QApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    prepare(app);
    // Where the file managers' menu entries find the assistant.
    profile::write("Common", "InstallDir", QCoreApplication::applicationDirPath().toStdString());
    // Where the library finds the address book: nothing else on Linux registers it.
    COEAddrBook::RegisterLibrary(QCoreApplication::applicationDirPath().toStdString());
    CAssistantApp assistant;
    int rc = assistant.start(std::vector<std::string>(argv + 1, argv + argc));
    if (!assistant.started()) return rc;
    return QApplication::exec();
}

}  // namespace orvikdesk
