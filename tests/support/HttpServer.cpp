#include "HttpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <system_error>

namespace orvik::test {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxRequestHead = 64 * 1024;

enum class Wait { Ready, Timeout, Stopped };

// Waits for `events` on fd (ignored when fd < 0) or for the stop signal; timeoutMs < 0 waits without end.
Wait waitFor(int wake, int fd, short events, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int left = -1;
        if (timeoutMs >= 0) {
            auto rest = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            left = static_cast<int>(std::max<decltype(rest)>(rest, 0));
        }
        pollfd fds[2] = {{wake, POLLIN, 0}, {fd, events, 0}};  // poll skips a negative fd
        int n = ::poll(fds, 2, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return Wait::Stopped;
        }
        if (fds[0].revents) return Wait::Stopped;
        if (fds[1].revents) return Wait::Ready;  // errors too: the next call on fd reports them
        if (n == 0 && left >= 0) return Wait::Timeout;
    }
}

// One connection: a socket, and its TLS session when the server speaks TLS.
struct Link {
    int wake;
    int fd;
    SSL* ssl = nullptr;
};

// What a TLS call asks to wait for; 0 when it failed for good.
short tlsWait(SSL* ssl, int result) {
    switch (SSL_get_error(ssl, result)) {
    case SSL_ERROR_WANT_READ: return POLLIN;
    case SSL_ERROR_WANT_WRITE: return POLLOUT;
    default: ERR_clear_error(); return 0;
    }
}

bool handshake(Link& link) {
    for (;;) {
        int r = SSL_accept(link.ssl);
        if (r == 1) return true;
        short events = tlsWait(link.ssl, r);
        if (!events || waitFor(link.wake, link.fd, events, -1) != Wait::Ready) return false;
    }
}

// Bytes read (> 0), 0 when the peer closed, -1 on failure or stop.
ssize_t receive(Link& link, char* data, size_t size) {
    for (;;) {
        short events = POLLIN;
        if (link.ssl) {
            int r = SSL_read(link.ssl, data, static_cast<int>(std::min<size_t>(size, INT_MAX)));
            if (r > 0) return r;
            if (SSL_get_error(link.ssl, r) == SSL_ERROR_ZERO_RETURN) return 0;
            events = tlsWait(link.ssl, r);
            if (!events) return -1;
        } else {
            ssize_t n = ::recv(link.fd, data, size, 0);
            if (n >= 0) return n;
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        }
        if (waitFor(link.wake, link.fd, events, -1) != Wait::Ready) return -1;
    }
}

bool sendAll(Link& link, const char* data, size_t size) {
    while (size > 0) {
        short events = POLLOUT;
        if (link.ssl) {
            int n = SSL_write(link.ssl, data, static_cast<int>(std::min<size_t>(size, INT_MAX)));
            if (n > 0) {
                data += n;
                size -= static_cast<size_t>(n);
                continue;
            }
            events = tlsWait(link.ssl, n);
            if (!events) return false;
        } else {
            ssize_t n = ::send(link.fd, data, size, MSG_NOSIGNAL);
            if (n > 0) {
                data += n;
                size -= static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (!(n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))) return false;
        }
        // A client that stops reading must not hold up stop().
        if (waitFor(link.wake, link.fd, events, -1) != Wait::Ready) return false;
    }
    return true;
}

// Sends the body in steps so that byte k leaves at about k / rate seconds.
bool trickle(Link& link, const std::string& body, size_t rate) {
    const auto start = Clock::now();
    const size_t step = std::max<size_t>(1, rate / 20);
    size_t sent = 0;
    while (sent < body.size()) {
        const size_t next = std::min(body.size(), sent + step);
        const auto due = start + std::chrono::microseconds(next * 1'000'000 / rate);
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now()).count();
        if (wait > 0 && waitFor(link.wake, -1, 0, static_cast<int>(wait)) != Wait::Timeout) return false;
        if (!sendAll(link, body.data() + sent, next - sent)) return false;
        sent = next;
    }
    return true;
}

// Blanks up to `length` bytes after `sent`, made a block at a time.
bool pad(Link& link, size_t sent, size_t length) {
    const std::string block(64 * 1024, ' ');
    while (sent < length) {
        const size_t n = std::min(block.size(), length - sent);
        if (!sendAll(link, block.data(), n)) return false;
        sent += n;
    }
    return true;
}

// Reads up to the blank line that ends the head; any request body is left unread.
std::optional<std::string> readHead(Link& link) {
    std::string buffer;
    char chunk[4096];
    for (;;) {
        if (auto end = buffer.find("\r\n\r\n"); end != std::string::npos) return buffer.substr(0, end);
        if (buffer.size() > kMaxRequestHead) return std::nullopt;
        ssize_t n = receive(link, chunk, sizeof chunk);
        if (n <= 0) return std::nullopt;
        buffer.append(chunk, static_cast<size_t>(n));
    }
}

