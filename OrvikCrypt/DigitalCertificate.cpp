#include "DigitalCertificate.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include <cryptuiapi.h>
#include <orvik/CodePage.h>
#include <orvik/AtomicFile.h>
#include <windows.h>

#include "Encodings.h"

namespace {

const char kPemBegin[] = "-----BEGIN CERTIFICATE-----\n";
const char kPemEnd[] = "\n-----END CERTIFICATE-----";

}  // namespace

CDigitalCertificate::CDigitalCertificate(PCCERT_CONTEXT context)
    : certificate(context ? CertDuplicateCertificateContext(context) : nullptr) {
    log.SetLogLevel(CSecLog::SEC_LOG_DEBUG);
}

CDigitalCertificate::CDigitalCertificate(const char* data, int length, CERT_ENCODING encoding) : certificate(nullptr) {
    log.SetLogLevel(CSecLog::SEC_LOG_DEBUG);
    if (!data) return;
    if (encoding == ENC_DER) {
        if (length > 0)
            certificate = CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(data),
                                                       static_cast<DWORD>(length));
    } else if (encoding == ENC_BASE64) {
        // The area is sized from the text, so a large certificate decodes whole.
        std::vector<char> der(static_cast<size_t>(base64DecodedCapacity(data)));
        int n = 0;
        base64decodingBounded(data, der.data(), static_cast<int>(der.size()), &n);
        if (n > 0)
            certificate = CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                                       static_cast<DWORD>(n));
    }
}

CDigitalCertificate::CDigitalCertificate(const CDigitalCertificate& other)
    : log(other.log), certificate(other.certificate ? CertDuplicateCertificateContext(other.certificate) : nullptr) {}

CDigitalCertificate& CDigitalCertificate::operator=(const CDigitalCertificate& other) {
    if (this == &other) return *this;
    PCCERT_CONTEXT copy = other.certificate ? CertDuplicateCertificateContext(other.certificate) : nullptr;
    if (certificate) CertFreeCertificateContext(certificate);
    certificate = copy;
    log = other.log;
    return *this;
}

CDigitalCertificate::~CDigitalCertificate() {
    if (certificate) CertFreeCertificateContext(certificate);
}

CDigitalCertificate::Code CDigitalCertificate::nameString(DWORD type, DWORD flags, std::string& out, int line) {
    // The size first, so no name is ever cut.
    DWORD size = CertGetNameStringA(certificate, type, flags, nullptr, nullptr, 0);
    if (size == 0) {
        log.Log(CSecLog::SEC_LOG_ERROR, line, __FILE__, "CertGetNameString Error: 0x%x", GetLastError());
        return PlatformFailed;
    }
    std::string text(size, '\0');
    CertGetNameStringA(certificate, type, flags, nullptr, text.data(), size);
    text.resize(std::strlen(text.c_str()));
    out = text;
    return Ok;
}

CDigitalCertificate::Code CDigitalCertificate::SysTimeToStr(const SYSTEMTIME& time, std::string& out) {
    char date[254];
    char clock[254];
    if (!GetDateFormatA(0, LOCALE_USE_CP_ACP, &time, "yyyy'-'MM'-'dd", date, sizeof date) ||
        !GetTimeFormatA(0, TIME_FORCE24HOURFORMAT, &time, "HH':'mm':'ss", clock, sizeof clock))
        return PlatformFailed;
    out = std::string(date) + " " + clock;
    return Ok;
}

CDigitalCertificate::Code CDigitalCertificate::timeText(const FILETIME& time, std::string& out) {
    FILETIME local{};
    SYSTEMTIME st{};
    if (!FileTimeToLocalFileTime(&time, &local) || !FileTimeToSystemTime(&local, &st)) {
        log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, __FILE__, "FileTimeToSystemTime Error: 0x%x", GetLastError());
        return PlatformFailed;
    }
    return SysTimeToStr(st, out);
}

