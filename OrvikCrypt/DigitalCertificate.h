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
    // platform fails. `out` is changed only on success.
    int GetCertInfo(const char* key, std::string& out);
    int getVersion(std::string& out) { return GetCertInfo("Version", out); }
    int getSerialNumber(std::string& out) { return GetCertInfo("SerialNumber", out); }
    int getSubjectName(std::string& out) { return GetCertInfo("SubjectName", out); }
    int getIssuerName(std::string& out) { return GetCertInfo("IssuerName", out); }
    int getValidFromDate(std::string& out) { return GetCertInfo("ValidFromDate", out); }
    int getValidToDate(std::string& out) { return GetCertInfo("ValidToDate", out); }
    int getThumbPrint(std::string& out) { return GetCertInfo("ThumbPrint", out); }
    int getEmail(std::string& out) { return GetCertInfo("SubjectEmail", out); }
    int getCSP(std::string& out) { return GetCertInfo("CSP", out); }
    int getIssuerCN(std::string& out) { return GetCertInfo("IssuerCN", out); }
    int getDisplayName(std::string& out);
    int getSignatureAlgorithm(std::string& out);
    static int ConvAlgorithmToStr(const char* oid, std::string& out);

    // Appends the raw 20-byte SHA-1 of the DER.
    int getThumbPrint(CBBuffer* out);
    int getFriendlyName(std::string& out);
    int setFriendlyName(std::string& name);

    // 1 when the key may encrypt (keyEncipherment) / sign (digitalSignature), or is unrestricted.
    int isCryptUse();
    int isSignUse();

    // "有效" 0, "已吊销" 9, "未知" 10, "错误" 11, "无CRL" 12.
    int CRLCheck(std::string& status, bool online);
    int isLocalTimeValid();

    // Detached PKCS #7 signature with MD5 and the certificate's private key; 0 or -1.
    int SignMessage(CBBuffer& content, CBBuffer& signature);
    // The signer of a valid detached signature, owned by the caller; null otherwise.
    static CDigitalCertificate* VerifyMessage(CBBuffer& content, CBBuffer& signature);

    // On entry `length` is the capacity of `out`; it changes only when the form was written.
    int GetEncodedCert(CERT_ENCODING encoding, char* out, int& length);
    int ExportDerFile(const char* path);
    // The platform's certificate viewer; 0 or -1.
    int Display();

    // The form as a string, for callers without fixed areas; empty without a certificate.
    std::string Encoded(CERT_ENCODING encoding) const;

private:
    int SysTimeToStr(const SYSTEMTIME& time, std::string& out);
    int nameString(DWORD type, DWORD flags, std::string& out, int line);
    int timeText(const FILETIME& time, std::string& out);
    int keyUsageBit(unsigned char bit);

    CSecLog log;
    PCCERT_CONTEXT certificate;
};
