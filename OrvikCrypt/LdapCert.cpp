#include "LdapCert.h"

#include <ldap.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <orvik/Deployment.h>
#include <orvik/Home.h>
#include <orvik/TempFile.h>

#include "DirectoryTrust.h"

namespace {

namespace dep = orvik::deployment;

struct Unbind {
    void operator()(LDAP* ld) const { ldap_unbind_ext_s(ld, nullptr, nullptr); }
};
struct FreeMessage {
    void operator()(LDAPMessage* m) const { ldap_msgfree(m); }
};
struct FreeValues {
    void operator()(berval** v) const { ldap_value_free_len(v); }
};
using LdapPtr = std::unique_ptr<LDAP, Unbind>;
using MessagePtr = std::unique_ptr<LDAPMessage, FreeMessage>;
using ValuesPtr = std::unique_ptr<berval*, FreeValues>;

std::string withPort(std::string host, int defaultPort) {
    // A bare IPv6 address has colons of its own; only a bracketed one carries a port.
    bool bracketed = !host.empty() && host.front() == '[';
    bool hasPort = bracketed ? host.find("]:") != std::string::npos : host.find(':') != std::string::npos;
    if (!hasPort) host += ":" + std::to_string(defaultPort);
    return host;
}

int defaultPort(bool ldaps) { return ldaps ? 636 : 389; }

// The name a server certificate must carry: the host without port or brackets.
std::string hostName(const std::string& target) {
    if (!target.empty() && target.front() == '[') return target.substr(1, target.find(']') - 1);
    const size_t colon = target.rfind(':');
    return colon == std::string::npos ? target : target.substr(0, colon);
}

// "*" widens a match, "(" and ")" break the filter: every value is escaped inside the wildcards.
bool escaped(const std::string& value, std::string& out) {
    berval in{static_cast<ber_len_t>(value.size()), const_cast<char*>(value.data())};
    berval result{0, nullptr};
    if (ldap_bv2escaped_filter_value(&in, &result) != 0) return false;
    out.assign(result.bv_val, result.bv_len);
    ber_memfree(result.bv_val);
    return true;
}

// Empty when there is nothing to look for, or when a value cannot be escaped.
std::string filterFor(const std::string& name, const std::string& email) {
    std::string n, e;
    if (!escaped(name, n) || !escaped(email, e)) return {};
    if (!name.empty() && !email.empty()) return "(&(cn=*" + n + "*)(mail=*" + e + "*))";
    if (!email.empty()) return "(mail=*" + e + "*)";
    if (!name.empty()) return "(cn=*" + n + "*)";
    return {};
}

// libldap reports a lost, refused or silent connection with its own negative codes.
int resultOf(int rc) {
    switch (rc) {
    case LDAP_SERVER_DOWN:
    case LDAP_CONNECT_ERROR:
    case LDAP_TIMEOUT: return CLdapCert::kNoConnection;
    default: return rc;
    }
}

timeval seconds(unsigned long s) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(s);
    return tv;
}

void appendCertificates(LDAP* ld, LDAPMessage* entry, std::vector<CDigitalCertificate*>& out) {
    ValuesPtr values(ldap_get_values_len(ld, entry, "userCertificate;binary"));
    // Some directories name the attribute without the transfer option.
    if (!values) values.reset(ldap_get_values_len(ld, entry, "userCertificate"));
    if (!values) return;
    for (berval** v = values.get(); *v; ++v) {
        if ((*v)->bv_len == 0 || (*v)->bv_len > 1u << 20) continue;
        auto certificate = std::make_unique<CDigitalCertificate>((*v)->bv_val, static_cast<int>((*v)->bv_len),
                                                                 CDigitalCertificate::ENC_DER);
        if (certificate->getPCCERT()) out.push_back(certificate.release());
    }
}

