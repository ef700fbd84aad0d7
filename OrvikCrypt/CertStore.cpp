#include "CertStore.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <orvik/ReadFile.h>
#include <windows.h>

namespace {

constexpr long kMaxCertificateFile = 1024 * 1024;

}  // namespace

CCertStore::CCertStore() : store(nullptr) {}

CCertStore::CCertStore(const CCertStore& other) : store(nullptr), log(other.log) { copyFrom(other); }

CCertStore& CCertStore::operator=(const CCertStore& other) {
    if (this != &other) {
        CloseStore();
        log = other.log;
        copyFrom(other);
    }
    return *this;
}

void CCertStore::copyFrom(const CCertStore& other) {
    store = other.store ? CertDuplicateStore(other.store) : nullptr;
    for (CDigitalCertificate* c : other.certificates) certificates.push_back(new CDigitalCertificate(*c));
}

CCertStore::~CCertStore() { CloseStore(); }

int CCertStore::OpenSystemStore(const char* name, const char* sourceFile) {
    CloseStore();
    store = CertOpenSystemStoreA(0, name);
    if (!store) {
        log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, sourceFile, "CertOpenSystemStore Error: 0x%x", GetLastError());
        return PlatformFailed;
    }
    PCCERT_CONTEXT ctx = nullptr;
    while ((ctx = CertEnumCertificatesInStore(store, ctx))) certificates.push_back(new CDigitalCertificate(ctx));
    return Ok;
}

CDigitalCertificate* CCertStore::getCert(int index) {
    if (index < 0 || index >= GetCertCount()) return nullptr;
    return certificates[static_cast<size_t>(index)];
}

void CCertStore::SetFilter(const char* key, const char* value) {
    if (!key || !value || !*value) return;
    auto drop = [this](auto&& shouldGo) {
        auto keep = std::stable_partition(certificates.begin(), certificates.end(),
                                          [&](CDigitalCertificate* c) { return !shouldGo(c); });
        for (auto it = keep; it != certificates.end(); ++it) delete *it;
        certificates.erase(keep, certificates.end());
    };
    if (!std::strcmp(key, "KeyUsage")) {
        if (!std::strcmp(value, "Sign")) drop([](CDigitalCertificate* c) { return c->isSignUse() == 0; });
        if (!std::strcmp(value, "Crypt")) drop([](CDigitalCertificate* c) { return c->isCryptUse() == 0; });
        return;
    }
    drop([&](CDigitalCertificate* c) {
        std::string text;
        return c->GetCertInfo(key, text) == 0 && text != value;
    });
}

bool CCertStore::Remove(int index) {
    CDigitalCertificate* cert = getCert(index);
    if (!cert || !cert->getPCCERT()) return false;
    // The delete call always releases the context it is given: give it a reference of its own,
    // so the object's own stays valid until the object goes.
    if (!CertDeleteCertificateFromStore(CertDuplicateCertificateContext(cert->getPCCERT()))) {
        log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, __FILE__, "CertDeleteCertificateFromStore Error: 0x%x",
                GetLastError());
        return false;
    }
    certificates.erase(certificates.begin() + index);
    delete cert;
    return true;
}

CDigitalCertificate* CCertStore::FindByThumb(CBBuffer* thumbprint) {
    if (!thumbprint || thumbprint->size() < 20) return nullptr;
    for (CDigitalCertificate* c : certificates) {
        CBBuffer hash;
        if (c->getThumbPrint(&hash) == 0 && hash.size() == 20 &&
            std::memcmp(hash.GetBuffer(), thumbprint->GetBuffer(), 20) == 0)
            return c;
    }
    return nullptr;
}

CDigitalCertificate* CCertStore::FindByThumb(std::string& thumbprint) {
    thumbprint.erase(std::remove(thumbprint.begin(), thumbprint.end(), ' '), thumbprint.end());
    if (thumbprint.empty()) return nullptr;
    for (CDigitalCertificate* c : certificates) {
        std::string text;
        if (c->GetCertInfo("ThumbPrint", text) != 0) continue;
        text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
        // Compared over the certificate's 40 characters: a shorter query never matches.
        if (thumbprint.size() >= text.size() && strncasecmp(thumbprint.c_str(), text.c_str(), text.size()) == 0)
            return c;
    }
    return nullptr;
}

void CCertStore::CloseStore() {
    for (CDigitalCertificate* c : certificates) delete c;
    certificates.clear();
    if (store) CertCloseStore(store, 0);
    store = nullptr;
}

int CCertStore::AddToSystemStore(const char* name, PCCERT_CONTEXT context, const char* sourceFile) {
    HCERTSTORE target = CertOpenSystemStoreA(0, name);
    if (!target) {
        log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, sourceFile, "CertOpenSystemStore Error: 0x%x", GetLastError());
        return PlatformFailed;
    }
    int rc = Ok;
    if (!CertAddCertificateContextToStore(target, context, CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
        log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, sourceFile, "CertAddCertificateContextToStore Error: 0x%x",
                GetLastError());
        rc = PlatformFailed;
    }
    CertCloseStore(target, CERT_CLOSE_STORE_FORCE_FLAG);
    return rc;
}

int CCertStore::ImportCertFile(const char* name, const char* path, const char* sourceFile) {
    // The whole file, bounded, and never a FIFO or a device that would never end.
    std::string bytes;
    if (!path || !orvik::readRegularFile(path, bytes, static_cast<size_t>(kMaxCertificateFile)))
        return path && errno == EFBIG ? NotACertificate : FileError;
    if (bytes.empty()) return NotACertificate;
    // Certificate files from other systems are often PEM.
    auto cert = CDigitalCertificate::FromFileBytes(bytes);
    if (!cert) return NotACertificate;
    return AddToSystemStore(name, cert->getPCCERT(), sourceFile);
}
