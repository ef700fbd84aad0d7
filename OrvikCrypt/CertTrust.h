// Trust as the user's stores decide it, in the platform's model: the roots of "Root" anchor
// chains, the authorities of "CA" (and "Root") link them, and whatever "Disallowed" holds counts
// for nothing, whichever other store also keeps it. Also the user's two decisions on a
// certificate: trust it (a root into "Root", out of "Disallowed") and distrust it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "CertStore.h"
#include "DigitalCertificate.h"
#include "OrvikCryptApi.h"

class ORVIKCRYPT_API CCertTrust {
public:
    enum State {
        Trusted,     // chains to a root of "Root"; dates are not judged here
        Untrusted,   // chains to no trusted root (no issuer found, or a root not in "Root")
        Distrusted,  // the user distrusts it or an authority above it
    };

    // Reads "Root", "CA" and "Disallowed" now; one object serves any number of checks, also from
    // several threads at once.
    CCertTrust();
    ~CCertTrust();
    CCertTrust(const CCertTrust&) = delete;
    CCertTrust& operator=(const CCertTrust&) = delete;

    // `chain`, when given, receives the DER path from the certificate up to its root as far as it
    // was built (the certificate alone when no issuer was found).
    State Check(const CDigitalCertificate& certificate, std::vector<std::string>* chain = nullptr) const;
    bool IsDistrusted(const CDigitalCertificate& certificate) const;
    // In "Root" (distrusted or not).
    bool InRoot(const CDigitalCertificate& certificate) const;

    // A certificate that issued itself: a root.
    static bool IsRoot(const CDigitalCertificate& certificate);
    // An authority the deployment installed for every user (the machine's "Root" or "CA"), not
    // one the user brought: it may be distrusted but not deleted.
    static bool IsBuiltIn(const CDigitalCertificate& certificate);

    // Takes back a distrust and, for a root, puts it into the user's "Root". Ok; NothingDone when
    // an authority that is not a root was not distrusted (only a root can anchor trust);
    // PlatformFailed (logged) when a store refuses.
    static CCertStore::Code Trust(const CDigitalCertificate& certificate);
    // Puts the certificate into the user's "Disallowed"; what else holds it is left as it is, so
    // the decision is undone by Trust alone. Ok or PlatformFailed (logged).
    static CCertStore::Code Distrust(const CDigitalCertificate& certificate);

    // For orvikctl: "trusted", "untrusted", "distrusted".
    static const char* Words(State state);

private:
    struct Stores;
    std::unique_ptr<Stores> stores_;
};