CDigitalCertificate::Code CDigitalCertificate::GetCertInfo(const char* key, std::string& out) {
    if (!key) return UnknownKey;
    if (!certificate) return NothingDone;
    const CERT_INFO* info = certificate->pCertInfo;
    auto is = [key](const char* name) { return strcasecmp(key, name) == 0; };
    if (is("Version")) {
        out = std::to_string(info->dwVersion + 1);
        out.insert(out.begin(), 'V');
        return Ok;
    }
    if (is("IssuerName") || is("SubjectName")) {
        CERT_NAME_BLOB name = is("IssuerName") ? info->Issuer : info->Subject;
        const DWORD type = CERT_X500_NAME_STR;
        DWORD size = CertNameToStrA(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, &name, type, nullptr, 0);
        std::string text(size, '\0');
        CertNameToStrA(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, &name, type, text.data(), size);
        text.resize(std::strlen(text.c_str()));
        out = text;
        return Ok;
    }
    if (is("SerialNumber")) {
        // Least significant byte first. A negative number loses its redundant sign bytes; leading
        // zero bytes stay, because stored secure-file records carry this text.
        const BYTE* b = info->SerialNumber.pbData;
        int i = static_cast<int>(info->SerialNumber.cbData) - 1;
        if (i >= 0 && b[i] == 0xFF)
            while (i > 0 && b[i] == 0xFF && (b[i - 1] & 0x80)) --i;
        std::string text;
        char pair[4];
        for (; i >= 0; --i) {
            std::snprintf(pair, sizeof pair, "%02x", b[i]);
            text += pair;
        }
        out = text;
        return Ok;
    }
    if (is("CSP")) {
        DWORD size = 0;
        if (!CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) return Ok;
        std::vector<BYTE> buf(size);
        if (!CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &size)) {
            log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, __FILE__, "CertGetCertificateContextProperty Error: 0x%x",
                    GetLastError());
            return PlatformFailed;
        }
        const auto* prov = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buf.data());
        out = prov->pwszProvName ? orvik::utf16ToUtf8(prov->pwszProvName) : std::string();
        return Ok;
    }
    if (is("ValidFromDate")) return timeText(info->NotBefore, out);
    if (is("ValidToDate")) return timeText(info->NotAfter, out);
    if (is("SubjectEmail")) return nameString(CERT_NAME_EMAIL_TYPE, 0, out, __LINE__);
    if (is("SubjectCN")) return nameString(CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, out, __LINE__);
    if (is("IssuerEmail")) return nameString(CERT_NAME_EMAIL_TYPE, CERT_NAME_ISSUER_FLAG, out, __LINE__);
    if (is("IssuerCN")) return nameString(CERT_NAME_SIMPLE_DISPLAY_TYPE, CERT_NAME_ISSUER_FLAG, out, __LINE__);
    if (is("ThumbPrint")) {
        BYTE hash[20];
        DWORD size = sizeof hash;
        if (!CryptHashCertificate(0, 0, 0, certificate->pbCertEncoded, certificate->cbCertEncoded, hash, &size)) {
            log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, __FILE__, "CryptHashCertificate Error: 0x%x", GetLastError());
            return PlatformFailed;
        }
        char text[100];
        BinToThumb(reinterpret_cast<const char*>(hash), static_cast<int>(size), text, sizeof text);
        out = text;
        return Ok;
    }
    return UnknownKey;
}

CDigitalCertificate::Code CDigitalCertificate::getDisplayName(std::string& out) {
    if (!certificate) return NothingDone;
    return nameString(CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, out, __LINE__);
}

CDigitalCertificate::Code CDigitalCertificate::getSignatureAlgorithm(std::string& out) {
    if (!certificate) return NothingDone;
    return ConvAlgorithmToStr(certificate->pCertInfo->SignatureAlgorithm.pszObjId, out);
}

CDigitalCertificate::Code CDigitalCertificate::ConvAlgorithmToStr(const char* oid, std::string& out) {
    if (!oid) oid = "";
    if (!std::strcmp(oid, "1.2.840.113549.1.1.5")) {
        out = "sha1RSA";
    } else if (!std::strcmp(oid, "1.2.840.113549.1.1.4")) {
        out = "md5RSA";
    } else if (!std::strcmp(oid, "1.2.840.113549")) {
        out = "RSA";
    } else {
        out = oid;
    }
    return Ok;
}

