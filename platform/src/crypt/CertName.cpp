// CertNameToStrA and CertGetNameStringA.
#include <cstring>

#include <orvik/CodePage.h>
#include <winbase.h>
#include <wincrypt.h>

#include "CertContext.h"
#include "NameText.h"

using orvik::crypt::NameRdn;

namespace {

// Copies a text with the rule of both calls: the size with the NUL, a short area cut and
// still terminated.
DWORD copyText(const std::string& text, LPSTR out, DWORD size) {
    DWORD need = static_cast<DWORD>(text.size() + 1);
    if (!out || size == 0) return need;
    DWORD n = need <= size ? need - 1 : size - 1;
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
    return n + 1;
}

const char* kEmailOid = "1.2.840.113549.1.9.1";

std::string firstOf(const std::vector<NameRdn>& name, const char* oid) {
    for (const auto& rdn : name)
        for (const auto& atv : rdn)
            if (atv.oid == oid) return atv.value;
    return {};
}

bool hasAttr(const std::vector<NameRdn>& name, const char* oid) {
    for (const auto& rdn : name)
        for (const auto& atv : rdn)
            if (atv.oid == oid) return true;
    return false;
}

std::vector<std::string> altEmails(const CERT_INFO& info, bool issuer) {
    const char* oid = issuer ? szOID_ISSUER_ALT_NAME2 : szOID_SUBJECT_ALT_NAME2;
    for (DWORD i = 0; i < info.cExtension; ++i)
        if (!std::strcmp(info.rgExtension[i].pszObjId, oid))
            return orvik::crypt::rfc822Names(info.rgExtension[i].Value.pbData, info.rgExtension[i].Value.cbData);
    return {};
}

std::string simpleDisplay(const std::vector<NameRdn>& name, const CERT_INFO& info, bool issuer) {
    for (const char* oid : {"2.5.4.3", "2.5.4.11", "2.5.4.10", kEmailOid})
        if (hasAttr(name, oid)) return firstOf(name, oid);
    auto emails = altEmails(info, issuer);
    if (!emails.empty()) return emails.front();
    for (const auto& rdn : name)
        if (!rdn.empty()) return rdn.front().value;
    return {};
}

}  // namespace

extern "C" {

DWORD WINAPI CertNameToStrA(DWORD, PCERT_NAME_BLOB name, DWORD strType, LPSTR out, DWORD size) {
    std::vector<NameRdn> rdns;
    DWORD type = strType & 0xFFFF;
    if (!name || (type != CERT_SIMPLE_NAME_STR && type != CERT_OID_NAME_STR && type != CERT_X500_NAME_STR)) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return copyText("", out, size);
    }
    if (!orvik::crypt::parseName(name->pbData, name->cbData, rdns)) {
        SetLastError(static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT));
        return copyText("", out, size);
    }
    return copyText(orvik::crypt::nameToString(rdns, strType), out, size);
}

DWORD WINAPI CertGetNameStringA(PCCERT_CONTEXT context, DWORD type, DWORD flags, void* typePara, LPSTR out,
                                DWORD size) {
    auto* ctx = orvik::crypt::contextOf(context);
    if (!ctx) return copyText("", out, size);
    const CERT_INFO& info = *context->pCertInfo;
    bool issuer = flags & CERT_NAME_ISSUER_FLAG;
    const CERT_NAME_BLOB& blob = issuer ? info.Issuer : info.Subject;
    std::vector<NameRdn> name;
    orvik::crypt::parseName(blob.pbData, blob.cbData, name);
    std::string text;
    switch (type) {
    case CERT_NAME_EMAIL_TYPE: {
        auto emails = altEmails(info, issuer);
        text = emails.empty() ? firstOf(name, kEmailOid) : emails.front();
        break;
    }
    case CERT_NAME_SIMPLE_DISPLAY_TYPE: text = simpleDisplay(name, info, issuer); break;
    case CERT_NAME_FRIENDLY_DISPLAY_TYPE: {
        DWORD n = 0;
        if (!issuer && CertGetCertificateContextProperty(context, CERT_FRIENDLY_NAME_PROP_ID, nullptr, &n) && n >= 2) {
            std::u16string wide(n / 2, u'\0');
            CertGetCertificateContextProperty(context, CERT_FRIENDLY_NAME_PROP_ID, wide.data(), &n);
            text = orvik::utf16ToUtf8(std::u16string_view(wide.c_str()));
        }
        if (text.empty()) text = simpleDisplay(name, info, issuer);
        break;
    }
    case CERT_NAME_ATTR_TYPE:
        if (typePara) text = firstOf(name, static_cast<const char*>(typePara));
        break;
    case CERT_NAME_RDN_TYPE:
        text = orvik::crypt::nameToString(name, typePara ? *static_cast<DWORD*>(typePara) : CERT_X500_NAME_STR);
        break;
    default: SetLastError(ERROR_NOT_SUPPORTED); break;
    }
    return copyText(text, out, size);
}

}  // extern "C"
