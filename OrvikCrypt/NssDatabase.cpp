#include "NssDatabase.h"

#include <cert.h>
#include <certdb.h>
#include <nss.h>
#include <pk11pub.h>
#include <keyhi.h>
#include <secmod.h>
#include <secport.h>
#include <unistd.h>
// The one NSS header without C linkage declarations of its own.
extern "C" {
#include <utilpars.h>
}

#include <memory>

#include <openssl/crypto.h>

namespace {

template <class T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const {
        if (p) Free(p);
    }
};
using CertPtr = std::unique_ptr<CERTCertificate, Deleter<CERTCertificate, CERT_DestroyCertificate>>;
using KeyPtr = std::unique_ptr<SECKEYPrivateKey, Deleter<SECKEYPrivateKey, SECKEY_DestroyPrivateKey>>;
void destroyList(CERTCertList* list) { CERT_DestroyCertList(list); }
using ListPtr = std::unique_ptr<CERTCertList, Deleter<CERTCertList, destroyList>>;

SECItem item(const std::string& bytes) {
    return {siBuffer, reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data())),
            static_cast<unsigned int>(bytes.size())};
}

CertPtr tempCert(const std::string& der) {
    SECItem d = item(der);
    return CertPtr(CERT_NewTempCertificate(CERT_GetDefaultCertDB(), &d, nullptr, PR_FALSE, PR_TRUE));
}

}  // namespace

CNssDatabase::~CNssDatabase() { Close(); }

int CNssDatabase::Open(const std::string& dir) {
    Close();
    // The module parameters have no escape for a quote.
    if (dir.find('\'') != std::string::npos || dir.find('"') != std::string::npos) return Failed;
    context_ = NSS_InitContext("", "", "", "", nullptr,
                               NSS_INIT_NOCERTDB | NSS_INIT_NOMODDB | NSS_INIT_NOROOTINIT | NSS_INIT_FORCEOPEN);
    if (!context_) return Failed;
    const std::string parameters = "configdir='sql:" + dir + "' tokenDescription='Thunderbird " + dir + "'";
    slot_ = SECMOD_OpenUserDB(parameters.c_str());
    if (!slot_ || PK11_IsReadOnly(slot_)) {
        Close();
        return Failed;
    }
    return Ok;
}

void CNssDatabase::Close() {
    if (slot_) {
        SECMOD_CloseUserDB(slot_);
        PK11_FreeSlot(slot_);
        slot_ = nullptr;
    }
    if (context_) {
        NSS_ShutdownContext(context_);
        context_ = nullptr;
    }
}

int CNssDatabase::Login(const std::function<std::string()>& askPassword) {
    if (!slot_) return Failed;
    if (PK11_NeedUserInit(slot_)) return PK11_InitPin(slot_, "", "") == SECSuccess ? Ok : Failed;
    if (!PK11_NeedLogin(slot_) || PK11_IsLoggedIn(slot_, nullptr)) return Ok;
    if (PK11_CheckUserPassword(slot_, "") == SECSuccess) return Ok;
    std::string password = askPassword ? askPassword() : std::string();
    if (password.empty()) return Cancelled;
    const bool ok = PK11_CheckUserPassword(slot_, password.c_str()) == SECSuccess;
    OPENSSL_cleanse(password.data(), password.size());
    return ok ? Ok : WrongPassword;
}

int CNssDatabase::ImportWithKey(const std::string& certDer, const std::string& pkcs8Der, const std::string& nickname) {
    if (!slot_) return Failed;
    CertPtr cert = tempCert(certDer);
    if (!cert) return Failed;
    SECItem key = item(pkcs8Der);
    SECItem nick = {siUTF8String, reinterpret_cast<unsigned char*>(const_cast<char*>(nickname.data())),
                    static_cast<unsigned int>(nickname.size())};
    SECKEYPrivateKey* raw = nullptr;
    if (PK11_ImportDERPrivateKeyInfoAndReturnKey(slot_, &key, &nick, nullptr, PR_TRUE, PR_TRUE, KU_ALL, &raw,
                                                 nullptr) != SECSuccess)
        return Failed;
    KeyPtr imported(raw);
    return PK11_ImportCert(slot_, cert.get(), CK_INVALID_HANDLE, nickname.c_str(), PR_FALSE) == SECSuccess ? Ok
                                                                                                           : Failed;
}

