#include "CaCertStore.h"

#include <cstring>

CCaCertStore::~CCaCertStore() = default;

int CCaCertStore::OpenCertStore() {
    int rc = OpenSystemStore("CA", __FILE__);
    if (rc != Ok || scope_ != WithRoots) return rc;
    auto listed = [this](PCCERT_CONTEXT c) {
        for (CDigitalCertificate* have : certificates) {
            const CERT_CONTEXT* h = have->getPCCERT();
            if (h && h->cbCertEncoded == c->cbCertEncoded &&
                std::memcmp(h->pbCertEncoded, c->pbCertEncoded, c->cbCertEncoded) == 0)
                return true;
        }
        return false;
    };
    // The contexts keep their own references and their entries: deleting or naming one reaches
    // its own store after these handles are closed.
    for (const char* name : {"Root", "Disallowed"}) {
        HCERTSTORE other = CertOpenSystemStoreA(0, name);
        if (!other) {
            log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, __FILE__, "CertOpenSystemStore Error: 0x%x", GetLastError());
            continue;
        }
        for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(other, c));)
            if (!listed(c)) certificates.push_back(new CDigitalCertificate(c));
        CertCloseStore(other, 0);
    }
    return Ok;
}

CCaCertStore::Code CCaCertStore::ImportCert(const char* path) {
    return static_cast<Code>(ImportCertFile("CA", path, __FILE__));
}
