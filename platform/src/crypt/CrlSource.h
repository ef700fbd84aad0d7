// Certificate revocation lists: fetched over HTTP(S) and kept in a per-user cache keyed by URL.
// A cached list is parsed once per version of its file and its signature checked once per
// issuer, so a refresh of many certificates against one large list pays for it once.
#pragma once

#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Ossl.h"

namespace orvik::crypt {

// One parsed list, shared by the checks of every certificate it covers.
class CachedCrl {
public:
    CachedCrl(ossl::X509CrlPtr crl, time_t storedAt);
    CachedCrl(const CachedCrl&) = delete;
    CachedCrl& operator=(const CachedCrl&) = delete;

    // Read-only for the callers: its entries are sorted before it is shared, so lookups from
    // several threads never write to it.
    X509_CRL* get() const { return crl_.get(); }
    // When this copy was downloaded (the cached file's modification time).
    time_t storedAt() const { return storedAt_; }
    // Whether the list names `issuer` as its issuer and that certificate's key verifies its
    // signature; the answer is kept for that issuer.
    bool signedBy(X509* issuer) const;

private:
    ossl::X509CrlPtr crl_;
    time_t storedAt_;
    mutable std::mutex lock_;
    mutable std::vector<std::pair<ossl::X509Ptr, bool>> checked_;
};

class CrlSource {
public:
    // The cached list of a URL, or null. Parsed again only when its file has changed.
    static std::shared_ptr<const CachedCrl> cached(const std::string& url);
    // Downloads a CRL (http and https only; 10 s to connect, 15 s in all, 16 MiB at most) and
    // parses it (DER, or PEM). Null when the server cannot be reached or sends no CRL.
    static ossl::X509CrlPtr fetch(const std::string& url);
    // Replaces the cached copy atomically; until the file changes again, cached() returns this
    // very list, with what it knows of its signature.
    static bool store(const std::string& url, const std::shared_ptr<const CachedCrl>& list);
    // Whether this URL was already fetched, successfully or not, in the last minute: one refresh
    // of a long list must not fetch the same list once per certificate.
    static bool recentlyFetched(const std::string& url);
    // Held while a URL's list is fetched and stored: checks on other threads wait for that list
    // instead of finding it "recently fetched" and not yet there.
    static std::unique_lock<std::mutex> fetchLock(const std::string& url);
};

}  // namespace orvik::crypt