// A directory that has closed an idle connection makes the next write on it raise SIGPIPE, which
// would end the program: the signal is held back in this thread and any pending one discarded.
class PipeSignalGuard {
public:
    PipeSignalGuard() {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, &previous_);
        wasBlocked_ = sigismember(&previous_, SIGPIPE) == 1;
    }
    ~PipeSignalGuard() {
        if (wasBlocked_) return;
        sigset_t pipe, pending;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        sigpending(&pending);
        timespec now{};
        while (sigismember(&pending, SIGPIPE) == 1 && sigtimedwait(&pipe, nullptr, &now) == SIGPIPE)
            sigpending(&pending);
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    PipeSignalGuard(const PipeSignalGuard&) = delete;
    PipeSignalGuard& operator=(const PipeSignalGuard&) = delete;

private:
    sigset_t previous_{};
    bool wasBlocked_ = false;
};

// Bound anonymous connections kept between lookups: setting one up costs more than a search, and
// the assistant looks up many addresses in a row. Each is used by one caller at a time.
class ConnectionPool {
public:
    using Clock = std::chrono::steady_clock;

    LdapPtr take(const std::string& url) {
        std::lock_guard guard(lock_);
        auto& list = idle_[url];
        while (!list.empty()) {
            Idle last = std::move(list.back());
            list.pop_back();
            if (Clock::now() - last.since < kMaxIdle) return std::move(last.ld);
        }
        return nullptr;
    }

    void give(const std::string& url, LdapPtr ld) {
        std::lock_guard guard(lock_);
        auto& list = idle_[url];
        if (list.size() < kPerHost) list.push_back({std::move(ld), Clock::now()});
    }

    static ConnectionPool& instance() {
        // Never destroyed: connections still idle at exit are closed with the process.
        static auto* pool = new ConnectionPool;
        return *pool;
    }

private:
    struct Idle {
        LdapPtr ld;
        Clock::time_point since;
    };
    static constexpr auto kMaxIdle = std::chrono::seconds(60);
    static constexpr size_t kPerHost = 2;

    std::mutex lock_;
    std::map<std::string, std::vector<Idle>> idle_;
};

std::string diagnostic(LDAP* ld) {
    char* text = nullptr;
    std::string out;
    if (ldap_get_option(ld, LDAP_OPT_DIAGNOSTIC_MESSAGE, &text) == LDAP_OPT_SUCCESS && text) out = text;
    ldap_memfree(text);
    // What libldap leaves when the TLS library gave no words of its own.
    return out == "(unknown error code)" ? std::string("TLS error") : out;
}

