// One contact of a Foxmail address book: the fields of its index record, its addresses and its
// certificates from the data block, and the rest of the block kept byte for byte.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "DigitalCertificate.h"
#include "OrvikCryptApi.h"

class ORVIKCRYPT_API CFoxContact {
public:
    // One stored certificate: its grouped-thumbprint key and its PEM text as stored (continuation
    // breaks included), or, for an entry that does not decode, the entry's bytes to keep as they are.
    struct StoredCert {
        std::string key;
        std::string pem;
        std::string verbatim;
    };

    CFoxContact();
    CFoxContact(const CFoxContact& other) = default;
    CFoxContact& operator=(const CFoxContact& other) = default;
    virtual ~CFoxContact();

    // Reads the data block (without its marker): addresses, certificates, and the other fields.
    void ParseBlock(const std::string& block);
    // The block as saved: "Emails:", "Certificates:", then the other fields unchanged.
    std::string BuildBlock() const;

    // The stored certificates that decode, in stored order (the first is the default); the
    // caller owns them.
    std::vector<std::unique_ptr<CDigitalCertificate>> getCerts() const;
    // The certificates become `certificates`, in that order, keyed by their grouped thumbprints;
    // stored entries that never decoded stay after them, as they were.
    void setCerts(const std::vector<CDigitalCertificate*>& certificates);

    // "3F1A 2B3C ...": the SHA-1 thumbprint in upper-case hexadecimal, a blank after every four
    // digits (49 characters); empty for null.
    static std::string GroupedThumbprint(CDigitalCertificate* certificate);

    // Record fields; text in UTF-8.
    std::string name;
    std::string email;
    char certMarker = 0;
    std::string recordPosition;  // decimal: the index file offset just after the record
    std::string indexPath;
    std::string dataPath;
    std::vector<std::string> emails;
    int defaultEmail = 0;
    std::vector<StoredCert> certs;

private:
    std::string otherFields;  // every field but "Emails:" and "Certificates:", as it was
};
