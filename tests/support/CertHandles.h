// Platform certificate and store handles owned by the tests, freed in one place.
#pragma once

#include <memory>
#include <string>

#include <wincrypt.h>

namespace orvik::test {

struct FreeCert {
    void operator()(PCCERT_CONTEXT c) const { CertFreeCertificateContext(c); }
};
using CertPtr = std::unique_ptr<const CERT_CONTEXT, FreeCert>;

struct CloseStore {
    void operator()(void* s) const { CertCloseStore(s, 0); }
};
using StorePtr = std::unique_ptr<void, CloseStore>;

// A context of DER bytes; null when they are not a certificate.
inline CertPtr contextOf(const std::string& der) {
    return CertPtr(CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                                static_cast<DWORD>(der.size())));
}

// Adds DER bytes to the current user's system store `name` ("Root", "CA", ...); false when that failed.
inline bool addToSystemStore(const char* name, const std::string& der) {
    StorePtr store(CertOpenSystemStoreA(0, name));
    return store &&
           CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                            static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
}

// The same for the machine's store `name`: what the deployment installed for every user.
inline bool addToMachineStore(const char* name, const std::string& der) {
    StorePtr store(CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, name));
    return store &&
           CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                            static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
}

}  // namespace orvik::test