// The server's anchors for the TLS library, which reads them from a file when its context is made:
// written into the user's own folder and removed again at once.
bool useAnchors(LDAP* ld) {
    std::string dir;
    if (!orvik::ensureHomeDir(dir)) return false;
    std::string path;
    int fd = orvik::createTempFile(dir, ".ldap-anchors-", path);
    if (fd < 0) return false;
    const std::string pem = CDirectoryTrust::ServerAnchorsPem();
    bool ok = true;
    for (size_t done = 0; ok && done < pem.size();) {
        ssize_t n = write(fd, pem.data() + done, pem.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<size_t>(n);
    }
    close(fd);
    int client = 0;
    ok = ok && ldap_set_option(ld, LDAP_OPT_X_TLS_CACERTFILE, path.c_str()) == LDAP_OPT_SUCCESS &&
         ldap_set_option(ld, LDAP_OPT_X_TLS_NEWCTX, &client) == LDAP_OPT_SUCCESS;
    unlink(path.c_str());
    return ok;
}

struct Attempt {
    LdapPtr ld;
    int rc = 0;  // of the TLS step: 0, or libldap's code
    bool timedOut = false;
    std::string detail;
};

// libldap's TLS handshake has no time-out of its own: against a server that accepts and never
// answers it spins for ever. A watchdog shuts the socket when the handshake's time is up.
class HandshakeDeadline {
public:
    explicit HandshakeDeadline(unsigned long seconds) {
        current_ = this;
        watchdog_ = std::thread([this, seconds] {
            std::unique_lock lock(mutex_);
            if (!done_.wait_for(lock, std::chrono::seconds(seconds), [this] { return finished_; }) && fd_ >= 0) {
                shutdown(fd_, SHUT_RDWR);
                fired_ = true;
            }
        });
    }
    ~HandshakeDeadline() {
        {
            std::lock_guard lock(mutex_);
            finished_ = true;
        }
        done_.notify_all();
        watchdog_.join();
        current_ = nullptr;
    }
    HandshakeDeadline(const HandshakeDeadline&) = delete;
    HandshakeDeadline& operator=(const HandshakeDeadline&) = delete;

    bool fired() {
        std::lock_guard lock(mutex_);
        return fired_;
    }

    // Installed on every handle: told each new socket; only a handshake under way watches it.
    static ldap_conncb* callback() {
        static ldap_conncb cb{&connected, &closing, nullptr};
        return &cb;
    }

private:
    static int connected(LDAP*, Sockbuf* sb, LDAPURLDesc*, sockaddr*, ldap_conncb*) {
        HandshakeDeadline* d = current_;
        if (!d || !sb) return 0;
        int fd = -1;
        ber_sockbuf_ctrl(sb, LBER_SB_OPT_GET_FD, &fd);
        std::lock_guard lock(d->mutex_);
        d->fd_ = fd;
        return 0;
    }
    static void closing(LDAP*, Sockbuf*, ldap_conncb*) {}

    static thread_local HandshakeDeadline* current_;
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false, fired_ = false;
    int fd_ = -1;
    std::thread watchdog_;
};

thread_local HandshakeDeadline* HandshakeDeadline::current_ = nullptr;

// A connection to url with TLS as asked; `verify` false leaves the server's certificate unchecked,
// for finding out why a checked one failed. Nothing is sent but what TLS needs.
Attempt open(const std::string& url, bool startTls, bool tls, bool verify, unsigned long connectSeconds,
             unsigned long answerSeconds) {
    Attempt a;
    LDAP* raw = nullptr;
    if (ldap_initialize(&raw, url.c_str()) != LDAP_SUCCESS || !raw) {
        a.rc = LDAP_SERVER_DOWN;
        return a;
    }
    a.ld.reset(raw);
    LDAP* ld = raw;
    int version = LDAP_VERSION3;
    timeval connect = seconds(connectSeconds);
    ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
    ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &connect);
    ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
    timeval answer = seconds(answerSeconds);
    ldap_set_option(ld, LDAP_OPT_TIMEOUT, &answer);
    if (!tls) return a;
    int require = verify ? LDAP_OPT_X_TLS_DEMAND : LDAP_OPT_X_TLS_NEVER;
    int minimum = LDAP_OPT_X_TLS_PROTOCOL_TLS1_2;
    ldap_set_option(ld, LDAP_OPT_X_TLS_REQUIRE_CERT, &require);
    ldap_set_option(ld, LDAP_OPT_X_TLS_PROTOCOL_MIN, &minimum);
    int client = 0;
    if (verify ? !useAnchors(ld) : ldap_set_option(ld, LDAP_OPT_X_TLS_NEWCTX, &client) != LDAP_OPT_SUCCESS) {
        a.rc = LDAP_LOCAL_ERROR;
        a.detail = "the TLS settings could not be made";
        return a;
    }
    ldap_set_option(ld, LDAP_OPT_CONNECT_CB, HandshakeDeadline::callback());
    {
        // StartTLS first waits for the server's yes, which the answer time-out bounds.
        HandshakeDeadline deadline(connectSeconds + (startTls ? answerSeconds : 0));
        a.rc = startTls ? ldap_start_tls_s(ld, nullptr, nullptr) : ldap_connect(ld);
        a.timedOut = deadline.fired();
    }
    if (a.rc != LDAP_SUCCESS) a.detail = diagnostic(ld);
    return a;
}

// How to reach a server, and why TLS with it failed.
struct Connection {
    bool tls = false, startTls = false;
    unsigned long connectSeconds = 0, answerSeconds = 0;
    CLdapCert::TlsProblem problem = CLdapCert::TlsProblem::None;
    std::string detail;
};

