#include "SecureFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include <orvik/AtomicFile.h>
#include <orvik/CodePage.h>
#include <orvik/ReadFile.h>
#include <orvik/Secret.h>
#include <windows.h>

#include "MyCertStore.h"
#include "OrvikEncFile.h"
#include "TokenMessages.h"

namespace {

const char kTag2[] = "OrvikFileType=2;";
const char kRecordTag[] = "OrvikEncStruct";
constexpr size_t kTag = 16;
constexpr size_t kHeader = 648;
constexpr size_t kRecord = 1688;
constexpr size_t kBlobField = 512;
constexpr size_t kBuffer = 1 << 20;  // a multiple of the cipher block
const char kProvider[] = "Microsoft Enhanced Cryptographic Provider v1.0";

// Field offsets
constexpr size_t kHeaderFlag = 0, kHeaderExtension = 1, kHeaderSize = 260, kHeaderProvider = 264,
                 kHeaderAlgorithm = 520;
constexpr size_t kRecordName = 20, kRecordSubject = 276, kRecordSerial = 788, kRecordThumb = 916,
                 kRecordBlobLength = 1172, kRecordBlob = 1176;

using Result = CSecureFile::Result;
using Code = CSecureFile::Code;

Result fail(Code code, int error = 0) { return {code, CSecureFile::CodeText(code), error}; }
Result step(const char* text) { return {CSecureFile::StepFailed, text}; }

// A code-page 936 text in a NUL-terminated field of `width` bytes, cut at a whole character.
void putText(unsigned char* field, size_t width, const std::string& utf8) {
    std::string bytes = orvik::toCp936(utf8);
    size_t n = 0;
    while (n < bytes.size()) {
        size_t len = static_cast<unsigned char>(bytes[n]) >= 0x81 ? 2 : 1;
        if (n + len > width - 1) break;
        n += len;
    }
    std::memcpy(field, bytes.data(), n);
}

std::string getText(const unsigned char* field, size_t width) {
    size_t n = strnlen(reinterpret_cast<const char*>(field), width);
    return orvik::fromCp936(std::string(reinterpret_cast<const char*>(field), n));
}

void put32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

uint32_t get32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

bool isPlainExtension(const std::string& ext) {
    if (ext.size() < 2 || ext.size() > 32 || ext[0] != '.' || ext == "..") return false;
    for (unsigned char c : ext)
        if (c < 0x20 || c == 0x7F || c == '/' || c == '\\') return false;
    return true;
}

std::string extensionOf(const std::string& path) {
    std::string name = path.substr(path.find_last_of('/') + 1);
    size_t dot = name.find_last_of('.');
    return dot == std::string::npos ? std::string() : name.substr(dot);
}

struct Provider {
    HCRYPTPROV prov = 0;
    std::vector<HCRYPTKEY> keys;
    ~Provider() {
        for (HCRYPTKEY k : keys)
            if (k) CryptDestroyKey(k);
        if (prov) CryptReleaseContext(prov, 0);
    }
    bool acquire() {
        return CryptAcquireContextA(&prov, nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT) ||
               CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT);
    }
    HCRYPTKEY keep(HCRYPTKEY k) {
        keys.push_back(k);
        return k;
    }
};

// The recipient's public key in `p`, and the length of the session key wrapped for it: every
// record has kBlobField bytes for it, which an RSA key above 4000 bits overflows.
Code wrapLength(Provider& p, HCRYPTKEY session, const CDigitalCertificate& cert, HCRYPTKEY& pub, DWORD& length) {
    PCCERT_CONTEXT ctx = CertDuplicateCertificateContext(cert.getPCCERT());
    if (!ctx) return Code::CopyCertificate;
    bool imported = CryptImportPublicKeyInfo(p.prov, X509_ASN_ENCODING, &ctx->pCertInfo->SubjectPublicKeyInfo, &pub);
    CertFreeCertificateContext(ctx);
    if (!imported) return Code::ImportPublicKey;
    p.keep(pub);
    length = 0;
    if (!CryptExportKey(session, pub, SIMPLEBLOB, 0, nullptr, &length) || length > kBlobField)
        return Code::SessionKeyTooLarge;
    return Code::Ok;
}

