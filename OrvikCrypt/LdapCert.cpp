#include "LdapCert.h"

#include <ldap.h>
#include <signal.h>
#include <strings.h>
#include <sys/time.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <orvik/Deployment.h>

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

std::string withPort(std::string host) {
    // A bare IPv6 address has colons of its own; only a bracketed one carries a port.
    bool bracketed = !host.empty() && host.front() == '[';
    bool hasPort = bracketed ? host.find("]:") != std::string::npos : host.find(':') != std::string::npos;
    if (!hasPort) host += ":389";
    return host;
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

// A new connection, bound anonymously; null with rc set when none could be had.
LdapPtr connect(const std::string& url, unsigned long connectSeconds, unsigned long answerSeconds, int& rc) {
    LDAP* raw = nullptr;
    if (ldap_initialize(&raw, url.c_str()) != LDAP_SUCCESS || !raw) {
        rc = CLdapCert::kNoConnection;
        return nullptr;
    }
    LdapPtr ld(raw);
    int version = LDAP_VERSION3;
    timeval connect = seconds(connectSeconds);
    ldap_set_option(ld.get(), LDAP_OPT_PROTOCOL_VERSION, &version);
    ldap_set_option(ld.get(), LDAP_OPT_NETWORK_TIMEOUT, &connect);
    ldap_set_option(ld.get(), LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
    timeval answer = seconds(answerSeconds);
    ldap_set_option(ld.get(), LDAP_OPT_TIMEOUT, &answer);
    berval noPassword{0, nullptr};
    rc = ldap_sasl_bind_s(ld.get(), "", LDAP_SASL_SIMPLE, &noPassword, nullptr, nullptr, nullptr);
    if (rc != LDAP_SUCCESS) {
        rc = resultOf(rc);
        return nullptr;
    }
    return ld;
}

}  // namespace

CLdapCert::~CLdapCert() = default;

const CLdapCert::Settings& CLdapCert::settings() {
    if (!loaded_) {
        settings_.host1 = withPort(dep::text(dep::kDirectoryHost1));
        settings_.base = dep::text(dep::kDirectoryBase);
        settings_.connectTimeout = dep::number(dep::kDirectoryConnectTimeout);
        settings_.timeout = dep::number(dep::kDirectoryTimeout);
        settings_.sizeLimit = static_cast<int>(dep::number(dep::kDirectorySizeLimit));
        loaded_ = true;
    }
    return settings_;
}

int CLdapCert::getUserCertificates(const char* host, const char* name, const char* email,
                                   std::vector<CDigitalCertificate*>& out) {
    std::string filter = filterFor(name ? name : "", email ? email : "");
    // An empty filter is a protocol error to the directory: nothing to ask, nothing found.
    if (filter.empty()) return 0;
    if (!host || !*host) return kNoConnection;

    const std::string target = withPort(host);
    const std::string url = "ldap://" + target;
    const Settings& values = settings();
    const bool firstHost = strcasecmp(target.c_str(), values.host1.c_str()) == 0;
    const char* base = firstHost ? "" : values.base.c_str();
    timeval answer = seconds(values.timeout);
    const int sizeLimit = values.sizeLimit;

    PipeSignalGuard quiet;
    ConnectionPool& pool = ConnectionPool::instance();
    LdapPtr ld = pool.take(url);
    bool reused = ld != nullptr;
    for (;;) {
        int rc = 0;
        if (!ld && !(ld = connect(url, values.connectTimeout, values.timeout, rc))) return rc;
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
        if (rc != LDAP_SUCCESS && rc != LDAP_SIZELIMIT_EXCEEDED) return resultOf(rc);
        for (LDAPMessage* entry = ldap_first_entry(ld.get(), found); entry; entry = ldap_next_entry(ld.get(), entry))
            appendCertificates(ld.get(), entry, out);
        pool.give(url, std::move(ld));
        return 0;
    }
}

std::vector<std::string> CLdapCert::directoryHosts() {
    return {dep::text(dep::kDirectoryHost2), dep::text(dep::kDirectoryHost1)};
}
