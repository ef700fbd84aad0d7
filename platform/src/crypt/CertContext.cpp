#include "CertContext.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstring>

#include <winbase.h>

#include "Der.h"
#include "StoreEntry.h"

namespace orvik::crypt {

namespace {

void toFileTime(int64_t unixSeconds, FILETIME& ft) {
    // A GeneralizedTime may name a year before FILETIME begins (1601): it starts there.
    const int64_t since1601 = unixSeconds + 11644473600LL;
    uint64_t ticks = since1601 > 0 ? static_cast<uint64_t>(since1601) * 10000000ULL : 0;
    ft.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFF);
    ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
}

CRYPT_OBJID_BLOB blobOf(const der::Tlv& tlv) {
    return CRYPT_OBJID_BLOB{static_cast<DWORD>(tlv.size()), const_cast<BYTE*>(tlv.start)};
}

// An AlgorithmIdentifier: OID and the encoded parameters (absent gives an empty blob).
bool readAlgorithm(const der::Tlv& seq, CertData& data, CRYPT_ALGORITHM_IDENTIFIER& out) {
    der::Reader r(seq);
    der::Tlv oid, params;
    if (seq.tag != der::Sequence || !r.nextIf(der::Oid, oid)) return false;
    data.oids.push_back(der::oidText(oid));
    if (data.oids.back().empty()) return false;
    out.pszObjId = data.oids.back().data();
    out.Parameters = r.next(params) ? blobOf(params) : CRYPT_OBJID_BLOB{0, nullptr};
    return true;
}

// Strips the redundant leading octets of a non-minimal INTEGER (what Windows accepts and
// OpenSSL refuses).
std::vector<BYTE> minimalInteger(const BYTE* v, size_t n) {
    size_t skip = 0;
    while (n - skip > 1 && ((v[skip] == 0x00 && !(v[skip + 1] & 0x80)) || (v[skip] == 0xFF && (v[skip + 1] & 0x80))))
        ++skip;
    return std::vector<BYTE>(v + skip, v + n);
}

// The certificate with its serial re-encoded minimally; the rest byte for byte.
std::vector<BYTE> normalised(const der::Tlv& cert, const der::Tlv& tbs, const der::Tlv& serial) {
    std::vector<BYTE> minimal = minimalInteger(serial.value, serial.length);
    std::vector<BYTE> newTbsBody;
    newTbsBody.insert(newTbsBody.end(), tbs.value, serial.start);
    der::appendTlv(newTbsBody, der::Integer, minimal.data(), minimal.size());
    const BYTE* afterSerial = serial.value + serial.length;
    newTbsBody.insert(newTbsBody.end(), afterSerial, tbs.value + tbs.length);
    std::vector<BYTE> newCertBody;
    der::appendTlv(newCertBody, der::Sequence, newTbsBody.data(), newTbsBody.size());
    const BYTE* afterTbs = tbs.value + tbs.length;
    newCertBody.insert(newCertBody.end(), afterTbs, cert.value + cert.length);
    std::vector<BYTE> out;
    der::appendTlv(out, der::Sequence, newCertBody.data(), newCertBody.size());
    return out;
}

bool fail(DWORD error) {
    SetLastError(error);
    return false;
}

// Fills CERT_INFO from the original bytes, so every blob is exactly what the file holds.
bool readInfo(CertData& data, der::Tlv& certOut, der::Tlv& tbsOut, der::Tlv& serialOut) {
    der::Reader top(data.der.data(), data.der.size());
    der::Tlv cert;
    if (!top.nextIf(der::Sequence, cert) || !top.atEnd()) return fail(CRYPT_E_ASN1_BADTAG);
    der::Reader body(cert);
    der::Tlv tbs;
    if (!body.nextIf(der::Sequence, tbs)) return fail(CRYPT_E_ASN1_BADTAG);
    der::Reader r(tbs);
    der::Tlv t;
    CERT_INFO& info = data.info;
    info.dwVersion = CERT_V1;
    if (r.nextIf(0xA0, t)) {
        der::Reader v(t);
        der::Tlv n;
        if (!v.nextIf(der::Integer, n) || n.length != 1) return fail(CRYPT_E_ASN1_CORRUPT);
        info.dwVersion = n.value[0];
    }
    der::Tlv serial;
    if (!r.nextIf(der::Integer, serial) || serial.length == 0) return fail(CRYPT_E_ASN1_CORRUPT);
    // Windows keeps the serial's octets as they are, least significant first.
    data.serialLe.assign(serial.value, serial.value + serial.length);
    std::reverse(data.serialLe.begin(), data.serialLe.end());
    info.SerialNumber = {static_cast<DWORD>(data.serialLe.size()), data.serialLe.data()};
    if (!r.next(t) || !readAlgorithm(t, data, info.SignatureAlgorithm)) return fail(CRYPT_E_ASN1_CORRUPT);
    if (!r.nextIf(der::Sequence, t)) return fail(CRYPT_E_ASN1_CORRUPT);
    info.Issuer = blobOf(t);
    der::Tlv validity;
    if (!r.nextIf(der::Sequence, validity)) return fail(CRYPT_E_ASN1_CORRUPT);
    {
        der::Reader v(validity);
        der::Tlv from, to;
        int64_t a = 0, b = 0;
        if (!v.next(from) || !v.next(to) || !der::parseTime(from, a) || !der::parseTime(to, b))
            return fail(CRYPT_E_ASN1_CORRUPT);
        toFileTime(a, info.NotBefore);
        toFileTime(b, info.NotAfter);
    }
    if (!r.nextIf(der::Sequence, t)) return fail(CRYPT_E_ASN1_CORRUPT);
    info.Subject = blobOf(t);
    der::Tlv spki;
    if (!r.nextIf(der::Sequence, spki)) return fail(CRYPT_E_ASN1_CORRUPT);
    {
        der::Reader k(spki);
        der::Tlv alg, bits;
        if (!k.next(alg) || !readAlgorithm(alg, data, info.SubjectPublicKeyInfo.Algorithm) ||
            !k.nextIf(der::BitString, bits) || bits.length < 1)
            return fail(CRYPT_E_ASN1_CORRUPT);
        info.SubjectPublicKeyInfo.PublicKey = {static_cast<DWORD>(bits.length - 1), const_cast<BYTE*>(bits.value + 1),
                                               bits.value[0]};
    }
    auto uniqueId = [](const der::Tlv& id, CRYPT_BIT_BLOB& out) {
        if (id.length >= 1) out = {static_cast<DWORD>(id.length - 1), const_cast<BYTE*>(id.value + 1), id.value[0]};
    };
    if (r.nextIf(0x81, t)) uniqueId(t, info.IssuerUniqueId);
    if (r.nextIf(0x82, t)) uniqueId(t, info.SubjectUniqueId);
    if (r.nextIf(0xA3, t)) {
        der::Reader wrap(t);
        der::Tlv list;
        if (!wrap.nextIf(der::Sequence, list)) return fail(CRYPT_E_ASN1_CORRUPT);
        der::Reader items(list);
        der::Tlv ext;
        while (items.next(ext)) {
            der::Reader e(ext);
            der::Tlv oid, crit, value;
            if (ext.tag != der::Sequence || !e.nextIf(der::Oid, oid)) return fail(CRYPT_E_ASN1_CORRUPT);
            BOOL critical = FALSE;
            if (e.nextIf(der::Boolean, crit)) critical = crit.length == 1 && crit.value[0] ? TRUE : FALSE;
            if (!e.nextIf(der::OctetString, value)) return fail(CRYPT_E_ASN1_CORRUPT);
            data.oids.push_back(der::oidText(oid));
            data.extensions.push_back({data.oids.back().data(),
                                       critical,
                                       {static_cast<DWORD>(value.length), const_cast<BYTE*>(value.value)}});
        }
        if (!items.atEnd()) return fail(CRYPT_E_ASN1_CORRUPT);
    }
    info.cExtension = static_cast<DWORD>(data.extensions.size());
    info.rgExtension = data.extensions.empty() ? nullptr : data.extensions.data();
    certOut = cert;
    tbsOut = tbs;
    serialOut = serial;
    return true;
}

}  // namespace

