#include "workflows/DecryptWorkflow.h"

#include <orvik/Secret.h>
#include <winuser.h>

#include "SecureFile.h"
#include "dialogs/DecryptDialog.h"
#include "dialogs/DialogControls.h"
#include "dialogs/EncProgressDialog.h"
#include "dialogs/InputPasswordDialog.h"
#include "services/Shell.h"

namespace orvikdesk {

int CDecryptWorkflow::run(const std::string& source) {
    CDecryptDialog dialog(owner_);
    if (!source.empty() && !dialog.setSource(source)) return 1;
    if (dialog.exec() != QDialog::Accepted) return 1;
    const CSecureFile::Header& header = dialog.header();
    if (header.version == 1) return decryptWhole(dialog.source(), dialog.target(), header);

    orvik::SecretString password;
    if (header.passwordSet) {
        CInputPasswordDialog prompt(owner_);
        if (prompt.exec() != QDialog::Accepted) {
            controls::message(owner_, "解密失败！", MB_OK | MB_ICONINFORMATION);
            return 1;
        }
        controls::Secret typed(prompt.password());
        password = typed.c_str();
    }
    const std::string from = dialog.source(), to = dialog.target();
    const size_t record = dialog.record();
    CDlgEncProgress progress(
        CDlgEncProgress::Mode::Decrypt,
        [&](ProgressSink* sink, const std::atomic<bool>* cancel) {
            return CSecureFile::Decrypt(from, to, header, record, password, sink, cancel);
        },
        owner_);
    const bool done = progress.exec() == QDialog::Accepted;
    password.wipe();
    const CSecureFile::Result& r = progress.result();
    if (!done) {
        if (r.code != CSecureFile::Cancelled && !r.message.empty())
            controls::message(owner_, r.message.c_str(), MB_OK | MB_ICONHAND);
        return 1;
    }
    // Both files are closed by now: the program that opens the result finds it complete.
    offerToOpen(to, "解密成功，是否打开解密文件？");
    return 0;
}

int CDecryptWorkflow::decryptWhole(const std::string& source, const std::string& target,
                                   const CSecureFile::Header& header) {
    // The output was confirmed in the dialog: it replaces a file that is there.
    const CSecureFile::Result r = CSecureFile::DecryptWhole(source, target, header, {});
    switch (r.code) {
    case CSecureFile::Ok: offerToOpen(target, "解密成功，是否打开解密文件?"); return 0;
    case CSecureFile::OpenSource:
    case CSecureFile::TooLarge: controls::message(owner_, r.message.c_str(), MB_OK | MB_ICONEXCLAMATION); return 1;
    case CSecureFile::NoPrivateKey: controls::message(owner_, r.message.c_str(), MB_OK | MB_ICONINFORMATION); return 1;
    default: controls::message(owner_, r.message.c_str(), MB_OK | MB_ICONHAND); return 1;
    }
}

void CDecryptWorkflow::offerToOpen(const std::string& target, const char* question) {
    if (controls::message(owner_, question, MB_OKCANCEL | MB_ICONINFORMATION) == IDOK)
        shell::openDocument(target, owner_);
}

}  // namespace orvikdesk
