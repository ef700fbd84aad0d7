// Certificate revocation lists: fetched over HTTP(S) and kept in a per-user cache keyed by URL.
#pragma once

#include <string>

#include "Ossl.h"

namespace orvik::crypt {

class CrlSource {
public:
    // The cached CRL of a URL, or null.
    static ossl::X509CrlPtr cached(const std::string& url);
    // Downloads a CRL (http and https only; 10 s to connect, 15 s in all, 16 MiB at most) and
    // parses it (DER, or PEM). Null when the server cannot be reached or sends no CRL.
    static ossl::X509CrlPtr fetch(const std::string& url);
    // Replaces the cached copy atomically.
    static bool store(const std::string& url, X509_CRL* crl);
    // Whether this URL was already fetched, successfully or not, in the last minute: one refresh
    // of a long list must not fetch the same list once per certificate.
    static bool recentlyFetched(const std::string& url);
};

}  // namespace orvik::crypt