CertCtx* contextOf(PCCERT_CONTEXT context) {
    auto* ctx = reinterpret_cast<CertCtx*>(const_cast<CERT_CONTEXT*>(context));
    if (!ctx || ctx->magic != CertCtx::kMagic) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return nullptr;
    }
    return ctx;
}

std::shared_ptr<const CertData> parseCertificate(const BYTE* der, size_t size) {
    if (!der || size == 0) {
        SetLastError(static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
        return nullptr;
    }
    auto data = std::make_shared<CertData>();
    data->der.assign(der, der + size);
    der::Tlv cert, tbs, serial;
    if (!readInfo(*data, cert, tbs, serial)) return nullptr;

    if (minimalInteger(serial.value, serial.length).size() != serial.length)
        data->openSslDer = normalised(cert, tbs, serial);
    SHA1(data->der.data(), data->der.size(), data->sha1.data());
    unsigned int mdLen = 0;
    EVP_Digest(data->der.data(), data->der.size(), data->md5.data(), &mdLen, EVP_md5(), nullptr);
    return data;
}

X509* CertData::x509() const {
    std::call_once(parsed_, [this] {
        const std::vector<BYTE>& bytes = openSslDer.empty() ? der : openSslDer;
        const unsigned char* p = bytes.data();
        x509_.reset(d2i_X509(nullptr, &p, static_cast<long>(bytes.size())));
        if (!x509_) ERR_clear_error();
    });
    return x509_.get();
}

CertCtx* newContext(std::shared_ptr<const CertData> data) {
    auto* ctx = new CertCtx;
    ctx->data = std::move(data);
    ctx->pub.dwCertEncodingType = X509_ASN_ENCODING;
    ctx->pub.pbCertEncoded = const_cast<BYTE*>(ctx->data->der.data());
    ctx->pub.cbCertEncoded = static_cast<DWORD>(ctx->data->der.size());
    ctx->pub.pCertInfo = const_cast<CERT_INFO*>(&ctx->data->info);
    ctx->pub.hCertStore = nullptr;
    return ctx;
}

CertCtx* addRef(CertCtx* ctx) {
    if (ctx) ctx->refs.fetch_add(1, std::memory_order_relaxed);
    return ctx;
}

void release(CertCtx* ctx) {
    if (ctx && ctx->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        ctx->magic = 0;
        delete ctx;
    }
}

std::vector<BYTE> serializeElement(const CertCtx& ctx) {
    Properties props;
    {
        std::lock_guard guard(ctx.lock);
        props = ctx.props;
    }
    return encodeElement(props, ctx.data->der);
}

bool persist(CertCtx& ctx) {
    if (!ctx.sink) return true;
    return ctx.sink->write(serializeElement(ctx), ctx.data->sha1);
}

}  // namespace orvik::crypt

