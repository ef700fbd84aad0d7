// Certificates as DER, PEM and Base64, and every field the assistant shows of them.
#include <cstdint>
#include <string>

#include <DigitalCertificate.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 20) return 0;
    static const char* const fields[] = {"SubjectName", "IssuerName",    "SubjectCN",    "SerialNumber",
                                         "ThumbPrint",  "ValidFromDate", "ValidToDate",  "Email",
                                         "Version",     "KeyUsage",      "SubjectKeyID", "CRLDistPoint"};
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (auto encoding :
         {CDigitalCertificate::ENC_DER, CDigitalCertificate::ENC_PEM, CDigitalCertificate::ENC_BASE64}) {
        CDigitalCertificate cert(text.c_str(), static_cast<int>(size), encoding);
        if (!cert.getPCCERT()) continue;
        std::string out;
        for (const char* field : fields) cert.GetCertInfo(field, out);
        cert.getEmail(out);
        cert.getFriendlyName(out);
        cert.isSignUse();
        cert.isCryptUse();
    }
    return 0;
}
