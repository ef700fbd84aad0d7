// One X.509 certificate of the platform's certificate service, with its fields as text, key
// usage, revocation, detached signatures and its DER, PEM and Base64 forms.
#pragma once

#include <memory>
#include <string>

#include <winbase.h>
#include <wincrypt.h>

#include "BBuffer.h"
#include "OrvikCryptApi.h"
#include "SecLog.h"

class CKeyUsage;

class ORVIKCRYPT_API CDigitalCertificate {
public:
    enum CERT_ENCODING { ENC_DER = 0, ENC_PEM = 1, ENC_BASE64 = 2 };

    // Result codes, shared with the certificate stores.
    enum Code : int {
        Failed = -1,  // SignMessage, Display
        Ok = 0,
        NothingDone = 1,     // no certificate, or no memory
        UnknownKey = 2,      // GetCertInfo's key names no field
        FileError = 3,       // a file cannot be opened or created
        PlatformFailed = 4,  // logged
        Revoked = 9,         // the revocation states of CRLCheck
        RevocationUnknown = 10,
        RevocationFailed = 11,
        NoCrl = 12,
    };

    // Takes its own reference on the context; the caller keeps and releases its own.
    explicit CDigitalCertificate(PCCERT_CONTEXT context);
    // DER bytes, or a NUL-terminated Base64 text (length unused). PEM is not taken; bytes that
    // are not a certificate give an object without one (getPCCERT() is null).
    CDigitalCertificate(const char* data, int length, CERT_ENCODING encoding);
    // The certificate of a file's bytes in DER, PEM or bare Base64; null when they hold none.
    static std::unique_ptr<CDigitalCertificate> FromFileBytes(const std::string& bytes);
    CDigitalCertificate(const CDigitalCertificate& other);
    CDigitalCertificate& operator=(const CDigitalCertificate& other);
    virtual ~CDigitalCertificate();

    const CERT_CONTEXT* getPCCERT() const { return certificate; }
    CKeyUsage* getKeyUsage() { return nullptr; }

    // Field by key ("Version", "IssuerName", "SubjectName", "SerialNumber", "CSP",
    // "ValidFromDate", "ValidToDate", "SubjectEmail", "SubjectCN", "IssuerEmail", "IssuerCN",
    // "ThumbPrint"; any case). 0, 1 without a certificate, 2 for an unknown key, 4 when the
    // platform fails. `out` is changed only on success, so a caller that only shows the text may
    // leave the code unread; these getters alone are not [[nodiscard]].
    Code GetCertInfo(const char* key, std::string& out);
    Code getVersion(std::string& out) { return GetCertInfo("Version", out); }
    Code getSerialNumber(std::string& out) { return GetCertInfo("SerialNumber", out); }
    Code getSubjectName(std::string& out) { return GetCertInfo("SubjectName", out); }
    Code getIssuerName(std::string& out) { return GetCertInfo("IssuerName", out); }
    Code getValidFromDate(std::string& out) { return GetCertInfo("ValidFromDate", out); }
    Code getValidToDate(std::string& out) { return GetCertInfo("ValidToDate", out); }
    Code getThumbPrint(std::string& out) { return GetCertInfo("ThumbPrint", out); }
    Code getEmail(std::string& out) { return GetCertInfo("SubjectEmail", out); }
    Code getCSP(std::string& out) { return GetCertInfo("CSP", out); }
    Code getIssuerCN(std::string& out) { return GetCertInfo("IssuerCN", out); }
    Code getDisplayName(std::string& out);
    Code getSignatureAlgorithm(std::string& out);
    static Code ConvAlgorithmToStr(const char* oid, std::string& out);  // always Ok

    // Appends the raw 20-byte SHA-1 of the DER.
    Code getThumbPrint(CBBuffer* out);
    Code getFriendlyName(std::string& out);
    [[nodiscard]] Code setFriendlyName(std::string& name);

    // 1 when the key may encrypt (keyEncipherment) / sign (digitalSignature), or is unrestricted.
    int isCryptUse();
    int isSignUse();

    // "有效" Ok, "已吊销" Revoked, "未知" RevocationUnknown, "错误" RevocationFailed, "无CRL" NoCrl.
    [[nodiscard]] Code CRLCheck(std::string& status, bool online);
    int isLocalTimeValid();

    // Detached PKCS #7 signature with MD5 and the certificate's private key; Ok or Failed.
    [[nodiscard]] Code SignMessage(CBBuffer& content, CBBuffer& signature);
    // The signer of a valid detached signature, owned by the caller; null otherwise.
    static CDigitalCertificate* VerifyMessage(CBBuffer& content, CBBuffer& signature);

    // On entry `length` is the capacity of `out`; it changes only when the form was written.
    int GetEncodedCert(CERT_ENCODING encoding, char* out, int& length);
    [[nodiscard]] Code ExportDerFile(const char* path);
    // The platform's certificate viewer; Ok or Failed (logged: a viewer that does not open is
    // seen by the user, so callers may leave the code unread).
    Code Display();

    // The form as a string, for callers without fixed areas; empty without a certificate.
    std::string Encoded(CERT_ENCODING encoding) const;

private:
    Code SysTimeToStr(const SYSTEMTIME& time, std::string& out);
    Code nameString(DWORD type, DWORD flags, std::string& out, int line);
    Code timeText(const FILETIME& time, std::string& out);
    int keyUsageBit(unsigned char bit);

    CSecLog log;
    PCCERT_CONTEXT certificate;
};