CDigitalCertificate::Code CDigitalCertificate::getThumbPrint(CBBuffer* out) {
    if (!certificate || !out) return NothingDone;
    BYTE hash[20];
    DWORD size = sizeof hash;
    if (!CryptHashCertificate(0, 0, 0, certificate->pbCertEncoded, certificate->cbCertEncoded, hash, &size)) {
        log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, __FILE__, "CryptHashCertificate Error: 0x%x", GetLastError());
        return PlatformFailed;
    }
    out->AttachBuffer(reinterpret_cast<const char*>(hash), static_cast<int>(size));
    return Ok;
}

CDigitalCertificate::Code CDigitalCertificate::getFriendlyName(std::string& out) {
    if (!certificate) return NothingDone;
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(certificate, CERT_FRIENDLY_NAME_PROP_ID, nullptr, &size)) {
        DWORD error = GetLastError();
        // No friendly name is the usual case, not a failure worth a log line.
        if (error == static_cast<DWORD>(CRYPT_E_NOT_FOUND)) return Ok;
        log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, __FILE__, "CertGetCertificateContextProperty Error: 0x%x", error);
        return PlatformFailed;
    }
    std::u16string wide(size / 2 + 1, u'\0');
    if (!CertGetCertificateContextProperty(certificate, CERT_FRIENDLY_NAME_PROP_ID, wide.data(), &size)) {
        log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, __FILE__, "CertGetCertificateContextProperty Error: 0x%x",
                GetLastError());
        return PlatformFailed;
    }
    out = orvik::utf16ToUtf8(std::u16string_view(wide.c_str()));
    return Ok;
}

CDigitalCertificate::Code CDigitalCertificate::setFriendlyName(std::string& name) {
    if (!certificate) return NothingDone;
    BOOL ok = FALSE;
    if (name.empty()) {
        ok = CertSetCertificateContextProperty(certificate, CERT_FRIENDLY_NAME_PROP_ID, 0, nullptr);
    } else {
        std::u16string wide = orvik::utf8ToUtf16(name);
        CRYPT_DATA_BLOB blob{static_cast<DWORD>((wide.size() + 1) * 2),
                             reinterpret_cast<BYTE*>(const_cast<char16_t*>(wide.c_str()))};
        ok = CertSetCertificateContextProperty(certificate, CERT_FRIENDLY_NAME_PROP_ID, 0, &blob);
    }
    if (!ok) {
        log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, __FILE__, "CertSetCertificateContextProperty Error: 0x%x",
                GetLastError());
        return PlatformFailed;
    }
    return Ok;
}

int CDigitalCertificate::keyUsageBit(unsigned char bit) {
    if (!certificate) return 1;
    const CERT_INFO* info = certificate->pCertInfo;
    if (info->cExtension == 0) return 1;
    PCERT_EXTENSION ext = CertFindExtension(szOID_KEY_USAGE, info->cExtension, info->rgExtension);
    if (!ext) return 1;
    // Decoded into an area of exactly the size the platform asks for.
    DWORD size = 0;
    if (!CryptDecodeObject(X509_ASN_ENCODING, X509_KEY_USAGE, ext->Value.pbData, ext->Value.cbData,
                           CRYPT_DECODE_NOCOPY_FLAG, nullptr, &size))
        return 1;
    std::vector<BYTE> area(size);
    if (!CryptDecodeObject(X509_ASN_ENCODING, X509_KEY_USAGE, ext->Value.pbData, ext->Value.cbData,
                           CRYPT_DECODE_NOCOPY_FLAG, area.data(), &size))
        return 1;
    const auto* bits = reinterpret_cast<const CRYPT_BIT_BLOB*>(area.data());
    if (bits->cbData == 0) return 1;
    return (bits->pbData[0] & bit) ? 1 : 0;
}

int CDigitalCertificate::isCryptUse() { return keyUsageBit(CERT_KEY_ENCIPHERMENT_KEY_USAGE); }

