// What the assistant can say of a certificate a directory returned, without trusting the
// directory: whether it chains to an authority the user trusts, is inside its dates and may
// encrypt. Whoever answers a directory query must not choose whom the user encrypts to.
#pragma once

#include <memory>
#include <string>

#include "DigitalCertificate.h"
#include "OrvikCryptApi.h"

class ORVIKCRYPT_API CDirectoryTrust {
public:
    struct Verdict {
        bool trusted = false;     // chains to a root of "Root", through authorities of "Root" or "CA",
                                  // none of them (nor it) in "Disallowed"
        bool validNow = false;    // it and the authorities above it are inside their dates
        bool expired = false;     // one of them is past its end (else, when not valid, not yet begun)
        bool mayEncrypt = false;  // keyEncipherment or dataEncipherment, or no key usage at all
        bool ok() const { return trusted && validNow && mayEncrypt; }
    };

    // Reads the "Root" and "CA" stores now; one object serves any number of checks, also from
    // several threads at once.
    CDirectoryTrust();
    ~CDirectoryTrust();
    CDirectoryTrust(const CDirectoryTrust&) = delete;
    CDirectoryTrust& operator=(const CDirectoryTrust&) = delete;

    Verdict Check(const CDigitalCertificate& certificate) const;

    // "可信", or what is wrong: "颁发者不受信任", "已过期", "尚未生效", "不可用于加密", joined by "，".
    static std::string Text(const Verdict& verdict);
    // The same for orvikctl: "trusted", or "untrusted issuer, expired, ...".
    static std::string Words(const Verdict& verdict);

    // The authorities a directory server's own certificate may chain to, as PEM: the system's CA
    // bundle, then the "Root" and "CA" stores.
    static std::string ServerAnchorsPem();
    // A directory server's certificate (DER) checked against those anchors and the host name it
    // was reached by ("name" or an IP address, without port).
    enum ServerProblem { ServerOk, ServerUntrusted, ServerExpired, ServerNotYetValid, ServerNameMismatch };
    static ServerProblem CheckServer(const std::string& der, const std::string& hostName);

private:
    struct Store;
    std::unique_ptr<Store> store_;
};