int CNssDatabase::ImportCert(const std::string& certDer, const std::string& nickname, bool emailCa) {
    if (!slot_) return Failed;
    CertPtr cert = tempCert(certDer);
    if (!cert) return Failed;
    if (PK11_ImportCert(slot_, cert.get(), CK_INVALID_HANDLE, nickname.c_str(), PR_FALSE) != SECSuccess) return Failed;
    if (!emailCa) return Ok;
    CertPtr stored = tempCert(certDer);
    if (!stored) return Failed;
    // Trust the database gave the authority for other uses stays as it was.
    CERTCertTrust trust{};
    if (CERT_GetCertTrust(stored.get(), &trust) != SECSuccess) trust = {};
    trust.emailFlags |= CERTDB_TRUSTED_CA | CERTDB_VALID_CA;
    if (!trust.sslFlags) trust.sslFlags = CERTDB_VALID_CA;
    if (!trust.objectSigningFlags) trust.objectSigningFlags = CERTDB_VALID_CA;
    return CERT_ChangeCertTrust(CERT_GetDefaultCertDB(), stored.get(), &trust) == SECSuccess ? Ok : Failed;
}

bool CNssDatabase::TrustedForEmail(const std::string& certDer) {
    CertPtr cert = tempCert(certDer);
    CERTCertTrust trust{};
    return cert && CERT_GetCertTrust(cert.get(), &trust) == SECSuccess && (trust.emailFlags & CERTDB_TRUSTED_CA);
}

std::vector<CNssDatabase::Entry> CNssDatabase::List() {
    std::vector<Entry> out;
    if (!slot_) return out;
    ListPtr list(PK11_ListCertsInSlot(slot_));
    if (!list) return out;
    for (CERTCertListNode* n = CERT_LIST_HEAD(list.get()); !CERT_LIST_END(n, list.get()); n = CERT_LIST_NEXT(n)) {
        Entry e;
        if (n->cert->nickname) e.nickname = n->cert->nickname;
        // A token other than the internal one names its certificates "token:name".
        const std::string token = std::string(PK11_GetTokenName(slot_)) + ":";
        if (e.nickname.compare(0, token.size(), token) == 0) e.nickname = e.nickname.substr(token.size());
        e.der.assign(reinterpret_cast<const char*>(n->cert->derCert.data), n->cert->derCert.len);
        KeyPtr key(PK11_FindKeyByAnyCert(n->cert, nullptr));
        e.hasKey = key != nullptr;
        out.push_back(std::move(e));
    }
    return out;
}

std::string CNssDatabase::NicknameOf(const std::string& certDer) {
    for (const Entry& e : List())
        if (e.der == certDer) return e.nickname;
    return {};
}

std::string CNssDatabase::FreeNickname(const std::string& wanted, const std::string& certDer) {
    CertPtr mine = tempCert(certDer);
    std::string candidate = wanted;
    for (int n = 2; n < 100; ++n) {
        bool taken = false;
        for (const Entry& e : List()) {
            if (e.nickname != candidate) continue;
            CertPtr other = tempCert(e.der);
            taken = !mine || !other || SECITEM_CompareItem(&mine->derSubject, &other->derSubject) != SECEqual;
            if (taken) break;
        }
        if (!taken) return candidate;
        candidate = wanted + " #" + std::to_string(n);
    }
    return candidate;
}

bool CNssDatabase::ListsModule(const std::string& dir, const std::string& moduleName) {
    if (dir.find('\'') != std::string::npos || dir.find('"') != std::string::npos) return false;
    // Read-only: a folder without pkcs11.txt would otherwise get one written.
    std::string parameters = "configdir='sql:" + dir + "' flags=readOnly";
    char** specs = NSSUTIL_DoModuleDBFunction(SECMOD_MODULE_DB_FUNCTION_FIND, parameters.data(), nullptr);
    if (!specs) return false;
    bool listed = false;
    for (char** entry = specs; *entry && !listed; ++entry) {
        char* name = NSSUTIL_ArgGetParamValue("name", *entry);
        char* library = NSSUTIL_ArgGetParamValue("library", *entry);
        listed = name && library && moduleName == name && ::access(library, R_OK) == 0;
        PORT_Free(name);
        PORT_Free(library);
    }
    NSSUTIL_DoModuleDBFunction(SECMOD_MODULE_DB_FUNCTION_RELEASE, parameters.data(), specs);
    return listed;
}
