#include "workflows/DecryptWorkflow.h"

#include <cerrno>
#include <climits>
#include <string_view>

#include <orvik/AtomicFile.h>
#include <orvik/ReadFile.h>
#include <orvik/Secret.h>
#include <winuser.h>

#include "OrvikEncFile.h"
#include "SecureFile.h"
#include "dialogs/DecryptDialog.h"
#include "dialogs/DialogControls.h"
#include "dialogs/EncProgressDialog.h"
#include "dialogs/InputPasswordDialog.h"
#include "services/Shell.h"

namespace orvikdesk {

namespace {

// Version 1 files are decrypted in one piece with int lengths.
constexpr size_t kMaxOnePiece = size_t{INT_MAX} - 4096;

}  // namespace

int CDecryptWorkflow::run(const std::string& source) {
    CDecryptDialog dialog(owner_);
    if (!source.empty() && !dialog.setSource(source)) return 1;
    if (dialog.exec() != QDialog::Accepted) return 1;
    const CSecureFile::Header& header = dialog.header();
    if (header.version == 1) return decryptWhole(dialog.source(), dialog.target());

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

int CDecryptWorkflow::decryptWhole(const std::string& source, const std::string& target) {
    std::string image;
    if (!orvik::readRegularFile(source, image, kMaxOnePiece)) {
        controls::message(owner_, errno == EFBIG ? "文件太大，无法解密！" : "打开源文件失败！",
                          MB_OK | MB_ICONEXCLAMATION);
        return 1;
    }
    COrvikEncFile file;
    const auto* data = reinterpret_cast<const unsigned char*>(image.data());
    const int size = static_cast<int>(image.size());
    int length = 0;
    if (file.DecryptWithCert(data, size, nullptr, length) == -1 || length < 0) {
        controls::message(owner_, "调用加密函数失败，解密失败！", MB_OK | MB_ICONHAND);
        return 1;
    }
    // Wiped when it goes: it holds the plaintext.
    orvik::SecretBytes plain(static_cast<size_t>(length));
    int rc = file.DecryptWithCert(data, size, plain.data(), length);
    if (rc == static_cast<int>(CRYPT_E_NO_DECRYPT_CERT)) {
        controls::message(owner_, "没有可用的证书私钥！", MB_OK | MB_ICONINFORMATION);
        return 1;
    }
    if (rc != 0) {
        controls::message(owner_, "解密失败！", MB_OK | MB_ICONHAND);
        return 1;
    }
    plain.resize(static_cast<size_t>(length));
    // Only the user may read it, and it takes the target's place only when complete.
    if (!orvik::writeFileAtomically(target,
                                    std::string_view(reinterpret_cast<const char*>(plain.data()), plain.size()))) {
        controls::message(owner_, "文件读写错误！", MB_OK | MB_ICONHAND);
        return 1;
    }
    offerToOpen(target, "解密成功，是否打开解密文件?");
    return 0;
}

void CDecryptWorkflow::offerToOpen(const std::string& target, const char* question) {
    if (controls::message(owner_, question, MB_OKCANCEL | MB_ICONINFORMATION) == IDOK)
        shell::openDocument(target, owner_);
}

}  // namespace orvikdesk
