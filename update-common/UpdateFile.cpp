#include "UpdateFile.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <mutex>

#include <orvik/Deployment.h>
#include <windows.h>

namespace {

constexpr const char* kNoServer = "无法连接服务器，请稍候重试";

void initCurl() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct CurlDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct SlistDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
struct MdDeleter {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

bool isUnreserved(unsigned char c) { return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~'; }

std::string percentEncoded(const std::string& path) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        if (isUnreserved(c) || c == '/') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string lowered(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Where a body goes: the open .part file, counted and hashed, with the caller's progress.
struct Sink {
    int fd = -1;
    long long received = 0;
    bool writeFailed = false;
    bool cancelled = false;
    EVP_MD_CTX* md = nullptr;
    const UpdateFile::Progress* progress = nullptr;
};

size_t toSink(char* data, size_t size, size_t count, void* user) {
    auto* sink = static_cast<Sink*>(user);
    size_t total = size * count;
    const char* p = data;
    size_t left = total;
    while (left > 0) {
        ssize_t n = ::write(sink->fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            sink->writeFailed = true;
            return 0;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    if (sink->md) EVP_DigestUpdate(sink->md, data, total);
    sink->received += static_cast<long long>(total);
    if (sink->progress && *sink->progress && !(*sink->progress)(sink->received)) {
        sink->cancelled = true;
        return 0;
    }
    return total;
}

size_t discard(char*, size_t size, size_t count, void*) { return size * count; }

}  // namespace

struct UpdateFile::Session {
    std::unique_ptr<CURL, CurlDeleter> curl;
    std::unique_ptr<curl_slist, SlistDeleter> headers;
    std::string base;  // scheme://host[:port]
    long shortLimit = 30;
    bool quiet = false;
    bool transportFailed = false;
};

UpdateFile::UpdateFile(std::string server_, int, std::string, std::string) : server(std::move(server_)) {}

UpdateFile::~UpdateFile() = default;

bool UpdateFile::OpenConnection() {
    session.reset();
    std::string base = server;
    if (base.find("://") == std::string::npos) base = "http://" + base;
    // Only the host's trailing slashes: "http://" alone must stay without a host.
    while (base.size() > base.find("://") + 3 && base.back() == '/') base.pop_back();
    const std::string scheme = lowered(base.substr(0, base.find("://")));
    const std::string host = base.substr(base.find("://") + 3);
    if ((scheme != "http" && scheme != "https") || host.empty()) return false;
    for (unsigned char c : host)
        if (c <= ' ' || c == '/' || c == '\\' || c == '?' || c == '#' || c == '@' || c >= 0x7f) return false;

    initCurl();
    auto s = std::make_unique<Session>();
    s->curl.reset(curl_easy_init());
    if (!s->curl) return false;
    s->base = base;
    s->shortLimit = static_cast<long>(orvik::deployment::number(orvik::deployment::kUpdateTimeout));
    if (s->shortLimit <= 0) s->shortLimit = 30;
    curl_slist* list = curl_slist_append(nullptr, "Cache-Control: no-cache");
    list = curl_slist_append(list, "Pragma: no-cache");
    s->headers.reset(list);
    session = std::move(s);
    return true;
}

int UpdateFile::CloseConnection() {
    session.reset();
    return 100;
}

bool UpdateFile::IsConnected() const { return session != nullptr; }

void UpdateFile::SetShortRequestLimit(long seconds) {
    if (session) session->shortLimit = seconds;
}

void UpdateFile::SetQuiet(bool quiet) {
    if (session) session->quiet = quiet;
}

bool UpdateFile::LastTransportFailed() const { return session && session->transportFailed; }

std::string UpdateFile::UrlOf(const std::string& remotePath) const {
    return (session ? session->base : std::string()) + percentEncoded(remotePath);
}

namespace {

// One request on the session's handle; the status, or 0 when the server could not be reached.
// `limit` bounds the whole request in seconds (0: only the stall limit applies).
long perform(CURL* curl, curl_slist* headers, const std::string& url, bool head, long limit, void* sink,
             curl_write_callback write, CURLcode& code) {
    curl_easy_reset(curl);
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 5L);
    // A transfer that stalls below a byte a second for half a minute is dead.
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 30L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, limit);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_NOBODY, head ? 1L : 0L);
    // An error page never reaches the file.
    curl_easy_setopt(curl, CURLOPT_FAILONERROR, head ? 0L : 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, write);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, sink);
    code = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    return status;
}

bool unreachable(CURLcode code) {
    switch (code) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_PARTIAL_FILE:
    case CURLE_TOO_MANY_REDIRECTS: return true;
    default: return false;
    }
}

}  // namespace