// A regular file, opened for reading; anything else (a FIFO that would wait for a writer for
// ever, a device, a folder) is not opened at all.
class Input {
public:
    explicit Input(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)) {
        struct stat st {};
        if (fd_ >= 0 && (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || fcntl(fd_, F_SETFL, O_RDONLY) != 0)) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~Input() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    // The file's size, -1 when it cannot be known.
    int64_t size() const {
        struct stat st {};
        if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
        return st.st_size;
    }
    bool seek(int64_t at) { return lseek(fd_, at, SEEK_SET) == at; }
    // Exactly n bytes, or false.
    bool read(unsigned char* p, size_t n) {
        while (n) {
            ssize_t r = ::read(fd_, p, n);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return false;
            p += r;
            n -= static_cast<size_t>(r);
        }
        return true;
    }

private:
    int fd_;
};

class Progress {
public:
    Progress(ProgressSink* sink, int64_t total) : sink_(sink), total_(total) {}
    void add(int64_t n) {
        done_ += n;
        int p = total_ > 0 ? static_cast<int>(static_cast<double>(done_) * 100 / static_cast<double>(total_)) : 100;
        if (sink_ && p != last_) sink_->percent(p);
        last_ = p;
    }

private:
    ProgressSink* sink_;
    int64_t total_, done_ = 0;
    int last_ = -1;
};

bool cancelled(const std::atomic<bool>* cancel) { return cancel && cancel->load(std::memory_order_relaxed); }

// Streams `total` bytes of `in` through the key into `out`. Ok or a worker code.
Code stream(Input& in, orvik::AtomicFile& out, HCRYPTKEY key, int64_t total, bool encrypt, Progress& progress,
            const std::atomic<bool>* cancel) {
    orvik::SecretBytes buffer(kBuffer + 8);
    int64_t left = total;
    do {
        if (cancelled(cancel)) return CSecureFile::Cancelled;
        size_t n = static_cast<size_t>(std::min<int64_t>(left, static_cast<int64_t>(kBuffer)));
        if (!in.read(buffer.data(), n)) return CSecureFile::ReadWrite;
        left -= static_cast<int64_t>(n);
        const BOOL final = left == 0;
        DWORD length = static_cast<DWORD>(n);
        bool ok = encrypt ? CryptEncrypt(key, 0, final, 0, buffer.data(), &length, static_cast<DWORD>(buffer.size()))
                          : CryptDecrypt(key, 0, final, 0, buffer.data(), &length);
        if (!ok) return CSecureFile::CryptoCall;
        if (length && !out.write(buffer.data(), length)) return CSecureFile::ReadWrite;
        progress.add(static_cast<int64_t>(n));
    } while (left > 0);
    return CSecureFile::Ok;
}

// Whether the session key is the one the password makes: "quill" encrypted with the first and
// decrypted with the second must come back.
bool passwordMatches(HCRYPTPROV prov, HCRYPTKEY session, const orvik::SecretBytes& bytes) {
    HCRYPTKEY derived = 0;
    if (!SecureFilePasswordKey(prov, bytes, &derived)) return false;
    unsigned char buffer[1024] = {'q', 'u', 'i', 'l', 'l'};
    DWORD n = 5;
    bool ok = CryptEncrypt(session, 0, TRUE, 0, buffer, &n, sizeof buffer) &&
              CryptDecrypt(derived, 0, TRUE, 0, buffer, &n) && n == 5 && std::memcmp(buffer, "quill", 5) == 0;
    CryptDestroyKey(derived);
    return ok;
}

