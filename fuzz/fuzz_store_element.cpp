// A certificate store's registry Blob, as it is read back into a store.
#include <cstdint>

#include <wincrypt.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    const void* added = nullptr;
    if (CertAddSerializedElementToStore(store, data, static_cast<DWORD>(size), CERT_STORE_ADD_REPLACE_EXISTING, 0, 0,
                                        nullptr, &added) &&
        added) {
        PCCERT_CONTEXT cert = static_cast<PCCERT_CONTEXT>(added);
        DWORD id = 0, bytes = 0;
        while ((id = CertEnumCertificateContextProperties(cert, id)))
            CertGetCertificateContextProperty(cert, id, nullptr, &bytes);
        CertDeleteCertificateFromStore(cert);
    }
    return 0;
}