extern "C" {

PCCERT_CONTEXT WINAPI CertCreateCertificateContext(DWORD encoding, const BYTE* encoded, DWORD size) {
    if ((encoding & X509_ASN_ENCODING) == 0) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return nullptr;
    }
    auto data = orvik::crypt::parseCertificate(encoded, size);
    if (!data) return nullptr;
    return &orvik::crypt::newContext(std::move(data))->pub;
}

PCCERT_CONTEXT WINAPI CertDuplicateCertificateContext(PCCERT_CONTEXT context) {
    if (!context) return nullptr;
    auto* ctx = orvik::crypt::contextOf(context);
    return ctx ? &orvik::crypt::addRef(ctx)->pub : nullptr;
}

BOOL WINAPI CertFreeCertificateContext(PCCERT_CONTEXT context) {
    if (!context) return TRUE;
    auto* ctx = orvik::crypt::contextOf(context);
    if (!ctx) return FALSE;
    orvik::crypt::release(ctx);
    return TRUE;
}

BOOL WINAPI CertCompareCertificate(DWORD, PCERT_INFO first, PCERT_INFO second) {
    if (!first || !second) return FALSE;
    auto same = [](const CRYPT_INTEGER_BLOB& a, const CRYPT_INTEGER_BLOB& b) {
        return a.cbData == b.cbData && (a.cbData == 0 || std::memcmp(a.pbData, b.pbData, a.cbData) == 0);
    };
    return same(first->SerialNumber, second->SerialNumber) && same(first->Issuer, second->Issuer) ? TRUE : FALSE;
}

}  // extern "C"
