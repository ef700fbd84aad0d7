#include "workflows/DecryptWorkflow.h"

#include <openssl/crypto.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
#include <cstdio>

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

// Cleared before it goes: it holds the plaintext.
struct Plaintext {
    std::string bytes;
    ~Plaintext() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

}  // namespace

int CDecryptWorkflow::run(const std::string& source) {
    CDecryptDialog dialog(owner_);
    if (!source.empty() && !dialog.setSource(source)) return 1;
    if (dialog.exec() != QDialog::Accepted) return 1;
    const CSecureFile::Header& header = dialog.header();
    if (header.version == 1) return decryptWhole(dialog.source(), dialog.target());

    std::string password;
    if (header.passwordSet) {
        CInputPasswordDialog prompt(owner_);
        if (prompt.exec() != QDialog::Accepted) {
            controls::message(owner_, "解密失败！", MB_OK | MB_ICONINFORMATION);
            return 1;
        }
        password = prompt.password().toStdString();
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
    OPENSSL_cleanse(password.data(), password.size());
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
    QFile in(QString::fromStdString(source));
    if (!in.open(QIODevice::ReadOnly)) {
        controls::message(owner_, "打开源文件失败！", MB_OK | MB_ICONEXCLAMATION);
        return 1;
    }
    const QByteArray image = in.readAll();
    in.close();
    COrvikEncFile file;
    const auto* data = reinterpret_cast<const unsigned char*>(image.constData());
    const int size = static_cast<int>(image.size());
    int length = 0;
    if (file.DecryptWithCert(data, size, nullptr, length) == -1 || length < 0) {
        controls::message(owner_, "调用加密函数失败，解密失败！", MB_OK | MB_ICONHAND);
        return 1;
    }
    Plaintext plain;
    plain.bytes.resize(static_cast<size_t>(length));
    int rc = file.DecryptWithCert(data, size, reinterpret_cast<unsigned char*>(plain.bytes.data()), length);
    if (rc == static_cast<int>(CRYPT_E_NO_DECRYPT_CERT)) {
        controls::message(owner_, "没有可用的证书私钥！", MB_OK | MB_ICONINFORMATION);
        return 1;
    }
    if (rc != 0) {
        controls::message(owner_, "解密失败！", MB_OK | MB_ICONHAND);
        return 1;
    }
    plain.bytes.resize(static_cast<size_t>(length));
    // Written beside the target (a temporary file only the user may read) and put in its place
    // only when complete.
    QFileInfo where(QString::fromStdString(target));
    QTemporaryFile out(where.absolutePath() + "/.orvik-part-XXXXXX");
    bool written = out.open() &&
                   out.write(plain.bytes.data(), static_cast<qint64>(plain.bytes.size())) ==
                       static_cast<qint64>(plain.bytes.size()) &&
                   out.flush() && fsync(out.handle()) == 0;
    if (written) {
        written = std::rename(out.fileName().toStdString().c_str(), target.c_str()) == 0;
        if (written) out.setAutoRemove(false);
    }
    if (!written) {
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
