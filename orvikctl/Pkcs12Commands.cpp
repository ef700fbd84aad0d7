// import-pfx, export-pfx, passwd-pfx: PKCS #12 backups of personal certificates.
#include <cstdio>
#include <string>

#include <MyCertStore.h>
#include <PFXFile.h>

#include "Command.h"
#include "Options.h"

namespace orvikctl {
namespace {

// Why a file did not open, in words a user can act on.
std::string unpackFailure(const std::string& path, const orvik::SecretString& password) {
    std::string algorithm;
    switch (InspectPkcs12(path.c_str(), password.c_str(), algorithm)) {
    case -2: return path + " is not a PKCS#12 file";
    case -3: return "wrong password for " + path;
    case -4: return path + " holds no private key";
    case -5: return path + " holds a private key that is not RSA";
    default:
        if (!algorithm.empty()) return path + " is protected with an unsupported algorithm: " + algorithm;
        return path + " cannot be read";
    }
}

// PKCS#12 files are small: a key, its certificate and a chain.
constexpr Limit kPkcs12File{size_t{16} << 20, "a PKCS#12 file"};

int importPfx(const Args& args) {
    Parsed p = parseOptions(args, withPasswords({"provider"}, {"password"}));
    if (!p.ok) return fail(p.error);
    if (p.positional.size() != 1) return usage("import-pfx");
    const std::string path = p.positional[0];
    std::string error, probe;
    if (!readAll(path, probe, kPkcs12File, error)) return fail(error);
    orvik::wipe(probe);
    orvik::SecretString password;
    if (!takePassword(p, {"password", "Password of the PKCS#12 file"}, password, error)) return fail(error);
    std::string provider = p.value("provider");
    CMyCertStore store;
    const CMyCertStore::Result rc =
        store.ImportP12(provider.empty() ? nullptr : provider.c_str(), path.c_str(), password.c_str());
    if (rc == CMyCertStore::FileUnusable || rc == CMyCertStore::NotPkcs12 || rc == CMyCertStore::WrongPassword)
        return fail(unpackFailure(path, password) + " (" + std::to_string(rc) + ")");
    if (std::string problem = tokenProblem(store.DeviceError()); !problem.empty())
        return fail(problem + ": nothing was stored");
    if (rc != CMyCertStore::Ok) return fail("the certificate and key could not be stored (" + std::to_string(rc) + ")");
    return Ok;
}

int exportPfx(const Args& args) {
    Parsed p = parseOptions(args, withPasswords({}, {"password"}));
    if (!p.ok) return fail(p.error);
    if (p.positional.size() != 2) return usage("export-pfx");
    std::string error;
    if (!regularOrAbsent(p.positional[1], error)) return fail(error);
    CMyCertStore store;
    if (store.OpenCertStore() != 0) return fail("the store MY cannot be opened");
    std::string thumb = p.positional[0];
    CDigitalCertificate* cert = store.FindByThumb(thumb);
    int index = -1;
    for (int i = 0; cert && i < store.GetCertCount(); ++i)
        if (store.getCert(i) == cert) index = i;
    if (index < 0) return fail("no certificate " + p.positional[0] + " in MY");
    orvik::SecretString password;
    if (!takePassword(p, {"password", "Password for the PKCS#12 file", true, true}, password, error))
        return fail(error);
    const CMyCertStore::Result rc = store.ExportP12(index, p.positional[1].c_str(), password.c_str());
    if (rc == CMyCertStore::CannotWrite) return fail("cannot write " + p.positional[1]);
    if (rc != CMyCertStore::Ok)
        return fail("the certificate's private key cannot be exported (" + std::to_string(rc) + ")");
    return Ok;
}

int passwdPfx(const Args& args) {
    Parsed p = parseOptions(args, withPasswords({}, {"old", "new"}));
    if (!p.ok) return fail(p.error);
    if (p.positional.size() != 2) return usage("passwd-pfx");
    const std::string in = p.positional[0], out = p.positional[1];
    std::string error, probe;
    if (!readAll(in, probe, kPkcs12File, error) || !regularOrAbsent(out, error)) return fail(error);
    orvik::wipe(probe);
    orvik::SecretString old, fresh;
    if (!takePassword(p, {"old", "Password of the PKCS#12 file"}, old, error) ||
        !takePassword(p, {"new", "New password", true, true}, fresh, error))
        return fail(error);
    int rc = CPFXFile().UpdateP12FilePasswd(in.c_str(), old.c_str(), out.c_str(), fresh.c_str());
    if (rc == 5 || rc == 6 || rc == 7) return fail(unpackFailure(in, old) + " (" + std::to_string(rc) + ")");
    if (rc != 0) return fail("cannot write " + out + "; nothing was changed (" + std::to_string(rc) + ")");
    return Ok;
}

const bool added = registered({
    {"import-pfx", "FILE [--password PW|--password-fd N|--password-env VAR] [--provider NAME|TOKEN]",
     "a PKCS#12 file into MY, its key into a new key container (on a token: the key pair and certificate)", importPfx},
    {"export-pfx", "THUMB OUT [--password PW|--password-fd N|--password-env VAR]",
     "a personal certificate with its private key into a PKCS#12 file (mode 0600)", exportPfx},
    {"passwd-pfx", "IN OUT [--old PW|--old-fd N|--old-env VAR] [--new PW|--new-fd N|--new-env VAR]",
     "protect a PKCS#12 file with a new password (OUT may be IN); passwords not given are asked on the terminal",
     passwdPfx},
});

}  // namespace
}  // namespace orvikctl
