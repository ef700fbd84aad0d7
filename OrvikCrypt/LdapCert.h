// Certificates of correspondents from the authority's public LDAP directories.
#pragma once

#include <string>
#include <vector>

#include "DigitalCertificate.h"
#include "OrvikCryptApi.h"

class ORVIKCRYPT_API CLdapCert {
public:
    // No connection to the host could be set up (unresolvable, refused, or silent past the time-outs).
    enum { kNoConnection = 21 };

    virtual ~CLdapCert();

    // Searches host ("name" or "name:port", 389 otherwise) anonymously for entries whose cn
    // contains name and whose mail contains email (an empty one is left out of the filter), and
    // appends every certificate of their "userCertificate;binary" values to out; the caller owns
    // and deletes them. 0 when the search was made (also when nothing matched, or when both name
    // and email are empty: then nothing is asked), kNoConnection, or the directory's error code of
    // a failed bind or search.
    int getUserCertificates(const char* host, const char* name, const char* email,
                            std::vector<CDigitalCertificate*>& out);

    // The deployment's directory hosts in the order they are searched: host 2, then host 1.
    static std::vector<std::string> directoryHosts();

private:
    // The deployment's directory values, read at the first lookup of this object: a run of
    // lookups sees one set of them, and does not read the registry for each.
    struct Settings {
        std::string host1, base;
        unsigned long connectTimeout = 0, timeout = 0;
        int sizeLimit = 0;
    };
    const Settings& settings();

    Settings settings_;
    bool loaded_ = false;
};
