#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "support/HttpServer.h"

using orvik::test::HttpResponse;
using orvik::test::HttpServer;
using Clock = std::chrono::steady_clock;

namespace {

struct Fetched {
    CURLcode code = CURLE_OK;
    long status = 0;
    std::string body{};
};

Fetched fetch(const std::string& url, long timeoutMs = 10000, bool follow = false, const char* header = nullptr) {
    static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);  // once, even when threads race here
    if (initialised != CURLE_OK) return {initialised};
    CURL* curl = curl_easy_init();
    if (!curl) return {CURLE_FAILED_INIT};
    Fetched out;
    curl_slist* headers = header ? curl_slist_append(nullptr, header) : nullptr;
    auto write = +[](char* data, size_t, size_t n, void* body) {
        static_cast<std::string*>(body)->append(data, n);
        return n;
    };
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");  // a proxy in the environment must not intercept
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeoutMs);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, follow ? 1L : 0L);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, write);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &out.body);
    out.code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &out.status);
    curl_easy_cleanup(curl);
    curl_slist_free_all(headers);
    return out;
}

// Sends one raw request and reads until the server closes.
std::string exchange(uint16_t port, const std::string& request) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char chunk[4096];
        for (ssize_t n; (n = recv(fd, chunk, sizeof chunk, 0)) > 0;) reply.append(chunk, static_cast<size_t>(n));
    }
    close(fd);
    return reply;
}

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

}  // namespace

TEST(HttpServer, AnswersEachPathWithItsStatusAndBody) {
    HttpServer server;
    std::string large(8 << 20, '\0');  // far beyond a socket buffer
    for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 131 % 251);
    const struct {
        std::string path;
        int status;
        std::string body;
    } rows[] = {{"/a.crl", 200, std::string("0\x82\0\r\n\r\n", 7)},
                {"/big", 200, large},
                {"/busy", 503, "later"},
                {"/crl?serial=1", 200, "query"}};
    for (const auto& row : rows) server.set(row.path, HttpResponse{.status = row.status, .body = row.body});
    for (const auto& row : rows) {
        auto got = fetch(server.url(row.path));
        EXPECT_EQ(got.code, CURLE_OK) << row.path;
        EXPECT_EQ(got.status, row.status) << row.path;
        EXPECT_TRUE(got.body == row.body) << row.path << ": " << got.body.size() << " bytes";
    }
}

TEST(HttpServer, UnknownRemovedAndQuerylessPathsAnswer404) {
    HttpServer server;
    server.set("/gone", "x");
    server.remove("/gone");
    server.set("/crl?serial=1", "query");
    for (const char* path : {"/nothing", "/gone", "/crl"}) EXPECT_EQ(fetch(server.url(path)).status, 404) << path;
}

TEST(HttpServer, RedirectIsFollowedByTheClient) {
    HttpServer server;
    server.set("/old", HttpResponse{.status = 302, .headers = {{"Location", "/new"}}});
    server.set("/new", "moved here");
    auto got = fetch(server.url("/old"), 10000, true);
    EXPECT_EQ(got.status, 200);
    EXPECT_EQ(got.body, "moved here");
    EXPECT_EQ(server.hits("/old"), 1);
    EXPECT_EQ(server.hits("/new"), 1);
}

TEST(HttpServer, HeadSendsTheLengthButNoBody) {
    HttpServer server;
    server.set("/file", std::string(1000, 'b'));
    std::string reply = exchange(server.port(), "HEAD /file HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_TRUE(reply.starts_with("HTTP/1.1 200 ")) << reply;
    EXPECT_NE(reply.find("\r\nContent-Length: 1000\r\n"), std::string::npos) << reply;
    EXPECT_TRUE(reply.ends_with("\r\n\r\n")) << reply;
}

TEST(HttpServer, CountsHitsAndKeepsTheLastRequestHeaders) {
    HttpServer server;
    server.set("/crl", "list");
    for (int i = 1; i <= 3; ++i) fetch(server.url("/crl"), 10000, false, ("X-Attempt: " + std::to_string(i)).c_str());
    fetch(server.url("/unknown"));
    EXPECT_EQ(server.hits("/crl"), 3);
    EXPECT_EQ(server.hits("/unknown"), 1);  // a 404 is a request received too
    EXPECT_EQ(server.hits("/never"), 0);
    auto headers = server.requestHeaders("/crl");
    EXPECT_NE(std::find(headers.begin(), headers.end(), "X-Attempt: 3"), headers.end());
    EXPECT_EQ(std::find(headers.begin(), headers.end(), "X-Attempt: 2"), headers.end());
}

TEST(HttpServer, DelayAndTrickleSlowTheAnswerButKeepItWhole) {
    HttpServer server;
    server.set("/late", HttpResponse{.body = "late", .delayMs = 300});
    server.set("/slow", HttpResponse{.body = std::string(3000, 's'), .bytesPerSecond = 10000});
    for (const char* path : {"/late", "/slow"}) {
        auto start = Clock::now();
        auto got = fetch(server.url(path));
        EXPECT_GE(secondsSince(start), 0.28) << path;
        EXPECT_EQ(got.code, CURLE_OK) << path;
        EXPECT_EQ(got.body.size(), path == std::string("/late") ? 4u : 3000u) << path;
    }
}

TEST(HttpServer, SilentAndTrickledAnswersHoldNobodyUpAndStopEndsThem) {
    HttpServer server;
    server.set("/silent", HttpResponse{.silent = true});
    server.set("/trickle", HttpResponse{.body = std::string(100000, 't'), .bytesPerSecond = 1000});
    server.set("/ok", "ok");
    Fetched silent, trickle;
    std::thread a([&] { silent = fetch(server.url("/silent"), 20000); });
    std::thread b([&] { trickle = fetch(server.url("/trickle"), 20000); });
    EXPECT_EQ(fetch(server.url("/silent"), 1000).code, CURLE_OPERATION_TIMEDOUT);
    for (auto start = Clock::now(); server.hits("/silent") + server.hits("/trickle") < 3 && secondsSince(start) < 5;)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(fetch(server.url("/ok"), 2000).body, "ok");  // while the others are still pending
    auto start = Clock::now();
    server.stop();
    EXPECT_LT(secondsSince(start), 1.0);
    a.join();
    b.join();
    EXPECT_LT(secondsSince(start), 5.0);  // the clients saw the close, not their own timeout
    EXPECT_NE(silent.code, CURLE_OK);
    EXPECT_LT(trickle.body.size(), 100000u);
}

TEST(HttpServer, StoppedServerRefusesConnections) {
    HttpServer server;
    server.set("/crl", "list");
    server.stop();
    EXPECT_EQ(fetch(server.url("/crl")).code, CURLE_COULDNT_CONNECT);
}