int CDigitalCertificate::isSignUse() { return keyUsageBit(CERT_DIGITAL_SIGNATURE_KEY_USAGE); }

CDigitalCertificate::Code CDigitalCertificate::CRLCheck(std::string& status, bool online) {
    if (!certificate) {
        status = "错误";
        return RevocationFailed;
    }
    CERT_REVOCATION_STATUS result{};
    result.cbSize = sizeof result;
    void* contexts[] = {const_cast<CERT_CONTEXT*>(certificate)};
    if (CertVerifyRevocation(X509_ASN_ENCODING, CERT_CONTEXT_REVOCATION_TYPE, 1, contexts,
                             online ? 0 : CERT_VERIFY_CACHE_ONLY_BASED_REVOCATION, nullptr, &result)) {
        status = "有效";
        return Ok;
    }
    DWORD error = GetLastError();
    // A refresh checks every certificate of a store: answers that are part of a normal day (no
    // list, nothing cached yet) stay out of the log, or they would soon rotate the real errors out.
    CSecLog::SEC_LOG_TYPE level = CSecLog::SEC_LOG_ERROR;
    switch (error) {
    case static_cast<DWORD>(CRYPT_E_NO_REVOCATION_CHECK): level = CSecLog::SEC_LOG_NONE; break;
    case static_cast<DWORD>(CRYPT_E_REVOCATION_OFFLINE):
        level = online ? CSecLog::SEC_LOG_WARNING : CSecLog::SEC_LOG_NONE;
        break;
    case static_cast<DWORD>(CRYPT_E_REVOKED): level = CSecLog::SEC_LOG_INFO; break;
    default: break;
    }
    if (level != CSecLog::SEC_LOG_NONE)
        log.Log(level, __LINE__, __FILE__, "CertVerifyRevocation Error: 0x%x", static_cast<unsigned>(error));
    switch (error) {
    case static_cast<DWORD>(CRYPT_E_REVOKED): status = "已吊销"; return Revoked;
    case static_cast<DWORD>(CRYPT_E_REVOCATION_OFFLINE): status = "未知"; return RevocationUnknown;
    case static_cast<DWORD>(CRYPT_E_NO_REVOCATION_CHECK): status = "无CRL"; return NoCrl;
    default: status = "错误"; return RevocationFailed;
    }
}

std::unique_ptr<CDigitalCertificate> CDigitalCertificate::FromFileBytes(const std::string& bytes) {
    auto cert = std::make_unique<CDigitalCertificate>(bytes.data(), static_cast<int>(bytes.size()), ENC_DER);
    if (cert->getPCCERT()) return cert;
    std::string text = bytes;
    const std::string begin = "-----BEGIN CERTIFICATE-----", end = "-----END CERTIFICATE-----";
    size_t b = text.find(begin);
    if (b != std::string::npos) {
        size_t e = text.find(end, b);
        text = text.substr(b + begin.size(), e == std::string::npos ? std::string::npos : e - b - begin.size());
    }
    cert = std::make_unique<CDigitalCertificate>(text.c_str(), 0, ENC_BASE64);
    if (cert->getPCCERT()) return cert;
    return nullptr;
}

int CDigitalCertificate::isLocalTimeValid() {
    if (!certificate) return 0;
    // Times, not their local texts: 9999-12-31 23:59:59Z reads "10000-..." east of UTC.
    SYSTEMTIME utc{};
    FILETIME now{};
    GetSystemTime(&utc);
    utc.wMilliseconds = 0;  // whole seconds, as the certificate's times
    if (!SystemTimeToFileTime(&utc, &now)) return 0;
    auto ticks = [](const FILETIME& t) { return static_cast<uint64_t>(t.dwHighDateTime) << 32 | t.dwLowDateTime; };
    const CERT_INFO* info = certificate->pCertInfo;
    return ticks(info->NotBefore) < ticks(now) && ticks(now) < ticks(info->NotAfter) ? 1 : 0;
}

