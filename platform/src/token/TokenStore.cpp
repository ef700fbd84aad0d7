#include "TokenStore.h"

#include <openssl/sha.h>

#include <algorithm>
#include <cstring>

#include <orvik/CodePage.h>
#include <winbase.h>

#include "../crypt/KeyProvInfo.h"
#include "../crypt/StoreEntry.h"
#include "TokenProvider.h"

namespace orvik::token {

namespace {

const CK_OBJECT_CLASS kCertificate = CKO_CERTIFICATE;
const CK_CERTIFICATE_TYPE kX509 = CKC_X_509;

std::vector<BYTE> friendlyName(const std::string& label) {
    std::u16string wide = utf8ToUtf16(label);
    std::vector<BYTE> out;
    for (char16_t c : wide) {
        out.push_back(static_cast<BYTE>(c & 0xFF));
        out.push_back(static_cast<BYTE>(c >> 8));
    }
    out.push_back(0);
    out.push_back(0);
    return out;
}

// The certificate objects of this id and thumbprint.
std::vector<CK_OBJECT_HANDLE> matching(TokenSession& s, const std::vector<BYTE>& id, const std::array<BYTE, 20>& sha1) {
    std::vector<CK_OBJECT_HANDLE> out;
    for (CK_OBJECT_HANDLE o :
         s.find({Attribute::of(CKA_CLASS, &kCertificate, sizeof kCertificate), Attribute::bytes(CKA_ID, id)})) {
        auto value = s.attribute(o, CKA_VALUE);
        BYTE digest[SHA_DIGEST_LENGTH];
        if (value && SHA1(value->data(), value->size(), digest) && !std::memcmp(digest, sha1.data(), 20))
            out.push_back(o);
    }
    return out;
}

// Changes to a token certificate's entry go to the token: the friendly name is its CKA_LABEL,
// deleting the entry deletes the certificate object (the key pair stays). Other properties live
// as long as the open store.
class TokenEntrySink : public crypt::ElementSink {
public:
    TokenEntrySink(std::string token, std::vector<BYTE> id) : token_(std::move(token)), id_(std::move(id)) {}

    bool write(const std::vector<BYTE>& serialized, const std::array<BYTE, 20>& sha1) override {
        crypt::Properties props;
        std::vector<BYTE> der;
        if (!crypt::decodeElement(serialized.data(), serialized.size(), props, der)) {
            SetLastError(static_cast<DWORD>(E_INVALIDARG));
            return false;
        }
        auto name = props.find(CERT_FRIENDLY_NAME_PROP_ID);
        const std::string label =
            name == props.end() ? std::string() : utf16LeBytesToUtf8(name->second.data(), name->second.size());
        auto session = TokenLibrary::instance().session(token_);
        if (!session) return false;
        auto objects = matching(*session, id_, sha1);
        if (objects.empty()) {
            SetLastError(static_cast<DWORD>(SCARD_E_NO_SUCH_CERTIFICATE));
            return false;
        }
        for (CK_OBJECT_HANDLE o : objects) {
            auto current = session->attribute(o, CKA_LABEL);
            if (current && std::string(current->begin(), current->end()) == label) continue;
            if (!session->setAttribute(o, Attribute::text(CKA_LABEL, label))) return false;
        }
        return true;
    }

    bool erase(const std::array<BYTE, 20>& sha1) override {
        auto session = TokenLibrary::instance().session(token_);
        if (!session) return false;
        for (CK_OBJECT_HANDLE o : matching(*session, id_, sha1))
            if (!session->destroy(o)) return false;
        return true;
    }

private:
    std::string token_;
    std::vector<BYTE> id_;
};

bool isAuthority(X509* cert) { return (X509_get_extension_flags(cert) & EXFLAG_CA) != 0; }

}  // namespace

std::vector<TokenCert> certificatesOf(TokenSession& s) {
    std::vector<TokenCert> out;
    const CK_OBJECT_CLASS publicKey = CKO_PUBLIC_KEY, privateKey = CKO_PRIVATE_KEY;
    for (CK_OBJECT_HANDLE o : s.find({Attribute::of(CKA_CLASS, &kCertificate, sizeof kCertificate),
                                      Attribute::of(CKA_CERTIFICATE_TYPE, &kX509, sizeof kX509)})) {
        TokenCert c;
        auto value = s.attribute(o, CKA_VALUE);
        if (!value || value->empty()) continue;
        c.der = std::move(*value);
        c.id = s.attribute(o, CKA_ID).value_or(std::vector<BYTE>());
        auto label = s.attribute(o, CKA_LABEL).value_or(std::vector<BYTE>());
        c.label.assign(label.begin(), label.end());
        if (!c.id.empty())
            c.hasKey =
                !s.find({Attribute::of(CKA_CLASS, &privateKey, sizeof privateKey), Attribute::bytes(CKA_ID, c.id)})
                     .empty() ||
                !s.find({Attribute::of(CKA_CLASS, &publicKey, sizeof publicKey), Attribute::bytes(CKA_ID, c.id)})
                     .empty();
        out.push_back(std::move(c));
    }
    return out;
}

void appendTokenCertificates(crypt::StoreCore& core) {
    for (const Slot& slot : TokenLibrary::instance().tokens()) {
        auto session = TokenLibrary::instance().session(slot.facts.label);
        if (!session) continue;
        for (TokenCert& c : certificatesOf(*session)) {
            if (c.id.empty()) continue;
            auto data = crypt::parseCertificate(c.der.data(), c.der.size());
            // An authority's certificate a token carries for the chain is not the holder's; one
            // with its key pair on the token is.
            if (!data || !data->x509() || (!c.hasKey && isAuthority(data->x509()))) continue;
            bool held = std::any_of(core.elements.begin(), core.elements.end(),
                                    [&](crypt::CertCtx* e) { return e->data->sha1 == data->sha1; });
            if (held) continue;
            std::u16string container = utf8ToUtf16(containerOf(c.id));
            std::u16string provider = utf8ToUtf16(slot.facts.label);
            CRYPT_KEY_PROV_INFO info{};
            info.pwszContainerName = container.data();
            info.pwszProvName = provider.data();
            info.dwProvType = PROV_RSA_FULL;
            info.dwKeySpec = AT_KEYEXCHANGE;
            crypt::CertCtx* ctx = crypt::newContext(std::move(data));
            // Without its pair on the token the certificate is listed, but promises no key.
            if (c.hasKey) ctx->props[CERT_KEY_PROV_INFO_PROP_ID] = crypt::encodeKeyProvInfo(info);
            if (!c.label.empty()) ctx->props[CERT_FRIENDLY_NAME_PROP_ID] = friendlyName(c.label);
            ctx->sink = std::make_shared<TokenEntrySink>(slot.facts.label, c.id);
            core.elements.push_back(ctx);
        }
    }
}

}  // namespace orvik::token
