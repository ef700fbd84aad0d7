// Certificates of correspondents from the authority's public LDAP directories.
#pragma once

#include <string>
#include <vector>

#include "DigitalCertificate.h"
#include "OrvikCryptApi.h"

class ORVIKCRYPT_API CLdapCert {
public:
    // Results of a lookup; a failed bind or search gives the directory's own code instead.
    enum Code : int {
        Ok = 0,
        // No connection to the host could be set up (unresolvable, refused, or silent past the
        // time-outs).
        kNoConnection = 21,
        // The deployment asks for TLS (DirectoryTls) and none could be had with a server
        // certificate that checks out; nothing was sent. tlsProblem() says why.
        kSecureConnectionFailed = 22,
    };
    enum class TlsProblem {
        None,
        Setting,       // DirectoryTls holds a value that is none of "none", "ldaps", "starttls"
        Handshake,     // the server speaks no TLS there, or the handshake broke off
        Untrusted,     // its certificate chains to no authority of the system, "Root" or "CA"
        Expired,       // its certificate is past its end
        NotYetValid,   // its certificate has not begun
        NameMismatch,  // its certificate is another server's
    };

    virtual ~CLdapCert();

    // Searches host ("name" or "name:port", 389 otherwise) anonymously for entries whose cn
    // contains name and whose mail contains email (an empty one is left out of the filter), and
    // appends every certificate of their "userCertificate;binary" values to out; the caller owns
    // and deletes them. Ok when the search was made (also when nothing matched, or when both name
    // and email are empty: then nothing is asked), kNoConnection, or the directory's error code of
    // a failed bind or search. With DirectoryTls "ldaps" the port is 636 unless given, and
    // "starttls" asks for TLS before the bind; either verifies the server's certificate first,
    // or returns kSecureConnectionFailed.
    [[nodiscard]] Code getUserCertificates(const char* host, const char* name, const char* email,
                                           std::vector<CDigitalCertificate*>& out);

    // Why the last call returned kSecureConnectionFailed (None after any other result), and the
    // TLS library's own words when it gave any.
    TlsProblem tlsProblem() const { return tlsProblem_; }
    const std::string& tlsDetail() const { return tlsDetail_; }
    // For the user: "与目录服务器HOST的安全连接失败：服务器证书的颁发者不受信任。" and the like.
    static std::string TlsProblemText(TlsProblem problem, const std::string& host);
    // For orvikctl: "the server's certificate has an untrusted issuer" and the like.
    static std::string TlsProblemWords(TlsProblem problem);

    // The deployment's directory hosts in the order they are searched: host 2, then host 1.
    static std::vector<std::string> directoryHosts();

private:
    // The deployment's directory values, read at the first lookup of this object: a run of
    // lookups sees one set of them, and does not read the registry for each.
    enum class Tls { None, Ldaps, StartTls, Invalid };
    struct Settings {
        Tls tls = Tls::None;
        std::string host1, base;
        unsigned long connectTimeout = 0, timeout = 0;
        int sizeLimit = 0;
    };
    const Settings& settings();

    Settings settings_;
    bool loaded_ = false;
    TlsProblem tlsProblem_ = TlsProblem::None;
    std::string tlsDetail_;
};
