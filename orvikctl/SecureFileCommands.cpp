// encrypt, decrypt, info: secure files (.ovk) of every version.
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

int encryptWhole(const std::string& in, const std::string& out, int version, const std::string& password,
                 std::vector<CDigitalCertificate*>& recipients) {
    std::string bytes;
    if (!readAll(in, bytes)) return fail("cannot read " + in);
    COrvikEncFile file;
    int length = 0;
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    int size = static_cast<int>(bytes.size());
    int rc = version == 0 ? file.EncryptWithPassword(data, size, nullptr, length, password.c_str())
                          : file.EncryptWithCert(data, size, nullptr, length, recipients);
    std::string image(static_cast<size_t>(rc == 0 ? length : 0), '\0');
    auto* target = reinterpret_cast<unsigned char*>(image.data());
    if (rc == 0)
        rc = version == 0 ? file.EncryptWithPassword(data, size, target, length, password.c_str())
                          : file.EncryptWithCert(data, size, target, length, recipients);
    if (rc != 0) return fail("the file could not be encrypted");
    image.resize(static_cast<size_t>(length));
    return writeAll(out, image) ? Ok : fail("cannot write " + out);
}

int encrypt(const Args& args) {
    Parsed p = parseOptions(args, {"to", "self", "password", "version"});
    if (!p.ok) return fail(p.error);
    // --to may repeat: collect every occurrence.
    std::vector<std::string> to;
    for (size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == "--to") to.push_back(args[i + 1]);
    if (p.positional.size() != 2) return usage("encrypt");
    const std::string version = p.value("version", "2"), password = p.value("password");
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
    std::string bytes;
    if (!SecureFilePasswordBytes(password.c_str(), bytes)) return fail(CSecureFile::kPasswordCharacters);
    if (version == "0") {
        if (password.empty() || !recipients.empty()) return fail("version 0 takes a password and no recipients");
        return encryptWhole(p.positional[0], p.positional[1], 0, password, recipients);
    }
    if (version == "1") {
        if (recipients.empty() || !password.empty()) return fail("version 1 takes recipients and no password");
        return encryptWhole(p.positional[0], p.positional[1], 1, password, recipients);
    }
    if (version != "2") return fail("no version " + version + " (0, 1 or 2)");
    if (recipients.empty()) return fail("name at least one recipient with --to or --self");
    CSecureFile::Result r = CSecureFile::Encrypt(p.positional[0], p.positional[1], recipients, password);
    return r.code == 0 ? Ok : fail(r.message + " (" + std::to_string(r.code) + ")");
}

int decryptWhole(const std::string& in, const std::string& out, int version, const std::string& password) {
    std::string bytes;
    if (!readAll(in, bytes)) return fail("cannot read " + in);
    COrvikEncFile file;
    int length = 0;
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    int size = static_cast<int>(bytes.size());
    int rc = version == 0 ? file.DecryptWithPassword(data, size, nullptr, length, password.c_str())
                          : file.DecryptWithCert(data, size, nullptr, length);
    std::string plain(static_cast<size_t>(rc == 0 ? length : 0), '\0');
    if (rc == 0)
        rc = version == 0 ? file.DecryptWithPassword(data, size, reinterpret_cast<unsigned char*>(plain.data()), length,
                                                     password.c_str())
                          : file.DecryptWithCert(data, size, reinterpret_cast<unsigned char*>(plain.data()), length);
    if (rc == static_cast<int>(CRYPT_E_NO_DECRYPT_CERT)) return fail("no private key of MY opens this file");
    if (rc != 0) return fail(version == 0 ? "wrong password or damaged file" : "the file cannot be decrypted");
    plain.resize(static_cast<size_t>(length));
    return writeAll(out, plain) ? Ok : fail("cannot write " + out);
}

int decrypt(const Args& args) {
    Parsed p = parseOptions(args, {"password"});
    if (!p.ok) return fail(p.error);
    if (p.positional.size() != 2) return usage("decrypt");
    const std::string& in = p.positional[0];
    CSecureFile::Header header;
    if (!CSecureFile::ReadHeader(in, header)) return fail("cannot read " + in);
    if (header.version == 0 || header.version == 1)
        return decryptWhole(in, p.positional[1], header.version, p.value("password"));
    if (header.version != 2) return fail("加密文件格式错误！");
    // The first record whose certificate has a key here.
    CMyCertStore my;
    my.OpenCertStore();
    size_t chosen = header.records.size();
    for (size_t i = 0; i < header.records.size() && chosen == header.records.size(); ++i) {
        std::string thumb = header.records[i].thumbprint;
        if (my.FindByThumb(thumb)) chosen = i;
    }
    if (chosen == header.records.size()) return fail("没有可用的证书");
    CSecureFile::Result r = CSecureFile::Decrypt(in, p.positional[1], header, chosen, p.value("password"));
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
    {"encrypt", "IN OUT --to THUMB [--to THUMB ...] [--self THUMB] [--password PW] [--version 0|1|2]",
     "a secure file for recipients (version 2 unless asked)", encrypt},
    {"decrypt", "IN OUT [--password PW]", "a secure file of any version, with a key of MY", decrypt},
    {"info", "FILE", "a secure file's version, recipients, extension, size and password flag", info},
});

}  // namespace
}  // namespace orvikctl