// Closing with unread input makes the kernel send a reset, which can destroy the answer before the
// client reads it: half-close, then drain what the client still sends until it closes too.
void lingeringClose(Link& link) {
    if (link.ssl) SSL_shutdown(link.ssl);
    ERR_clear_error();
    ::shutdown(link.fd, SHUT_WR);
    char sink[4096];
    while (waitFor(link.wake, link.fd, POLLIN, 1000) == Wait::Ready) {
        ssize_t n = ::recv(link.fd, sink, sizeof sink, 0);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) break;
    }
}

bool equalsIgnoringCase(const std::string& a, const char* b) {
    return std::equal(a.begin(), a.end(), b, b + std::strlen(b),
                      [](char x, char y) { return std::tolower(static_cast<unsigned char>(x)) == std::tolower(y); });
}

const char* reasonPhrase(int status) {
    switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 206: return "Partial Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 410: return "Gone";
    case 416: return "Range Not Satisfiable";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    default: return "Status";
    }
}

struct Request {
    std::string method;
    std::string target;
    std::vector<std::string> headers;
};

std::optional<Request> parseHead(const std::string& head) {
    Request request;
    size_t lineEnd = head.find("\r\n");
    const std::string line = head.substr(0, lineEnd);
    const size_t first = line.find(' ');
    const size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
    if (second == std::string::npos || line.compare(second + 1, 5, "HTTP/") != 0) return std::nullopt;
    request.method = line.substr(0, first);
    request.target = line.substr(first + 1, second - first - 1);
    // A client talking to a proxy sends the absolute form; match on the path alone.
    if (request.target.starts_with("http://")) {
        const size_t slash = request.target.find('/', 7);
        request.target = slash == std::string::npos ? "/" : request.target.substr(slash);
    }
    if (request.method.empty() || request.target.empty()) return std::nullopt;
    while (lineEnd != std::string::npos) {
        const size_t start = lineEnd + 2;
        lineEnd = head.find("\r\n", start);
        std::string header = head.substr(start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
        if (!header.empty()) request.headers.push_back(std::move(header));
    }
    return request;
}

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

private:
    int fd_;
};

void closeIfOpen(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

HttpServer::HttpServer() { start(); }

HttpServer::HttpServer(const TlsIdentity& tls) {
    tls_ = SSL_CTX_new(TLS_server_method());
    bool ok = tls_ != nullptr;
    auto pemCerts = [](const std::string& pem) {
        std::vector<X509*> certs;
        BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
        while (X509* cert = bio ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr) certs.push_back(cert);
        BIO_free(bio);
        ERR_clear_error();
        return certs;
    };
    std::vector<X509*> cert = pemCerts(tls.certPem), chain = pemCerts(tls.chainPem);
    BIO* keyBio = BIO_new_mem_buf(tls.keyPem.data(), static_cast<int>(tls.keyPem.size()));
    EVP_PKEY* key = keyBio ? PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(keyBio);
    ok = ok && !cert.empty() && key && SSL_CTX_use_certificate(tls_, cert[0]) == 1 &&
         SSL_CTX_use_PrivateKey(tls_, key) == 1 && SSL_CTX_check_private_key(tls_) == 1;
    for (X509* c : chain) ok = ok && SSL_CTX_add1_chain_cert(tls_, c) == 1;
    for (X509* c : cert) X509_free(c);
    for (X509* c : chain) X509_free(c);
    EVP_PKEY_free(key);
    if (!ok) {
        ERR_clear_error();
        SSL_CTX_free(tls_);
        throw std::runtime_error("HttpServer: the TLS certificate or key cannot be used");
    }
    SSL_CTX_set_mode(tls_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    try {
        start();
    } catch (...) {
        SSL_CTX_free(tls_);
        throw;
    }
}

void HttpServer::start() {
    auto fail = [this](const char* what) {
        const int error = errno;
        closeIfOpen(listenFd_);
        closeIfOpen(wakeRead_);
        closeIfOpen(wakeWrite_);
        throw std::runtime_error(std::string("HttpServer: ") + what + ": " + std::strerror(error));
    };
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) fail("pipe");
    wakeRead_ = pipeFds[0];
    wakeWrite_ = pipeFds[1];

    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listenFd_ < 0) fail("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;  // the kernel picks a free port
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) fail("bind");
    if (::listen(listenFd_, 64) != 0) fail("listen");
    socklen_t length = sizeof address;
    if (::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) fail("getsockname");
    port_ = ntohs(address.sin_port);

    acceptThread_ = std::thread(&HttpServer::acceptLoop, this);
}

HttpServer::~HttpServer() {
    stop();
    SSL_CTX_free(tls_);
}

std::string HttpServer::url(const std::string& path) const {
    return (tls_ ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port_) + path;
}