int UpdateFile::FileIsExistOnServer(std::string remotePath) {
    if (!session) return 0;
    session->transportFailed = false;
    CURLcode code = CURLE_OK;
    long status = perform(session->curl.get(), session->headers.get(), UrlOf(remotePath), true, session->shortLimit,
                          nullptr, discard, code);
    if (code != CURLE_OK) {
        session->transportFailed = unreachable(code);
        if (session->transportFailed && !session->quiet)
            MessageBoxA(nullptr, kNoServer, "提示", MB_OK | MB_ICONWARNING);
        return 0;
    }
    return status == 200 ? 1 : 0;
}

long long UpdateFile::GetAllFileSize(std::vector<std::string>& remotePaths) {
    if (!session) return -1;
    long long total = 0;
    for (const std::string& path : remotePaths) {
        CURLcode code = CURLE_OK;
        long status = perform(session->curl.get(), session->headers.get(), UrlOf(path), true, session->shortLimit,
                              nullptr, discard, code);
        curl_off_t length = -1;
        curl_easy_getinfo(session->curl.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        if (code != CURLE_OK || status != 200 || length < 0) return -1;
        total += length;
    }
    return total;
}

long long UpdateFile::GetFile(std::string remotePath, std::string localPath) {
    return GetFile(remotePath, localPath, Expect{});
}

long long UpdateFile::GetFile(const std::string& remotePath, const std::string& localPath, const Expect& expect,
                              const Progress& progress) {
    if (!session || localPath.empty()) return 0;
    session->transportFailed = false;
    const std::string part = localPath + ".part";
    ::unlink(part.c_str());
    Sink sink;
    sink.fd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (sink.fd < 0) return 0;
    std::unique_ptr<EVP_MD_CTX, MdDeleter> md(EVP_MD_CTX_new());
    if (md && EVP_DigestInit_ex(md.get(), EVP_sha256(), nullptr) == 1) sink.md = md.get();
    sink.progress = &progress;

    CURLcode code = CURLE_OK;
    long status = perform(session->curl.get(), session->headers.get(), UrlOf(remotePath), false,
                          expect.bounded ? session->shortLimit : 0, &sink, toSink, code);
    bool ok = code == CURLE_OK && status == 200 && sink.received > 0 && !sink.writeFailed;
    if (ok && expect.size >= 0) ok = sink.received == expect.size;
    if (ok && !expect.sha256.empty() && sink.md) {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(sink.md, digest, &length);
        char hex[2 * EVP_MAX_MD_SIZE + 1] = {};
        for (unsigned int i = 0; i < length; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
        ok = lowered(expect.sha256) == hex;
    }
    ok = ok && fchmod(sink.fd, static_cast<mode_t>(expect.mode)) == 0 && fsync(sink.fd) == 0;
    ok = ::close(sink.fd) == 0 && ok;
    if (ok) ok = ::rename(part.c_str(), localPath.c_str()) == 0;
    if (!ok) {
        ::unlink(part.c_str());
        if (code != CURLE_OK && unreachable(code)) {
            session->transportFailed = true;
            if (!session->quiet) MessageBoxA(nullptr, kNoServer, "提示", MB_OK | MB_ICONWARNING);
        }
        return 0;
    }
    return sink.received;
}