// A new connection, bound anonymously; null with rc set when none could be had.
LdapPtr connect(const std::string& url, const std::string& target, Connection& c, int& rc) {
    using TlsProblem = CLdapCert::TlsProblem;
    const bool tls = c.tls, startTls = c.startTls;
    Attempt a = open(url, startTls, tls, true, c.connectSeconds, c.answerSeconds);
    if (a.rc != LDAP_SUCCESS) {
        if (!tls || a.rc == LDAP_TIMEOUT || a.timedOut) {
            rc = CLdapCert::kNoConnection;
            return nullptr;
        }
        // Once more without checking, to tell the user what is wrong with the certificate.
        Attempt probe = open(url, startTls, true, false, c.connectSeconds, c.answerSeconds);
        berval peer{0, nullptr};
        if (probe.rc == LDAP_SUCCESS &&
            ldap_get_option(probe.ld.get(), LDAP_OPT_X_TLS_PEERCERT, &peer) == LDAP_OPT_SUCCESS && peer.bv_val) {
            std::string der(peer.bv_val, peer.bv_len);
            ber_memfree(peer.bv_val);
            switch (CDirectoryTrust::CheckServer(der, hostName(target))) {
            case CDirectoryTrust::ServerUntrusted: c.problem = TlsProblem::Untrusted; break;
            case CDirectoryTrust::ServerExpired: c.problem = TlsProblem::Expired; break;
            case CDirectoryTrust::ServerNotYetValid: c.problem = TlsProblem::NotYetValid; break;
            case CDirectoryTrust::ServerNameMismatch: c.problem = TlsProblem::NameMismatch; break;
            case CDirectoryTrust::ServerOk: c.problem = TlsProblem::Handshake; break;
            }
        } else if (probe.rc == LDAP_SERVER_DOWN && probe.detail.empty() && a.detail.empty()) {
            // Nothing answered at all: no TLS question arose.
            rc = CLdapCert::kNoConnection;
            return nullptr;
        } else {
            c.problem = TlsProblem::Handshake;
        }
        c.detail = a.detail;
        rc = CLdapCert::kSecureConnectionFailed;
        return nullptr;
    }
    LDAP* ld = a.ld.get();
    berval noPassword{0, nullptr};
    rc = ldap_sasl_bind_s(ld, "", LDAP_SASL_SIMPLE, &noPassword, nullptr, nullptr, nullptr);
    if (rc != LDAP_SUCCESS) {
        rc = resultOf(rc);
        return nullptr;
    }
    return std::move(a.ld);
}

}  // namespace

CLdapCert::~CLdapCert() = default;

const CLdapCert::Settings& CLdapCert::settings() {
    if (!loaded_) {
        std::string tls = dep::text(dep::kDirectoryTls);
        for (char& ch : tls) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
        settings_.tls = tls.empty() || tls == "none" ? Tls::None
                        : tls == "ldaps"             ? Tls::Ldaps
                        : tls == "starttls"          ? Tls::StartTls
                                                     : Tls::Invalid;
        settings_.host1 = withPort(dep::text(dep::kDirectoryHost1), defaultPort(settings_.tls == Tls::Ldaps));
        settings_.base = dep::text(dep::kDirectoryBase);
        settings_.connectTimeout = dep::number(dep::kDirectoryConnectTimeout);
        settings_.timeout = dep::number(dep::kDirectoryTimeout);
        settings_.sizeLimit = static_cast<int>(dep::number(dep::kDirectorySizeLimit));
        loaded_ = true;
    }
    return settings_;
}