void HttpServer::set(const std::string& path, HttpResponse response) {
    std::lock_guard lock(mutex_);
    routes_[path] = std::move(response);
}

void HttpServer::set(const std::string& path, std::string body) { set(path, HttpResponse{.body = std::move(body)}); }

void HttpServer::remove(const std::string& path) {
    std::lock_guard lock(mutex_);
    routes_.erase(path);
}

int HttpServer::hits(const std::string& path) const {
    std::lock_guard lock(mutex_);
    auto it = seen_.find(path);
    return it == seen_.end() ? 0 : it->second.hits;
}

std::vector<std::string> HttpServer::requestHeaders(const std::string& path) const {
    std::lock_guard lock(mutex_);
    auto it = seen_.find(path);
    return it == seen_.end() ? std::vector<std::string>{} : it->second.headers;
}

void HttpServer::stop() {
    std::lock_guard lock(stopMutex_);
    if (stopped_) return;
    stopped_ = true;
    // Never drained: from now on every poll in every thread sees it.
    const char signal = 1;
    while (::write(wakeWrite_, &signal, 1) < 0 && errno == EINTR) {
    }
    if (acceptThread_.joinable()) acceptThread_.join();
    closeIfOpen(listenFd_);
    for (auto& worker : workers_) worker.thread.join();
    workers_.clear();
    closeIfOpen(wakeRead_);
    closeIfOpen(wakeWrite_);
}

void HttpServer::reapFinished() {
    for (auto it = workers_.begin(); it != workers_.end();) {
        if (it->done.load(std::memory_order_acquire)) {
            it->thread.join();
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
}

void HttpServer::acceptLoop() {
    for (;;) {
        reapFinished();
        if (waitFor(wakeRead_, listenFd_, POLLIN, -1) != Wait::Ready) return;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            // Out of descriptors or memory: back off instead of spinning on a pending connection.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                if (waitFor(wakeRead_, -1, 0, 50) == Wait::Stopped) return;
            }
            continue;
        }
        Worker& worker = workers_.emplace_back();
        try {
            worker.thread = std::thread([this, fd, &worker] {
                serve(fd);
                worker.done.store(true, std::memory_order_release);
            });
        } catch (const std::system_error&) {
            ::close(fd);
            workers_.pop_back();
        }
    }
}

void HttpServer::serve(int fd) {
    Fd owned(fd);
    // A TLS write to a client that left raises SIGPIPE: blocked here, the write fails instead.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl(tls_ ? SSL_new(tls_) : nullptr, &SSL_free);
    Link link{wakeRead_, fd, ssl.get()};
    if (tls_ && (!ssl || SSL_set_fd(ssl.get(), fd) != 1 || !handshake(link))) {
        ERR_clear_error();
        return;
    }
    const auto head = readHead(link);
    if (!head) return;
    const auto request = parseHead(*head);

    HttpResponse response;
    if (!request) {
        response = {.status = 400, .body = "Bad Request\n"};
    } else {
        std::lock_guard lock(mutex_);
        Seen& seen = seen_[request->target];
        ++seen.hits;
        seen.headers = request->headers;
        if (request->method != "GET" && request->method != "HEAD") {
            response = {.status = 405, .body = "Method Not Allowed\n", .headers = {{"Allow", "GET, HEAD"}}};
        } else if (auto it = routes_.find(request->target); it != routes_.end()) {
            response = it->second;
        } else {
            response = {.status = 404, .body = "Not Found\n"};
        }
    }

    if (response.delayMs > 0 && waitFor(wakeRead_, -1, 0, response.delayMs) == Wait::Stopped) return;
    if (response.silent) {
        waitFor(wakeRead_, -1, 0, -1);
        return;
    }

    std::string out = "HTTP/1.1 " + std::to_string(response.status) + " " + reasonPhrase(response.status) + "\r\n";
    bool lengthGiven = false;
    for (const auto& [name, value] : response.headers) {
        out += name + ": " + value + "\r\n";
        lengthGiven = lengthGiven || equalsIgnoringCase(name, "Content-Length");
    }
    const size_t length = std::max(response.body.size(), response.streamedLength);
    if (!lengthGiven && !response.withoutLength) out += "Content-Length: " + std::to_string(length) + "\r\n";
    out += "Connection: close\r\n\r\n";

    const bool withBody = !request || request->method != "HEAD";
    bool sent = false;
    if (withBody && response.bytesPerSecond > 0) {
        sent = sendAll(link, out.data(), out.size()) && trickle(link, response.body, response.bytesPerSecond);
    } else {
        if (withBody) out += response.body;
        sent = sendAll(link, out.data(), out.size());
        if (withBody) sent = sent && pad(link, response.body.size(), length);
    }
    if (sent) lingeringClose(link);
}

}  // namespace orvik::test
