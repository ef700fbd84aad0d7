// encrypt, decrypt, info: secure files (.ovk) of every version.
#include <cerrno>
#include <cstdio>
#include <cstring>
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

// The one line for a version 0 or 1 file that failed.
int failWhole(const CSecureFile::Result& r, const std::string& in, const std::string& out, int version, bool encrypt) {
    switch (r.code) {
    case CSecureFile::TooLarge:
        return fail(in + " is larger than " + sizeText(CSecureFile::kMaxWhole) +
                    ", the most a secure file of version 0 or 1 (version 2 has no limit) may hold");
    case CSecureFile::OpenSource:
        return fail(r.error == EINVAL ? in + " is not a regular file"
                                      : "cannot read " + in + ": " + std::strerror(r.error));
    case CSecureFile::ReadWrite:
        if (r.error) return fail("cannot write " + out + ": " + std::strerror(r.error));
        break;
    case CSecureFile::TargetExists:
        return fail(out + " exists; --force replaces it (a wrong password can give garbage)");
    case CSecureFile::NoPrivateKey: return fail("no private key of MY opens this file");
    case CSecureFile::CryptoCall:
    case CSecureFile::StepFailed:
        if (r.message == CSecureFile::kPasswordCharacters) break;
        if (encrypt) return fail("the file could not be encrypted");
        return fail(version == 0 ? "wrong password or damaged file" : "the file cannot be decrypted");
    default: break;
    }
    return fail(r.message + " (" + std::to_string(r.code) + ")");
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
    if (version == "0" && !recipients.empty()) return fail("version 0 takes a password and no recipients");
    if (version == "1" && recipients.empty()) return fail("version 1 takes recipients and no password");
    if (version != "2") {
        const int number = version == "0" ? 0 : 1;
        const CSecureFile::Result r =
            CSecureFile::EncryptWhole(number, p.positional[0], p.positional[1], recipients, password);
        return r.code == CSecureFile::Ok ? Ok : failWhole(r, p.positional[0], p.positional[1], number, true);
    }
    if (recipients.empty()) return fail("name at least one recipient with --to or --self");
    // Named before anything is written: which certificate a secure file cannot hold.
    for (CDigitalCertificate* c : recipients) {
        const CSecureFile::Code fits = CSecureFile::CheckRecipient(*c);
        if (fits == CSecureFile::Ok) continue;
        std::string name, thumb;
        c->getDisplayName(name);
        c->getThumbPrint(thumb);
        const std::string who = "certificate " + name + " (" + thumb + ")";
        if (fits == CSecureFile::SessionKeyTooLarge)
            return fail(who + " has an RSA key above 4000 bits, more than a secure file holds");
        if (fits == CSecureFile::ImportPublicKey) return fail(who + " has no RSA key a secure file can use");
    }
    CSecureFile::Result r = CSecureFile::Encrypt(p.positional[0], p.positional[1], recipients, password);
    return r.code == CSecureFile::Ok ? Ok : fail(r.message + " (" + std::to_string(r.code) + ")");
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
    if (header.version == 0 || header.version == 1) {
        // Version 0 has no check of its password: a wrong one can give garbage instead of an
        // error, which must never take the place of a file the user has.
        const auto replace =
            header.version == 0 && !p.has("force") ? orvik::AtomicFile::Replace::No : orvik::AtomicFile::Replace::Yes;
        const CSecureFile::Result r = CSecureFile::DecryptWhole(in, out, header, password, replace);
        return r.code == CSecureFile::Ok ? Ok : failWhole(r, in, out, header.version, false);
    }
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
    return r.code == CSecureFile::Ok ? Ok : fail(r.message + " (" + std::to_string(r.code) + ")");
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
