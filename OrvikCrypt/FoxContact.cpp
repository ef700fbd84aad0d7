#include "FoxContact.h"

#include <cctype>

#include "BBuffer.h"
#include "Encodings.h"

namespace {

constexpr const char* kBegin = "-----BEGIN CERTIFICATE-----";
constexpr const char* kEnd = "-----END CERTIFICATE-----";
// Further values of a field, and the lines of a stored PEM text, start after this break.
constexpr const char* kContinuation = "\r\n ";

std::string trimmed(const std::string& s) {
    size_t first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

// The fields of a block: each runs to the CR LF that no blank follows.
std::vector<std::string> fieldsOf(const std::string& block) {
    std::vector<std::string> fields;
    size_t pos = 0;
    while (pos < block.size()) {
        size_t end = pos;
        for (;;) {
            size_t nl = block.find("\r\n", end);
            if (nl == std::string::npos) {
                end = block.size();
                break;
            }
            end = nl + 2;
            if (end >= block.size() || block[end] != ' ') break;
        }
        fields.push_back(block.substr(pos, end - pos));
        pos = end;
    }
    return fields;
}

std::string labelOf(const std::string& field) {
    size_t colon = field.find(':');
    size_t nl = field.find("\r\n");
    return colon == std::string::npos || colon > nl ? std::string() : field.substr(0, colon);
}

// The DER of a stored PEM text: the armour off, every break and blank dropped, Base64 decoded.
std::string derOf(const std::string& pem) {
    size_t begin = pem.find(kBegin), end = pem.find(kEnd);
    if (begin == std::string::npos || end == std::string::npos || end < begin) return {};
    std::string body;
    for (size_t i = begin + std::string(kBegin).size(); i < end; ++i) {
        unsigned char c = static_cast<unsigned char>(pem[i]);
        if (std::isalnum(c) || c == '+' || c == '/' || c == '=')
            body += static_cast<char>(c);
        else if (c != ' ' && c != '\r' && c != '\n' && c != '\t')
            return {};
    }
    if (body.empty()) return {};
    std::string der(static_cast<size_t>(base64DecodedCapacity(body.c_str())), '\0');
    int length = 0;
    if (base64decodingBounded(body.c_str(), der.data(), static_cast<int>(der.size()), &length) != 1) return {};
    der.resize(static_cast<size_t>(length));
    return der;
}

std::unique_ptr<CDigitalCertificate> certificateOf(const std::string& pem) {
    std::string der = derOf(pem);
    if (der.empty()) return nullptr;
    auto certificate =
        std::make_unique<CDigitalCertificate>(der.data(), static_cast<int>(der.size()), CDigitalCertificate::ENC_DER);
    return certificate->getPCCERT() ? std::move(certificate) : nullptr;
}

// PEM lines joined with continuation breaks, as the data block keeps them.
std::string storedPem(CDigitalCertificate* certificate) {
    std::string der = certificate->Encoded(CDigitalCertificate::ENC_DER);
    std::string base64(der.size() * 4 / 3 + 8, '\0');
    int length = 0;
    base64encoding(der.data(), static_cast<unsigned>(der.size()), base64.data(), &length);
    base64.resize(static_cast<size_t>(length));
    std::string pem = kBegin;
    for (size_t i = 0; i < base64.size(); i += 64) pem += kContinuation + base64.substr(i, 64);
    return pem + kContinuation + kEnd;
}

}  // namespace

CFoxContact::CFoxContact() = default;

CFoxContact::~CFoxContact() = default;

std::string CFoxContact::GroupedThumbprint(CDigitalCertificate* certificate) {
    if (!certificate) return {};
    CBBuffer thumb;
    if (certificate->getThumbPrint(&thumb) != 0) return {};
    static const char* hex = "0123456789ABCDEF";
    std::string text;
    for (int i = 0; i < thumb.size(); ++i) {
        if (i > 0 && i % 2 == 0) text += ' ';
        text += hex[thumb.GetBuffer()[i] >> 4];
        text += hex[thumb.GetBuffer()[i] & 15];
    }
    return text;
}

void CFoxContact::ParseBlock(const std::string& block) {
    emails.clear();
    certs.clear();
    otherFields.clear();
    for (const std::string& field : fieldsOf(block)) {
        const std::string label = labelOf(field);
        if (label == "Emails") {
            std::string rest = field.substr(label.size() + 1);
            size_t pos = 0;
            while (pos <= rest.size()) {
                size_t next = rest.find(kContinuation, pos);
                std::string value =
                    trimmed(rest.substr(pos, next == std::string::npos ? std::string::npos : next - pos));
                if (!value.empty()) emails.push_back(value);
                if (next == std::string::npos) break;
                pos = next + 3;
            }
        } else if (label == "Certificates") {
            // Each entry is its key, ": " and the PEM text, up to its END line.
            size_t pos = label.size() + 1;
            for (;;) {
                size_t begin = field.find(kBegin, pos);
                if (begin == std::string::npos) break;
                size_t end = field.find(kEnd, begin);
                if (end == std::string::npos) break;
                end += std::string(kEnd).size();
                size_t lineStart = field.rfind(kContinuation, begin);
                lineStart = lineStart == std::string::npos || lineStart < pos ? pos : lineStart + 3;
                std::string head = field.substr(lineStart, begin - lineStart);
                StoredCert stored;
                if (head.size() >= 2 && head.compare(head.size() - 2, 2, ": ") == 0) {
                    stored.key = trimmed(head.substr(0, head.size() - 2));
                    stored.pem = field.substr(begin, end - begin);
                }
                if (stored.key.empty() || !certificateOf(stored.pem)) {
                    stored = StoredCert{};
                    stored.verbatim = trimmed(field.substr(lineStart, end - lineStart));
                }
                certs.push_back(std::move(stored));
                pos = end;
            }
        } else {
            otherFields += field;
        }
    }
}

std::string CFoxContact::BuildBlock() const {
    std::string block = "Emails:";
    for (const std::string& address : emails) block += " " + address + "\r\n";
    if (emails.empty()) block += "\r\n";
    block += "Certificates:";
    bool any = false;
    for (const StoredCert& c : certs) {
        block += " " + (c.verbatim.empty() ? c.key + ": " + c.pem : c.verbatim) + "\r\n";
        any = true;
    }
    if (!any) block += "\r\n";
    return block + otherFields;
}

std::vector<std::unique_ptr<CDigitalCertificate>> CFoxContact::getCerts() const {
    std::vector<std::unique_ptr<CDigitalCertificate>> out;
    for (const StoredCert& c : certs)
        if (c.verbatim.empty())
            if (auto certificate = certificateOf(c.pem)) out.push_back(std::move(certificate));
    return out;
}

void CFoxContact::setCerts(const std::vector<CDigitalCertificate*>& certificates) {
    std::vector<StoredCert> kept;
    for (const StoredCert& c : certs)
        if (!c.verbatim.empty()) kept.push_back(c);
    certs.clear();
    for (CDigitalCertificate* certificate : certificates) {
        if (!certificate || !certificate->getPCCERT()) continue;
        certs.push_back({GroupedThumbprint(certificate), storedPem(certificate), {}});
    }
    certs.insert(certs.end(), kept.begin(), kept.end());
}
