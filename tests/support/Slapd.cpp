#include "Slapd.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace orvik::test {

namespace {

const char* const kSlapd = "/usr/sbin/slapd";
const char* const kSlapadd = "/usr/sbin/slapadd";

std::string base64(const std::string& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

sockaddr_in loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A listening socket on a free loopback port, or -1.
int listenOnFreePort(uint16_t& port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 16) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        close(fd);
        return -1;
    }
    port = ntohs(a.sin_port);
    return fd;
}

bool accepting(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in a = loopback(port);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

// Runs a program with its output in logPath; returns the pid, or -1.
int spawn(const std::vector<std::string>& argv, const std::string& logPath) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (log >= 0) {
            dup2(log, 1);
            dup2(log, 2);
        }
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

int waitFor(int pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ldif(const SlapdOptions& o) {
    std::string dc = o.suffix.substr(3, o.suffix.find(',') - 3);
    std::string text =
        "dn: " + o.suffix + "\nobjectClass: dcObject\nobjectClass: organization\ndc: " + dc + "\no: " + dc + "\n\n";
    int n = 0;
    for (const auto& e : o.entries) {
        // Every value in Base64: names carry Chinese text and filter specials.
        std::string uid = std::to_string(++n);
        uid.insert(0, 1, 'u');  // not "u" + ...: GCC 12 warns falsely about that form
        text += "dn: uid=" + uid + "," + o.suffix + "\nobjectClass: inetOrgPerson\nuid: " + uid +
                "\ncn:: " + base64(e.cn) + "\nsn:: " + base64(e.cn) + "\n";
        if (!e.mail.empty()) text += "mail:: " + base64(e.mail) + "\n";
        for (const auto& c : e.certificates) text += "userCertificate;binary:: " + base64(c) + "\n";
        text += "\n";
    }
    return text;
}

}  // namespace

Slapd::Slapd(const SlapdOptions& options) {
    std::string db = dir_.file("db");
    if (mkdir(db.c_str(), 0700) != 0) throw std::runtime_error("slapd: cannot make the database folder");
    std::string conf =
        "include /etc/ldap/schema/core.schema\n"
        "include /etc/ldap/schema/cosine.schema\n"
        "include /etc/ldap/schema/inetorgperson.schema\n"
        "modulepath /usr/lib/ldap\n"
        "moduleload back_mdb\n"
        "pidfile " +
        dir_.file("slapd.pid") +
        "\n"
        "loglevel stats\n"
        "sizelimit " +
        std::to_string(options.sizeLimit) + "\n";
    if (options.refuseAnonymous) conf += "disallow bind_anon\n";
    if (!options.tlsCertificate.empty()) {
        tls_ = true;
        writeFile(dir_.file("server.pem"), options.tlsCertificate);
        writeFile(dir_.file("server.key"), options.tlsKey);
        chmod(dir_.file("server.key").c_str(), 0600);
        conf += "TLSCertificateFile " + dir_.file("server.pem") + "\nTLSCertificateKeyFile " + dir_.file("server.key") +
                "\n";
    }
    if (options.defaultSearchBase) conf += "defaultsearchbase \"" + options.suffix + "\"\n";
    conf += "database mdb\nmaxsize 268435456\nsuffix \"" + options.suffix + "\"\nrootdn \"cn=admin," + options.suffix +
            "\"\ndirectory " + db + "\nindex objectClass eq\nindex mail eq,sub\nindex cn eq,sub\n";
    writeFile(dir_.file("slapd.conf"), conf);
    writeFile(dir_.file("data.ldif"), ldif(options));
    int add =
        spawn({kSlapadd, "-q", "-f", dir_.file("slapd.conf"), "-l", dir_.file("data.ldif")}, dir_.file("slapadd.log"));
    if (add < 0 || waitFor(add) != 0) throw std::runtime_error("slapadd failed: " + readFile(dir_.file("slapadd.log")));
    start();
}

void Slapd::start() {
    // The port is free when chosen; another process may take it before slapd binds, so try again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        uint16_t port = 0, tlsPort = 0;
        int probe = listenOnFreePort(port);
        if (probe < 0) break;
        int tlsProbe = tls_ ? listenOnFreePort(tlsPort) : -1;
        close(probe);
        if (tlsProbe >= 0) close(tlsProbe);
        if (tls_ && tlsProbe < 0) break;
        if (startOn(port, tlsPort)) return;
    }
    throw std::runtime_error("slapd did not start: " + log());
}

bool Slapd::startOn(uint16_t port, uint16_t tlsPort) {
    std::string url = "ldap://127.0.0.1:" + std::to_string(port) + "/";
    if (tls_) url += " ldaps://127.0.0.1:" + std::to_string(tlsPort) + "/";
    int pid = spawn({kSlapd, "-f", dir_.file("slapd.conf"), "-h", url, "-d", "256"}, dir_.file("slapd.log"));
    if (pid < 0) return false;
    for (int i = 0; i < 200; ++i) {
        if (accepting(port) && (!tls_ || accepting(tlsPort))) {
            port_ = port;
            tlsPort_ = tlsPort;
            pid_ = pid;
            return true;
        }
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) return false;  // it ended: the port was taken
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return false;
}

void Slapd::restart() {
    stop();
    // The old listening socket may linger a moment before the port can be bound again.
    for (int attempt = 0; attempt < 20; ++attempt) {
        if (startOn(port_, tlsPort_)) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    throw std::runtime_error("slapd did not start again: " + log());
}

Slapd::~Slapd() { stop(); }

std::string Slapd::host() const { return "127.0.0.1:" + std::to_string(port_); }

std::string Slapd::tlsHost() const { return "127.0.0.1:" + std::to_string(tlsPort_); }

std::string Slapd::log() const { return readFile(dir_.file("slapd.log")); }

void Slapd::stop() {
    if (pid_ < 0) return;
    // slapd names itself in its pid file; our child is the same process, run in the foreground.
    int pid = std::atoi(readFile(dir_.file("slapd.pid")).c_str());
    kill(pid > 0 ? pid : pid_, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

uint16_t closedPort() {
    uint16_t port = 0;
    int fd = listenOnFreePort(port);
    if (fd < 0) throw std::runtime_error("no free port");
    close(fd);
    return port;
}

bool accepts(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

SilentListener::SilentListener() {
    fd_ = listenOnFreePort(port_);
    if (fd_ < 0) throw std::runtime_error("cannot listen on 127.0.0.1");
}

SilentListener::~SilentListener() {
    if (fd_ >= 0) close(fd_);
}

std::string SilentListener::host() const { return "127.0.0.1:" + std::to_string(port_); }

}  // namespace orvik::test
