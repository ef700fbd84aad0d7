// A small HTTP/1.1 server on 127.0.0.1 for tests, plain or over TLS: a canned answer per path,
// with delays, silence, trickled and generated bodies to imitate slow, dead or hostile servers.
// Every answer closes its connection.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

typedef struct ssl_ctx_st SSL_CTX;

namespace orvik::test {

// The {} let callers leave members out of designated initializers without -Wmissing-field-initializers.
struct HttpResponse {
    int status = 200;
    std::string body{};
    // Extra headers, e.g. {"Location", "/x"}. A Content-Length given here is sent instead of the
    // true one, so a test can imitate a body cut short.
    std::vector<std::pair<std::string, std::string>> headers{};
    int delayMs = 0;            // wait before answering
    bool silent = false;        // read the request, never answer (until stop())
    size_t bytesPerSecond = 0;  // when > 0, trickle the body at about this rate
    // When larger than the body: the body, then blanks made while sending up to this many bytes
    // in all, so a huge answer needs no memory.
    size_t streamedLength = 0;
    bool withoutLength = false;  // no Content-Length: the body ends when the connection closes
};

// What a TLS server presents: its certificate, key and the certificates between it and the root.
struct TlsIdentity {
    std::string certPem{};
    std::string keyPem{};
    std::string chainPem{};
};

class HttpServer {
public:
    HttpServer();  // binds 127.0.0.1 on a free port and starts serving; throws std::runtime_error
    explicit HttpServer(const TlsIdentity& tls);  // the same over TLS
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    uint16_t port() const { return port_; }
    std::string url(const std::string& path) const;  // "http[s]://127.0.0.1:PORT" + path

    // Exact match on the request target, query string included; unknown paths get 404.
    void set(const std::string& path, HttpResponse response);
    void set(const std::string& path, std::string body);  // 200 with that body
    void remove(const std::string& path);

    // Requests received for the path, whatever their method or answer; counted before answering.
    int hits(const std::string& path) const;
    // The header lines ("Name: value") of the last request for the path, without the request line.
    std::vector<std::string> requestHeaders(const std::string& path) const;

    // Closes the port and joins every thread, interrupting silent, delayed and trickled answers.
    void stop();

private:
    struct Worker {
        std::thread thread;
        std::atomic<bool> done{false};
    };
    struct Seen {
        int hits = 0;
        std::vector<std::string> headers;
    };

    void start();
    void acceptLoop();
    void serve(int fd);
    void reapFinished();

    int listenFd_ = -1;
    int wakeRead_ = -1;  // readable once stop() begins: every wait polls it
    int wakeWrite_ = -1;
    uint16_t port_ = 0;
    SSL_CTX* tls_ = nullptr;

    mutable std::mutex mutex_;  // guards routes_ and seen_
    std::map<std::string, HttpResponse> routes_;
    std::map<std::string, Seen> seen_;

    std::mutex stopMutex_;
    bool stopped_ = false;
    std::list<Worker> workers_;  // the accept thread's while it runs, then stop()'s
    std::thread acceptThread_;
};

}  // namespace orvik::test
