// encrypt, decrypt, info: secure files (.ovk) of every version.
#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <CaCertStore.h>
#include <MyCertStore.h>
#include <OrvikEncFile.h>
#include <OtherCertStore.h>
#include <SecureFile.h>
#include <windows.h>

#include "Command.h"
#include "Options.h"

namespace orvikctl {
namespace {

// A recipient from any store: personal, other people's or the authorities'.
std::unique_ptr<CDigitalCertificate> findAnywhere(std::string thumb) {
    CMyCertStore my;
    COtherCertStore book;
    CCaCertStore ca;
    for (CCertStore* store : std::initializer_list<CCertStore*>{&my, &book, &ca}) {
        if (store->OpenCertStore() != 0) continue;
        std::string query = thumb;
        if (CDigitalCertificate* c = store->FindByThumb(query)) return std::make_unique<CDigitalCertificate>(*c);
    }
    return nullptr;
}

// Versions 0 and 1 hold the whole file in memory with int lengths; version 2 streams any size.
constexpr Limit kOnePieceSecureFile{kOnePiece.bytes, "a secure file of version 0 or 1 (version 2 has no limit)"};

int encryptWhole(const std::string& in, const std::string& out, int version, const orvik::SecretString& password,
                 std::vector<CDigitalCertificate*>& recipients) {
    orvik::SecretString bytes;
    {
        std::string read, error;
        if (!readAll(in, read, kOnePieceSecureFile, error)) return fail(error);
        bytes.assign(read.begin(), read.end());
        orvik::wipe(read);
    }
    COrvikEncFile file;
    int length = 0;
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const int size = static_cast<int>(bytes.size());
    int rc = version == 0 ? file.EncryptWithPassword(data, size, nullptr, length, password.c_str())
                          : file.EncryptWithCert(data, size, nullptr, length, recipients);
    if (rc == 0 && length < 0) rc = -1;
    // The password's image holds the plaintext until it is encrypted in place.
    orvik::SecretString image(static_cast<size_t>(rc == 0 ? length : 0), '\0');
    auto* target = reinterpret_cast<unsigned char*>(image.data());
    if (rc == 0)
        rc = version == 0 ? file.EncryptWithPassword(data, size, target, length, password.c_str())
                          : file.EncryptWithCert(data, size, target, length, recipients);
    if (rc != 0) return fail("the file could not be encrypted");
    image.resize(static_cast<size_t>(length));
    std::string error;
    return writeAll(out, image, Readers::Umask, error) ? Ok : fail(error);
}

int encrypt(const Args& args) {
    Parsed p = parseOptions(args, withPasswords({"to", "self", "version"}, {"password"}));
    if (!p.ok) return fail(p.error);
    // --to may repeat: collect every occurrence.
    std::vector<std::string> to;
    for (size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == "--to") to.push_back(args[i + 1]);
    if (p.positional.size() != 2) return usage("encrypt");
    const std::string version = p.value("version", "2");
    if (version != "0" && version != "1" && version != "2") return fail("no version " + version + " (0, 1 or 2)");
    std::string error;
    if (!regularFile(p.positional[0], error) || !regularOrAbsent(p.positional[1], error)) return fail(error);
    // Version 0 is a password and nothing else; a version 2 protect password is optional.
    orvik::SecretString password;
    if (version != "1" &&
        !takePassword(p, {"password", "Password for the secure file", version == "0", true}, password, error))
        return fail(error);
    if (version == "1" && (p.has("password") || p.has("password-fd") || p.has("password-env")))
        return fail("version 1 takes recipients and no password");
    std::vector<std::unique_ptr<CDigitalCertificate>> owned;
    if (p.has("self")) {
        CMyCertStore my;
        my.OpenCertStore();
        std::string thumb = p.value("self");
        CDigitalCertificate* c = my.FindByThumb(thumb);
        if (!c) return fail("no certificate " + p.value("self") + " in MY");
        owned.push_back(std::make_unique<CDigitalCertificate>(*c));
    }
    for (const auto& t : to) {
        auto c = findAnywhere(t);
        if (!c) return fail("no certificate " + t + " in MY, ADDRESSBOOK or CA");
        owned.push_back(std::move(c));
    }
    std::vector<CDigitalCertificate*> recipients;
    for (auto& c : owned) recipients.push_back(c.get());
    {
        orvik::SecretBytes bytes;
        if (!SecureFilePasswordBytes(password, bytes)) return fail(CSecureFile::kPasswordCharacters);
    }
    if (version == "0") {
        if (!recipients.empty()) return fail("version 0 takes a password and no recipients");
        return encryptWhole(p.positional[0], p.positional[1], 0, password, recipients);
    }
    if (version == "1") {
        if (recipients.empty()) return fail("version 1 takes recipients and no password");
        return encryptWhole(p.positional[0], p.positional[1], 1, password, recipients);
    }
    if (recipients.empty()) return fail("name at least one recipient with --to or --self");
    CSecureFile::Result r = CSecureFile::Encrypt(p.positional[0], p.positional[1], recipients, password);
    return r.code == 0 ? Ok : fail(r.message + " (" + std::to_string(r.code) + ")");
}

int decryptWhole(const std::string& in, const std::string& out, int version, const orvik::SecretString& password,
                 bool force) {
    std::string bytes, error;
    if (!readAll(in, bytes, kOnePieceSecureFile, error)) return fail(error);
    COrvikEncFile file;
    int length = 0;
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const int size = static_cast<int>(bytes.size());
    int rc = version == 0 ? file.DecryptWithPassword(data, size, nullptr, length, password.c_str())
                          : file.DecryptWithCert(data, size, nullptr, length);
    if (rc == 0 && length < 0) rc = -1;
    orvik::SecretString plain(static_cast<size_t>(rc == 0 ? length : 0), '\0');
    if (rc == 0)
        rc = version == 0 ? file.DecryptWithPassword(data, size, reinterpret_cast<unsigned char*>(plain.data()), length,
                                                     password.c_str())
                          : file.DecryptWithCert(data, size, reinterpret_cast<unsigned char*>(plain.data()), length);
    if (rc == static_cast<int>(CRYPT_E_NO_DECRYPT_CERT)) return fail("no private key of MY opens this file");
    if (rc != 0) return fail(version == 0 ? "wrong password or damaged file" : "the file cannot be decrypted");
    plain.resize(static_cast<size_t>(length));
    // Version 0 has no check of its password: a wrong one can give garbage instead of an error,
    // which must never take the place of a file the user has.
    if (writeAll(out, plain, Readers::Owner, error, version != 0 || force)) return Ok;
    if (errno == EEXIST) return fail(out + " exists; --force replaces it (a wrong password can give garbage)");
    return fail(error);
}

int decrypt(const Args& args) {
    Parsed p = parseOptions(args, withPasswords({}, {"password"}), {"force"});
    if (!p.ok) return fail(p.error);
    if (p.positional.size() != 2) return usage("decrypt");
    const std::string& in = p.positional[0];
    const std::string& out = p.positional[1];
    std::string error;
    if (!regularFile(in, error) || !regularOrAbsent(out, error)) return fail(error);
    CSecureFile::Header header;
    if (!CSecureFile::ReadHeader(in, header)) return fail("cannot read " + in);
    if (header.version < 0 || header.version > 2) return fail("加密文件格式错误！");
    // A password opens version 0, and a version 2 file that has one needs it.
    orvik::SecretString password;
    const bool needed = header.version == 0 || (header.version == 2 && header.passwordSet);
    if (!takePassword(p, {"password", "Password of the secure file", needed}, password, error)) return fail(error);
    if (header.version == 0 || header.version == 1)
        return decryptWhole(in, out, header.version, password, p.has("force"));
    // The first record whose certificate has a key here.
    CMyCertStore my;
    my.OpenCertStore();
    size_t chosen = header.records.size();
    for (size_t i = 0; i < header.records.size() && chosen == header.records.size(); ++i) {
        std::string thumb = header.records[i].thumbprint;
        if (my.FindByThumb(thumb)) chosen = i;
    }
    if (chosen == header.records.size()) return fail("没有可用的证书");
    CSecureFile::Result r = CSecureFile::Decrypt(in, out, header, chosen, password);
    return r.code == 0 ? Ok : fail(r.message + " (" + std::to_string(r.code) + ")");
}

int info(const Args& args) {
    if (args.size() != 1) return usage("info");
    CSecureFile::Header h;
    if (!CSecureFile::ReadHeader(args[0], h)) return fail("cannot read " + args[0]);
    if (h.version < 0) return fail(args[0] + " is not a secure file");
    std::printf("Version: %d\n", h.version);
    if (h.version != 2) return Ok;
    std::printf("Extension: %s\nSize: %d\nPassword: %s\n", h.extension.c_str(), h.size, h.passwordSet ? "yes" : "no");
    for (const auto& r : h.records) std::printf("Recipient: %s\t%s\n", r.thumbprint.c_str(), r.displayName.c_str());
    return Ok;
}

const bool added = registered({
    {"encrypt",
     "IN OUT --to THUMB [--to THUMB ...] [--self THUMB] [--password PW|--password-fd N|--password-env VAR] "
     "[--version 0|1|2]",
     "a secure file for recipients (version 2 unless asked; version 0: a password alone)", encrypt},
    {"decrypt", "IN OUT [--password PW|--password-fd N|--password-env VAR] [--force]",
     "a secure file of any version, with a key of MY; the password when the file has one (else ORVIK_PASSWORD or "
     "the terminal); --force lets a version 0 result replace OUT",
     decrypt},
    {"info", "FILE", "a secure file's version, recipients, extension, size and password flag", info},
});

}  // namespace
}  // namespace orvikctl
