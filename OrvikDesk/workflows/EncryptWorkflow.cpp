#include "workflows/EncryptWorkflow.h"

#include <QFile>

#include <orvik/MailComposer.h>
#include <winuser.h>

#include "SecureFile.h"
#include "dialogs/DialogControls.h"
#include "dialogs/EncProgressDialog.h"
#include "dialogs/EncryptDialog.h"

namespace orvikdesk {

int CEncryptWorkflow::run(const std::string& source, bool mail) {
    CEncryptDialog dialog(owner_);
    if (!source.empty()) dialog.setSource(source);
    if (dialog.exec() != QDialog::Accepted) return 1;

    CEncryptDialog::Recipients owned = dialog.takeRecipients();
    std::vector<CDigitalCertificate*> recipients;
    for (auto& c : owned) recipients.push_back(c.get());
    const std::string from = dialog.source(), to = dialog.target();
    const orvik::SecretString password = dialog.password();
    CDlgEncProgress progress(
        CDlgEncProgress::Mode::Encrypt,
        [&](ProgressSink* sink, const std::atomic<bool>* cancel) {
            return CSecureFile::Encrypt(from, to, recipients, password, sink, cancel);
        },
        owner_);
    const bool done = progress.exec() == QDialog::Accepted;
    const CSecureFile::Result& r = progress.result();
    if (!done) {
        if (r.code != CSecureFile::Cancelled && !r.message.empty())
            controls::message(owner_, r.message.c_str(), MB_OK | MB_ICONHAND);
        return 1;
    }
    // The source goes only now that its secure file is complete and in place.
    if (dialog.deleteSource() && !QFile::remove(QString::fromStdString(from)))
        controls::message(owner_, "原始文件删除失败！", MB_OK | MB_ICONEXCLAMATION);
    if (!mail) {
        controls::message(owner_, "加密成功！", MB_OK | MB_ICONINFORMATION);
        return 0;
    }
    std::vector<std::string> addresses;
    for (size_t i = 1; i < owned.size(); ++i) {
        std::string email;
        if (owned[i]->getEmail(email) == 0 && !email.empty()) addresses.push_back(email);
    }
    if (!orvik::composeMail(addresses, to)) {
        controls::message(owner_, "无法打开邮件程序，加密后的文件保存在原处。", MB_OK | MB_ICONEXCLAMATION);
        return 1;
    }
    return 0;
}

}  // namespace orvikdesk