CLdapCert::Code CLdapCert::getUserCertificates(const char* host, const char* name, const char* email,
                                               std::vector<CDigitalCertificate*>& out) {
    std::string filter = filterFor(name ? name : "", email ? email : "");
    // An empty filter is a protocol error to the directory: nothing to ask, nothing found.
    if (filter.empty()) return Ok;
    tlsProblem_ = TlsProblem::None;
    tlsDetail_.clear();
    if (!host || !*host) return kNoConnection;

    const Settings& values = settings();
    // A value nobody understands must not quietly mean plain text.
    if (values.tls == Tls::Invalid) {
        tlsProblem_ = TlsProblem::Setting;
        return kSecureConnectionFailed;
    }
    const std::string target = withPort(host, defaultPort(values.tls == Tls::Ldaps));
    const std::string url = (values.tls == Tls::Ldaps ? "ldaps://" : "ldap://") + target;
    // A connection kept from StartTLS is not one for plain text, nor the other way round.
    const std::string poolKey = (values.tls == Tls::StartTls ? "starttls+" : "") + url;
    const bool firstHost = strcasecmp(target.c_str(), values.host1.c_str()) == 0;
    const char* base = firstHost ? "" : values.base.c_str();
    timeval answer = seconds(values.timeout);
    const int sizeLimit = values.sizeLimit;

    PipeSignalGuard quiet;
    ConnectionPool& pool = ConnectionPool::instance();
    LdapPtr ld = pool.take(poolKey);
    bool reused = ld != nullptr;
    Connection how;
    how.tls = values.tls != Tls::None;
    how.startTls = values.tls == Tls::StartTls;
    how.connectSeconds = values.connectTimeout;
    how.answerSeconds = values.timeout;
    for (;;) {
        int rc = 0;
        if (!ld && !(ld = connect(url, target, how, rc))) {
            tlsProblem_ = how.problem;
            tlsDetail_ = how.detail;
            return static_cast<Code>(rc);
        }
        ldap_set_option(ld.get(), LDAP_OPT_TIMEOUT, &answer);
        LDAPMessage* found = nullptr;
        rc = ldap_search_ext_s(ld.get(), base, LDAP_SCOPE_SUBTREE, filter.c_str(), nullptr, 0, nullptr, nullptr,
                               &answer, sizeLimit, &found);
        MessagePtr result(found);
        // A kept connection the directory has closed since: once more on a new one.
        if (reused && (rc == LDAP_SERVER_DOWN || rc == LDAP_CONNECT_ERROR)) {
            ld.reset();
            reused = false;
            continue;
        }
        if (rc != LDAP_SUCCESS && rc != LDAP_SIZELIMIT_EXCEEDED) return static_cast<Code>(resultOf(rc));
        for (LDAPMessage* entry = ldap_first_entry(ld.get(), found); entry; entry = ldap_next_entry(ld.get(), entry))
            appendCertificates(ld.get(), entry, out);
        pool.give(poolKey, std::move(ld));
        return Ok;
    }
}

std::string CLdapCert::TlsProblemText(TlsProblem problem, const std::string& host) {
    const char* why = "";
    switch (problem) {
    case TlsProblem::None: return {};
    case TlsProblem::Setting: return "目录服务的安全连接设置（DirectoryTls）无效，未进行查询。";
    case TlsProblem::Handshake: why = "无法建立TLS连接。"; break;
    case TlsProblem::Untrusted: why = "服务器证书的颁发者不受信任。"; break;
    case TlsProblem::Expired: why = "服务器证书已过期。"; break;
    case TlsProblem::NotYetValid: why = "服务器证书尚未生效。"; break;
    case TlsProblem::NameMismatch: why = "服务器证书与服务器名称不符。"; break;
    }
    return "与目录服务器" + host + "的安全连接失败：" + why;
}

std::string CLdapCert::TlsProblemWords(TlsProblem problem) {
    switch (problem) {
    case TlsProblem::None: return {};
    case TlsProblem::Setting: return "DirectoryTls is none of none, ldaps, starttls";
    case TlsProblem::Handshake: return "no TLS connection could be made";
    case TlsProblem::Untrusted: return "the server's certificate has an untrusted issuer";
    case TlsProblem::Expired: return "the server's certificate has expired";
    case TlsProblem::NotYetValid: return "the server's certificate is not yet valid";
    case TlsProblem::NameMismatch: return "the server's certificate names another host";
    }
    return {};
}

std::vector<std::string> CLdapCert::directoryHosts() {
    return {dep::text(dep::kDirectoryHost2), dep::text(dep::kDirectoryHost1)};
}
