// DoInstallCerts: the built-in roots as registry entries of the Root store, the intermediates
// added to CA. Both keep one entry per thumbprint, so a second run leaves one copy of each.
#include <cstring>
#include <vector>

#include <windows.h>

#include "BuiltinAuthorities.h"
#include "CertStore.h"
#include "Encodings.h"

namespace {

const char kRootKey[] = "Software\\Microsoft\\SystemCertificates\\Root\\Certificates";

// The SHA-1 in upper-case hex of the certificate inside a serialized entry; empty when the
// entry is not one.
std::string entryThumbprint(const std::string& entry) {
    size_t at = 0;
    auto get32 = [&entry](size_t i) {
        const auto* p = reinterpret_cast<const unsigned char*>(entry.data()) + i;
        return static_cast<DWORD>(p[0] | p[1] << 8 | p[2] << 16 | static_cast<DWORD>(p[3]) << 24);
    };
    while (at + 12 <= entry.size()) {
        DWORD id = get32(at), length = get32(at + 8);
        at += 12;
        if (length > entry.size() - at) return {};
        if (id == CERT_CERT_PROP_ID) {
            BYTE hash[20];
            DWORD size = sizeof hash;
            if (!CryptHashCertificate(0, 0, 0, reinterpret_cast<const BYTE*>(entry.data() + at), length, hash, &size))
                return {};
            static const char digits[] = "0123456789ABCDEF";
            std::string hex;
            for (BYTE b : hash) {
                hex.push_back(digits[b >> 4]);
                hex.push_back(digits[b & 15]);
            }
            return hex;
        }
        at += length;
    }
    return {};
}

}  // namespace

CCertStore::Code DoInstallCerts() {
    CSecLog log;
    CCertStore::Code rc = CCertStore::Ok;
    DWORD firstError = 0;
    auto fail = [&](const char* call, DWORD error, int line) {
        log.Log(CSecLog::SEC_LOG_ERROR, line, __FILE__, "%s Error: 0x%x", call, error);
        if (rc == CCertStore::Ok) firstError = error;
        rc = CCertStore::PlatformFailed;
    };

    HKEY machine = nullptr, user = nullptr;
    if (LONG e = RegCreateKeyA(HKEY_LOCAL_MACHINE, kRootKey, &machine); e != ERROR_SUCCESS) {
        machine = nullptr;
        fail("RegCreateKey", static_cast<DWORD>(e), __LINE__);
    }
    if (LONG e = RegCreateKeyA(HKEY_CURRENT_USER, kRootKey, &user); e != ERROR_SUCCESS) {
        user = nullptr;
        fail("RegCreateKey", static_cast<DWORD>(e), __LINE__);
    }
    for (const std::string& text : orvik::builtin::roots()) {
        std::string entry = base64Decode(text);
        std::string thumb = entryThumbprint(entry);
        HKEY target = machine ? machine : user;
        if (thumb.empty() || !target) {
            if (thumb.empty())
                fail("CertAddSerializedElementToStore", static_cast<DWORD>(CRYPT_E_FILE_ERROR), __LINE__);
            continue;
        }
        // One copy only: the user's own entry of the same root gives way to the machine's.
        if (machine && user) RegDeleteKeyA(user, thumb.c_str());
        HKEY sub = nullptr;
        LONG e = RegCreateKeyA(target, thumb.c_str(), &sub);
        if (e == ERROR_SUCCESS) {
            e = RegSetValueExA(sub, "Blob", 0, REG_BINARY, reinterpret_cast<const BYTE*>(entry.data()),
                               static_cast<DWORD>(entry.size()));
            RegCloseKey(sub);
        }
        if (e != ERROR_SUCCESS) fail("RegSetValueEx", static_cast<DWORD>(e), __LINE__);
    }
    if (machine) RegCloseKey(machine);
    if (user) RegCloseKey(user);

    HCERTSTORE ca = nullptr;
    for (const std::string& text : orvik::builtin::intermediates()) {
        if (!ca && !(ca = CertOpenSystemStoreA(0, "CA"))) {
            fail("CertOpenSystemStore", GetLastError(), __LINE__);
            break;
        }
        std::string der = base64Decode(text);
        if (!CertAddEncodedCertificateToStore(ca, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                              static_cast<DWORD>(der.size()), CERT_STORE_ADD_ALWAYS, nullptr))
            fail("CertAddEncodedCertificateToStore", GetLastError(), __LINE__);
    }
    if (ca) CertCloseStore(ca, 0);
    // The caller can tell a full disk from a refused write.
    if (rc != CCertStore::Ok) SetLastError(firstError);
    return rc;
}
