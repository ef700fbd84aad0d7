// A real slapd on 127.0.0.1 for directory tests: a generated slapd.conf (core, cosine and
// inetorgperson schemas, an mdb database), filled with slapadd before it starts, stopped by its
// pid file. With a server certificate it also serves TLS: ldaps on tlsPort() and StartTLS on port().
// Also a port that refuses connections and one that accepts them and never answers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "TempHome.h"

namespace orvik::test {

struct DirectoryEntry {
    std::string cn{};
    std::string mail{};                       // left out when empty
    std::vector<std::string> certificates{};  // DER values of userCertificate;binary, in order
};

struct SlapdOptions {
    std::string suffix = "dc=orvikon,dc=test";  // must begin with "dc="
    // Answer searches with an empty base from the suffix, as a directory searched from its root does.
    bool defaultSearchBase = false;
    std::vector<DirectoryEntry> entries{};
    int sizeLimit = 500;           // the server's own limit
    bool refuseAnonymous = false;  // "disallow bind_anon": an anonymous bind fails
    // PEM: the server's certificate followed by any authorities it sends along, and its key.
    std::string tlsCertificate{};
    std::string tlsKey{};
};

class Slapd {
public:
    // Writes the configuration, runs slapadd and starts slapd; throws std::runtime_error.
    explicit Slapd(const SlapdOptions& options);
    ~Slapd();
    Slapd(const Slapd&) = delete;
    Slapd& operator=(const Slapd&) = delete;

    uint16_t port() const { return port_; }
    std::string host() const;  // "127.0.0.1:PORT"
    // Where ldaps is served; 0 without a server certificate.
    uint16_t tlsPort() const { return tlsPort_; }
    std::string tlsHost() const;  // "127.0.0.1:TLSPORT"
    // What slapd logged so far (the stats level: connections, binds, searches with their filters).
    std::string log() const;
    void stop();
    // Stops and starts again on the same port, with the same data: every connection is dropped.
    void restart();

private:
    void start();
    bool startOn(uint16_t port, uint16_t tlsPort);

    TempDir dir_;
    bool tls_ = false;
    uint16_t port_ = 0;
    uint16_t tlsPort_ = 0;
    int pid_ = -1;
};

// A port on 127.0.0.1 where nothing listens.
uint16_t closedPort();
// Whether something listening on 127.0.0.1:port takes a connection.
bool accepts(uint16_t port);

// Listens on 127.0.0.1 and never answers: the kernel completes every connection, no byte comes back.
class SilentListener {
public:
    SilentListener();  // throws std::runtime_error
    ~SilentListener();
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;

    uint16_t port() const { return port_; }
    std::string host() const;

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

}  // namespace orvik::test
