// The certificate context behind PCCERT_CONTEXT: reference counted, with the parsed fields
// shared between every context of the same bytes and the properties kept per store element.
#pragma once

#include <array>
#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <wincrypt.h>

#include "Ossl.h"

namespace orvik::crypt {

struct StoreCore;

// What never changes once a certificate is parsed.
struct CertData {
    std::vector<BYTE> der;         // the bytes as given: thumbprint and export use these
    std::vector<BYTE> openSslDer;  // with a minimal serial, which OpenSSL insists on; empty when der has one
    CERT_INFO info{};
    std::vector<BYTE> serialLe;
    std::deque<std::string> oids;  // stable storage for the pszObjId pointers
    std::vector<CERT_EXTENSION> extensions;
    std::array<BYTE, 20> sha1{};
    std::array<BYTE, 16> md5{};

    // OpenSSL's form, made on first use: its decoding costs nine tenths of making a context, and
    // most contexts are only listed. Null when OpenSSL refuses the certificate.
    X509* x509() const;

private:
    mutable std::once_flag parsed_;
    mutable ossl::X509Ptr x509_;
};

// Where an element of a persistent store is written back to.
class ElementSink {
public:
    virtual ~ElementSink() = default;
    virtual bool write(const std::vector<BYTE>& serialized, const std::array<BYTE, 20>& sha1) = 0;
    virtual bool erase(const std::array<BYTE, 20>& sha1) = 0;
};

using Properties = std::map<DWORD, std::vector<BYTE>>;

struct CertCtx {
    CERT_CONTEXT pub{};  // first: a PCCERT_CONTEXT is the address of this member
    uint32_t magic = kMagic;
    std::atomic<int> refs{1};
    std::shared_ptr<const CertData> data;
    mutable std::mutex lock;  // guards props
    Properties props;         // stored forms; KEY_PROV_INFO in its serialized layout
    std::weak_ptr<StoreCore> store;
    std::shared_ptr<ElementSink> sink;  // null for elements of memory stores
    size_t indexHint = 0;               // position in the store when last enumerated

    static constexpr uint32_t kMagic = 0x43455254;  // "CERT"
};

// The context of a public pointer; null (last error E_INVALIDARG) for anything else.
CertCtx* contextOf(PCCERT_CONTEXT context);

// Parses DER; null with the last error set (CRYPT_E_ASN1_BADTAG and friends) when the bytes are
// not a certificate.
std::shared_ptr<const CertData> parseCertificate(const BYTE* der, size_t size);

// A new context with one reference.
CertCtx* newContext(std::shared_ptr<const CertData> data);
CertCtx* addRef(CertCtx* ctx);
void release(CertCtx* ctx);

// Writes the element back to its store when it has one; false (last error set) when that fails.
bool persist(CertCtx& ctx);

// Serialized store element: property records, then the certificate as record 32.
std::vector<BYTE> serializeElement(const CertCtx& ctx);

}  // namespace orvik::crypt