CDigitalCertificate::Code CDigitalCertificate::SignMessage(CBBuffer& content, CBBuffer& signature) {
    if (!certificate) return Failed;
    CRYPT_SIGN_MESSAGE_PARA para{};
    para.cbSize = sizeof para;
    para.dwMsgEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    para.pSigningCert = certificate;
    para.HashAlgorithm.pszObjId = const_cast<char*>(szOID_RSA_MD5);
    PCCERT_CONTEXT included[] = {certificate};
    para.cMsgCert = 1;
    para.rgpMsgCert = included;
    const BYTE* parts[] = {content.GetBuffer()};
    DWORD sizes[] = {static_cast<DWORD>(content.size())};
    DWORD size = 0;
    if (!CryptSignMessage(&para, TRUE, 1, parts, sizes, nullptr, &size) || size == 0) {
        // The caller may word the reason (a token's PIN, say): the log must not overwrite it.
        const DWORD error = GetLastError();
        log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, __FILE__, "CryptSignMessage Error: 0x%x", error);
        SetLastError(error);
        return Failed;
    }
    signature.resize(static_cast<int>(size));
    if (!CryptSignMessage(&para, TRUE, 1, parts, sizes, signature.GetBuffer(), &size)) {
        log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, __FILE__, "CryptSignMessage Error: 0x%x", GetLastError());
        return Failed;
    }
    signature.resize(static_cast<int>(size));
    return Ok;
}

CDigitalCertificate* CDigitalCertificate::VerifyMessage(CBBuffer& content, CBBuffer& signature) {
    CRYPT_VERIFY_MESSAGE_PARA para{};
    para.cbSize = sizeof para;
    para.dwMsgAndCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    const BYTE* parts[] = {content.GetBuffer()};
    DWORD sizes[] = {static_cast<DWORD>(content.size())};
    PCCERT_CONTEXT signer = nullptr;
    if (!CryptVerifyDetachedMessageSignature(&para, 0, signature.GetBuffer(), static_cast<DWORD>(signature.size()), 1,
                                             parts, sizes, &signer) ||
        !signer)
        return nullptr;
    auto* result = new CDigitalCertificate(signer);
    CertFreeCertificateContext(signer);
    return result;
}

std::string CDigitalCertificate::Encoded(CERT_ENCODING encoding) const {
    if (!certificate) return {};
    std::string der(reinterpret_cast<const char*>(certificate->pbCertEncoded), certificate->cbCertEncoded);
    if (encoding == ENC_DER) return der;
    std::string text = base64Encode(der);
    if (encoding == ENC_BASE64) return text;
    std::string pem;
    pem.reserve(sizeof kPemBegin + text.size() + sizeof kPemEnd);
    pem.append(kPemBegin).append(text).append(kPemEnd);
    return pem;
}

int CDigitalCertificate::GetEncodedCert(CERT_ENCODING encoding, char* out, int& length) {
    if (!certificate || !out) return 1;
    std::string bytes = Encoded(encoding);
    const bool text = encoding != ENC_DER;
    // The text forms need their NUL too; nothing is written into an area that is too small.
    if (length < static_cast<int>(bytes.size()) + (text ? 1 : 0)) return 1;
    std::memcpy(out, bytes.data(), bytes.size());
    if (text) out[bytes.size()] = '\0';
    length = static_cast<int>(bytes.size());
    return 1;
}

CDigitalCertificate::Code CDigitalCertificate::ExportDerFile(const char* path) {
    if (!certificate) return NothingDone;
    if (!path) return FileError;
    // Whole or not at all: a cut file must not pass for the certificate.
    const std::string_view der(reinterpret_cast<const char*>(certificate->pbCertEncoded), certificate->cbCertEncoded);
    return orvik::writeFileAtomically(path, der, 0644) ? Ok : FileError;
}

CDigitalCertificate::Code CDigitalCertificate::Display() {
    if (!certificate) return Failed;
    if (!CryptUIDlgViewContext(CERT_STORE_CERTIFICATE_CONTEXT, certificate, nullptr, nullptr, 0, nullptr)) {
        log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, __FILE__, "CryptUIDlgViewContext Error: 0x%x", GetLastError());
        return Failed;
    }
    return Ok;
}
