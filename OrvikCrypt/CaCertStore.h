// The store of intermediate certification authorities, "CA"; for the authorities page, also the
// roots of "Root" and what the user distrusts in "Disallowed".
#pragma once

#include "CertStore.h"

class ORVIKCRYPT_API CCaCertStore : public CCertStore {
public:
    enum Scope {
        Intermediates,  // "CA" alone
        WithRoots,      // "CA", then the roots of "Root" and the authorities of "Disallowed" it lacks
    };
    explicit CCaCertStore(Scope scope = Intermediates) : scope_(scope) {}
    CCaCertStore(const CCaCertStore& other) = default;
    CCaCertStore& operator=(const CCaCertStore& other) = default;
    ~CCaCertStore() override;
    // With roots, each certificate is listed once, as the first store in that order holds it;
    // a Remove deletes that entry.
    int OpenCertStore() override;
    // One DER certificate file into "CA", replacing an equal one: Ok, FileError, NotACertificate,
    // or PlatformFailed.
    [[nodiscard]] Code ImportCert(const char* path);

private:
    Scope scope_;
};