// A source of a version 0 or 1 file, whole.
Result readWhole(const std::string& path, orvik::SecretBytes& out, const char* tooLarge) {
    std::string bytes;
    if (!orvik::readRegularFile(path, bytes, CSecureFile::kMaxWhole)) {
        const int error = errno;
        orvik::wipe(bytes);
        return error == EFBIG ? Result{CSecureFile::TooLarge, tooLarge, error} : fail(CSecureFile::OpenSource, error);
    }
    out.assign(bytes.begin(), bytes.end());
    orvik::wipe(bytes);
    return {};
}

Result writeWhole(const std::string& target, const orvik::SecretBytes& bytes, orvik::AtomicFile::Replace replace) {
    const std::string_view view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (orvik::writeFileAtomically(target, view, 0600, replace)) return {};
    const int error = errno;
    return fail(error == EEXIST && replace == orvik::AtomicFile::Replace::No ? CSecureFile::TargetExists
                                                                             : CSecureFile::ReadWrite,
                error);
}

// A password as the version 0 operations take it: a C string in code page 936.
bool usablePassword(std::string_view password) {
    orvik::SecretBytes bytes;
    return password.find('\0') == std::string_view::npos && SecureFilePasswordBytes(password, bytes);
}

}  // namespace

bool SameFile(const std::string& a, const std::string& b) {
    struct stat x {
    }, y{};
    return stat(a.c_str(), &x) == 0 && stat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

std::string CSecureFile::CodeText(Code code) {
    switch (code) {
    case EmptySource: return "源文件内容为空！";
    case ReadWrite: return "文件读写错误！";
    case CryptoCall: return "加解密函数调用错误！";
    case CopyCertificate: return "复制证书内容错误！";
    case ImportPublicKey: return "从证书导入公钥失败！";
    case SessionKeyTooLarge: return "产生会话密钥失败！";
    case WrapSessionKey: return "加密会话密钥失败！";
    case OpenSource: return "打开源文件失败！";
    case TooLarge: return "文件太大，无法处理！";
    case NoPrivateKey: return "没有可用的证书私钥！";
    case TargetExists: return "目标文件已经存在！";
    case Ok:
    case Cancelled:
    case StepFailed: return {};
    }
    return {};
}

bool CSecureFile::ReadHeader(const std::string& path, Header& out) {
    out = Header{};
    Input in(path);
    if (!in.ok()) return false;
    unsigned char tag[kTag] = {};
    if (!in.read(tag, kTag)) return false;
    out.tag.assign(reinterpret_cast<char*>(tag), strnlen(reinterpret_cast<char*>(tag), kTag));
    for (int v = 0; v <= 2; ++v)
        if (out.tag == "OrvikFileType=" + std::to_string(v) + ";") out.version = v;
    if (out.version != 2) return true;
    unsigned char header[kHeader];
    if (!in.read(header, kHeader)) return false;
    out.passwordSet = header[kHeaderFlag] == '1';
    out.extension = getText(header + kHeaderExtension, kHeaderSize - kHeaderExtension);
    // The extension becomes part of an output name: a dot and a short run of plain characters,
    // never another folder or a hidden control character.
    if (!isPlainExtension(out.extension)) out.extension.clear();
    out.size = static_cast<int32_t>(get32(header + kHeaderSize));
    out.provider = getText(header + kHeaderProvider, kHeaderAlgorithm - kHeaderProvider);
    out.algorithm = getText(header + kHeaderAlgorithm, kHeader - kHeaderAlgorithm);
    int64_t at = static_cast<int64_t>(kTag + kHeader);
    std::vector<unsigned char> record(kRecord);
    while (in.read(record.data(), kRecord) && std::memcmp(record.data(), kRecordTag, sizeof kRecordTag - 1) == 0) {
        Record r;
        r.displayName = getText(record.data() + kRecordName, kRecordSubject - kRecordName);
        r.subject = getText(record.data() + kRecordSubject, kRecordSerial - kRecordSubject);
        r.serial = getText(record.data() + kRecordSerial, kRecordThumb - kRecordSerial);
        r.thumbprint = getText(record.data() + kRecordThumb, kRecordBlobLength - kRecordThumb);
        r.blobLength = get32(record.data() + kRecordBlobLength);
        r.blobAt = at + static_cast<int64_t>(kRecordBlob);
        // A hostile file could name recipients until memory runs out.
        if (out.records.size() == kMaxRecords) return false;
        out.records.push_back(std::move(r));
        at += static_cast<int64_t>(kRecord);
    }
    out.payloadOffset = at;
    return true;
}

CSecureFile::Code CSecureFile::CheckRecipient(const CDigitalCertificate& cert) {
    if (!cert.getPCCERT()) return CopyCertificate;
    Provider p;
    HCRYPTKEY session = 0;
    if (!p.acquire() || !CryptGenKey(p.prov, CALG_3DES, CRYPT_EXPORTABLE, &session)) return CryptoCall;
    p.keep(session);
    HCRYPTKEY pub = 0;
    DWORD length = 0;
    return wrapLength(p, session, cert, pub, length);
}

CSecureFile::Result CSecureFile::Encrypt(const std::string& source, const std::string& target,
                                         const std::vector<CDigitalCertificate*>& recipients, std::string_view password,
                                         ProgressSink* progress, const std::atomic<bool>* cancel) {
    Input in(source);
    if (!in.ok()) return fail(ReadWrite);
    const int64_t size = in.size();
    if (size < 0) return fail(ReadWrite);  // a directory or device is not a file to encrypt
    if (size == 0) return fail(EmptySource);
    if (SameFile(source, target)) return fail(ReadWrite);
    orvik::SecretBytes passwordBytes;
    if (!SecureFilePasswordBytes(password, passwordBytes)) return step(kPasswordCharacters);

    // Everything that can fail before a byte is written: the provider, the key, every record.
    Provider p;
    if (!p.acquire()) return fail(CryptoCall);
    HCRYPTKEY session = 0;
    bool made = password.empty() ? CryptGenKey(p.prov, CALG_3DES, CRYPT_EXPORTABLE, &session)
                                 : SecureFilePasswordKey(p.prov, passwordBytes, &session);
    if (!made) return fail(CryptoCall);
    p.keep(session);
    if (recipients.empty()) return fail(CryptoCall);
    std::vector<std::vector<unsigned char>> records;
    for (CDigitalCertificate* cert : recipients) {
        std::vector<unsigned char> record(kRecord, 0);
        std::memcpy(record.data(), kRecordTag, sizeof kRecordTag - 1);
        if (!cert || !cert->getPCCERT()) return fail(CopyCertificate);
        std::string name, subject, serial, thumb;
        // A record without its names could not be matched to its certificate when decrypting.
        if (cert->getDisplayName(name) != CDigitalCertificate::Ok ||
            cert->getSubjectName(subject) != CDigitalCertificate::Ok ||
            cert->getSerialNumber(serial) != CDigitalCertificate::Ok ||
            cert->getThumbPrint(thumb) != CDigitalCertificate::Ok)
            return fail(CopyCertificate);
        putText(record.data() + kRecordName, kRecordSubject - kRecordName, name);
        putText(record.data() + kRecordSubject, kRecordSerial - kRecordSubject, subject);
        putText(record.data() + kRecordSerial, kRecordThumb - kRecordSerial, serial);
        putText(record.data() + kRecordThumb, kRecordBlobLength - kRecordThumb, thumb);
        HCRYPTKEY pub = 0;
        DWORD length = 0;
        if (Code code = wrapLength(p, session, *cert, pub, length); code != Ok) return fail(code);
        if (!CryptExportKey(session, pub, SIMPLEBLOB, 0, record.data() + kRecordBlob, &length))
            return fail(WrapSessionKey);
        put32(record.data() + kRecordBlobLength, length);
        records.push_back(std::move(record));
    }

    orvik::AtomicFile out(target);
    if (!out.ok()) return fail(ReadWrite);
    unsigned char header[kHeader] = {};
    header[kHeaderFlag] = password.empty() ? '0' : '1';
    putText(header + kHeaderExtension, kHeaderSize - kHeaderExtension, extensionOf(source));
    // Only shown: a file of 2 GiB or more keeps the largest value the field holds.
    put32(header + kHeaderSize, static_cast<uint32_t>(std::min<int64_t>(size, 0x7FFFFFFF)));
    putText(header + kHeaderProvider, kHeaderAlgorithm - kHeaderProvider, kProvider);
    putText(header + kHeaderAlgorithm, kHeader - kHeaderAlgorithm, "3DES");
    bool written = out.write(kTag2, kTag) && out.write(header, kHeader);
    for (const auto& r : records) written = written && out.write(r.data(), r.size());
    if (!written) return fail(ReadWrite);
    Progress bar(progress, size);
    if (Code code = stream(in, out, session, size, true, bar, cancel); code != Ok) return fail(code);
    if (!out.commit()) return fail(ReadWrite);
    return {};
}

CSecureFile::Result CSecureFile::Decrypt(const std::string& source, const std::string& target, const Header& header,
                                         size_t record, std::string_view password, ProgressSink* progress,
                                         const std::atomic<bool>* cancel) {
    Input in(source);
    if (!in.ok()) return fail(ReadWrite);
    const int64_t size = in.size();
    if (size < 0) return fail(ReadWrite);
    if (size == 0) return step("加密文件内容为空!");
    if (size <= header.payloadOffset || record >= header.records.size()) return step("加密文件损坏!");
    const int64_t total = size - header.payloadOffset;
    if (total % 8) return fail(CryptoCall);  // no 3DES stream has this length
    if (SameFile(source, target)) return fail(ReadWrite);
    orvik::SecretBytes passwordBytes;
    if (!SecureFilePasswordBytes(password, passwordBytes)) return step(kPasswordCharacters);

    // The file's own flag, not the caller's copy of it, says whether a password is needed: without
    // one the session key would open a file meant to need both.
    unsigned char flag = 0;
    if (!in.seek(static_cast<int64_t>(kTag + kHeaderFlag)) || !in.read(&flag, 1)) return fail(ReadWrite);
    if (flag == '1' && password.empty()) return step("口令错误！");

    const Record& r = header.records[record];
    std::vector<unsigned char> blob(kBlobField);
    if (!in.seek(r.blobAt) || !in.read(blob.data(), blob.size())) return step("加密文件损坏!");
    CMyCertStore my;
    my.OpenCertStore();
    std::string thumb = r.thumbprint;
    CDigitalCertificate* cert = my.FindByThumb(thumb);
    if (!cert) return step("没有可用的证书");
    Provider keys;
    DWORD keySpec = 0;
    BOOL callerFree = FALSE;
    if (!CryptAcquireCertificatePrivateKey(cert->getPCCERT(), 0, nullptr, &keys.prov, &keySpec, &callerFree)) {
        const char* device = TokenErrorText(GetLastError());
        return step(device ? device : "寻找证书私钥失败！");
    }
    HCRYPTKEY exchange = 0;
    if (!CryptGetUserKey(keys.prov, AT_KEYEXCHANGE, &exchange)) return step("导出私钥失败！");
    keys.keep(exchange);
    // The stored length is not trusted: it must be a SIMPLEBLOB for this key.
    DWORD bits = 0, bitsSize = sizeof bits;
    CryptGetKeyParam(exchange, KP_KEYLEN, reinterpret_cast<BYTE*>(&bits), &bitsSize, 0);
    HCRYPTKEY session = 0;
    if (r.blobLength < 12 || r.blobLength > kBlobField || r.blobLength - 12 != (bits + 7) / 8 ||
        !CryptImportKey(keys.prov, blob.data(), r.blobLength, exchange, CRYPT_EXPORTABLE, &session))
        return step("解密加密的对称密钥失败！");
    keys.keep(session);
    if (!password.empty()) {
        Provider check;
        if (!check.acquire() || !passwordMatches(check.prov, session, passwordBytes)) return step("口令错误！");
    }
    if (!in.seek(header.payloadOffset)) return fail(ReadWrite);
    orvik::AtomicFile out(target);
    if (!out.ok()) return fail(ReadWrite);
    Progress bar(progress, total);
    if (Code code = stream(in, out, session, total, false, bar, cancel); code != Ok) return fail(code);
    if (!out.commit()) return fail(ReadWrite);
    return {};
}

CSecureFile::Result CSecureFile::EncryptWhole(int version, const std::string& source, const std::string& target,
                                              const std::vector<CDigitalCertificate*>& recipients,
                                              std::string_view password) {
    // One way to open each: a password that came with recipients would protect nothing.
    if (version == 0 ? !recipients.empty() : version != 1 || recipients.empty() || !password.empty())
        return fail(CryptoCall);
    if (version == 0 && !usablePassword(password)) return step(kPasswordCharacters);
    orvik::SecretBytes plain;
    if (Result r = readWhole(source, plain, "文件太大，无法加密！"); r.code != Ok) return r;
    if (SameFile(source, target)) return fail(ReadWrite);
    COrvikEncFile file;
    const orvik::SecretString secret(password);
    const int size = static_cast<int>(plain.size());
    int length = 0;
    auto encrypt = [&](unsigned char* out) {
        return version == 0 ? file.EncryptWithPassword(plain.data(), size, out, length, secret.c_str())
                            : file.EncryptWithCert(plain.data(), size, out, length, recipients);
    };
    if (encrypt(nullptr) != COrvikEncFile::Ok || length <= 0) return fail(CryptoCall);
    // A version 0 image holds the plaintext until it is encrypted in place.
    orvik::SecretBytes image(static_cast<size_t>(length));
    if (encrypt(image.data()) != COrvikEncFile::Ok || length <= 0 || static_cast<size_t>(length) > image.size())
        return fail(CryptoCall);
    image.resize(static_cast<size_t>(length));
    return writeWhole(target, image, orvik::AtomicFile::Replace::Yes);
}

CSecureFile::Result CSecureFile::DecryptWhole(const std::string& source, const std::string& target,
                                              const Header& header, std::string_view password,
                                              orvik::AtomicFile::Replace replace) {
    const int version = header.version;
    if (version != 0 && version != 1) return step("加密文件格式错误！");
    if (version == 0 && !usablePassword(password)) return step(kPasswordCharacters);
    orvik::SecretBytes image;
    if (Result r = readWhole(source, image, "文件太大，无法解密！"); r.code != Ok) return r;
    if (SameFile(source, target)) return fail(ReadWrite);
    COrvikEncFile file;
    const orvik::SecretString secret(password);
    const int size = static_cast<int>(image.size());
    int length = 0;
    auto decrypt = [&](unsigned char* out) {
        return version == 0 ? file.DecryptWithPassword(image.data(), size, out, length, secret.c_str())
                            : file.DecryptWithCert(image.data(), size, out, length);
    };
    COrvikEncFile::Code code = decrypt(nullptr);
    if (code == COrvikEncFile::NoDecryptCert) return fail(NoPrivateKey);
    if (code != COrvikEncFile::Ok || length < 0)
        return step(version == 1 ? "调用加密函数失败，解密失败！" : "解密失败！");
    orvik::SecretBytes plain(static_cast<size_t>(length));
    code = decrypt(plain.data());
    if (code == COrvikEncFile::NoDecryptCert) return fail(NoPrivateKey);
    if (code != COrvikEncFile::Ok || length < 0 || static_cast<size_t>(length) > plain.size())
        return step("解密失败！");
    plain.resize(static_cast<size_t>(length));
    return writeWhole(target, plain, replace);
}
