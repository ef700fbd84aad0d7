#include "UpdateFile.h"

#include <curl/curl.h>
#include <openssl/evp.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <optional>

#include <orvik/AtomicFile.h>
#include <orvik/Deployment.h>
#include <windows.h>

#include "UpdateTrust.h"

namespace {

using updatetrust::kNoServer;
constexpr const char* kUntrustedServer = updatetrust::kServerUntrusted;
constexpr int kMaxRedirects = 5;

using Clock = std::chrono::steady_clock;

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
struct UrlDeleter {
    void operator()(CURLU* u) const { curl_url_cleanup(u); }
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

// The scheme and host of an absolute address, lower-cased; false when it is not one.
bool schemeAndHost(const std::string& url, std::string& scheme, std::string& host) {
    std::unique_ptr<CURLU, UrlDeleter> u(curl_url());
    if (!u || curl_url_set(u.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return false;
    char* part = nullptr;
    if (curl_url_get(u.get(), CURLUPART_SCHEME, &part, 0) != CURLUE_OK) return false;
    scheme = lowered(part);
    curl_free(part);
    if (curl_url_get(u.get(), CURLUPART_HOST, &part, 0) != CURLUE_OK) return false;
    host = lowered(part);
    curl_free(part);
    return true;
}

// Where a body goes: the temporary file, counted, capped and hashed, with the caller's progress.
struct Sink {
    CURL* curl = nullptr;
    orvik::AtomicFile* file = nullptr;
    long long received = 0;
    long long limit = -1;
    bool tooLarge = false;
    bool writeFailed = false;
    bool cancelled = false;
    EVP_MD_CTX* md = nullptr;
    const UpdateFile::Progress* progress = nullptr;
};

size_t toSink(char* data, size_t size, size_t count, void* user) {
    auto* sink = static_cast<Sink*>(user);
    const size_t total = size * count;
    long status = 0;
    curl_easy_getinfo(sink->curl, CURLINFO_RESPONSE_CODE, &status);
    // A redirect's body is not the file.
    if (status != 200) return total;
    // Stopped before a byte past the limit is written.
    if (sink->limit >= 0 && sink->received + static_cast<long long>(total) > sink->limit) {
        sink->tooLarge = true;
        return 0;
    }
    if (!sink->file->write(data, total)) {
        sink->writeFailed = true;
        return 0;
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
    case CURLE_PARTIAL_FILE:
    case CURLE_TOO_MANY_REDIRECTS: return true;
    default: return false;
    }
}

// Why a request that got no usable answer failed.
UpdateFile::Failure transportFailure(CURLcode code) {
    if (code == CURLE_PEER_FAILED_VERIFICATION || code == CURLE_SSL_CACERT_BADFILE)
        return UpdateFile::Failure::Certificate;
    return unreachable(code) ? UpdateFile::Failure::Unreachable : UpdateFile::Failure::NotThere;
}

const char* transportText(UpdateFile::Failure failure) {
    return failure == UpdateFile::Failure::Certificate ? kUntrustedServer : kNoServer;
}

bool isRedirect(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

}  // namespace

struct UpdateFile::Session {
    std::unique_ptr<CURL, CurlDeleter> curl;
    std::unique_ptr<curl_slist, SlistDeleter> headers;
    std::string base;  // scheme://host[:port]
    std::string scheme, host;
    std::string serverCa;                 // PEM, or empty for the system's bundle
    std::vector<std::string> otherHosts;  // redirects may lead there
    long shortLimit = 30;
    std::optional<Clock::time_point> deadline;
    bool quiet = false;
    Failure failure = Failure::None;

    // One request, its redirects followed by hand so each is checked; the final status, or 0.
    long request(std::string url, bool head, bool bounded, Sink* sink, CURLcode& code, bool& refused);
    bool redirectAllowed(const std::string& url) const;
};

bool UpdateFile::Session::redirectAllowed(const std::string& url) const {
    std::string toScheme, toHost;
    if (!schemeAndHost(url, toScheme, toHost)) return false;
    if (toScheme != "https" && (toScheme != "http" || scheme == "https")) return false;
    if (toHost == host) return true;
    return std::find(otherHosts.begin(), otherHosts.end(), toHost) != otherHosts.end();
}

long UpdateFile::Session::request(std::string url, bool head, bool bounded, Sink* sink, CURLcode& code, bool& refused) {
    CURL* c = curl.get();
    refused = false;
    for (int hop = 0;; ++hop) {
        long long timeoutMs = bounded ? shortLimit * 1000LL : 0;
        if (deadline) {
            const long long left =
                std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now()).count();
            if (left <= 0) {
                code = CURLE_OPERATION_TIMEDOUT;
                return 0;
            }
            timeoutMs = timeoutMs > 0 ? std::min(timeoutMs, left) : left;
        }
        curl_easy_reset(c);
        curl_easy_setopt(c, CURLOPT_URL, url.c_str());
        curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, scheme == "https" ? "https" : "http,https");
        curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, 5L);
        // A transfer that stalls below a byte a second for half a minute is dead.
        curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, 30L);
        curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(timeoutMs));
        curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
        curl_easy_setopt(c, CURLOPT_NOBODY, head ? 1L : 0L);
        // An error page never reaches the file.
        curl_easy_setopt(c, CURLOPT_FAILONERROR, head ? 0L : 1L);
        curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, sink ? toSink : discard);
        curl_easy_setopt(c, CURLOPT_WRITEDATA, sink);
        if (sink && sink->limit >= 0)
            curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(sink->limit));
        if (!serverCa.empty()) {
            curl_blob blob{const_cast<char*>(serverCa.data()), serverCa.size(), CURL_BLOB_COPY};
            curl_easy_setopt(c, CURLOPT_CAINFO_BLOB, &blob);
            curl_easy_setopt(c, CURLOPT_CAINFO, nullptr);
            curl_easy_setopt(c, CURLOPT_CAPATH, nullptr);
        }
        code = curl_easy_perform(c);
        long status = 0;
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
        if (code != CURLE_OK || !isRedirect(status)) return status;
        char* location = nullptr;
        curl_easy_getinfo(c, CURLINFO_REDIRECT_URL, &location);
        if (!location) return status;
        if (hop == kMaxRedirects) {
            code = CURLE_TOO_MANY_REDIRECTS;
            return 0;
        }
        if (!redirectAllowed(location)) {
            refused = true;
            return 0;
        }
        url = location;
    }
}

UpdateFile::UpdateFile(std::string server_, int, std::string, std::string) : server(std::move(server_)) {}

UpdateFile::~UpdateFile() = default;

bool UpdateFile::OpenConnection() {
    session.reset();
    std::string base = server;
    // Plain HTTP only when the deployment says so in the address.
    if (base.find("://") == std::string::npos) base = "https://" + base;
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
    std::string parsedScheme;
    if (!schemeAndHost(base, parsedScheme, s->host)) return false;
    s->base = base;
    s->scheme = scheme;
    s->shortLimit = static_cast<long>(orvik::deployment::number(orvik::deployment::kUpdateTimeout));
    if (s->shortLimit <= 0) s->shortLimit = 30;
    s->serverCa = orvik::deployment::text(orvik::deployment::kUpdateServerCa);
    if (s->serverCa.find_first_not_of(" \t\r\n") == std::string::npos) s->serverCa.clear();
    std::string hosts = orvik::deployment::text(orvik::deployment::kUpdateRedirectHosts);
    for (char& ch : hosts)
        if (ch == ',' || ch == '\t' || ch == '\r' || ch == '\n') ch = ' ';
    for (size_t at = 0; at < hosts.size();) {
        size_t end = std::min(hosts.find(' ', at), hosts.size());
        std::string name = lowered(hosts.substr(at, end - at));
        // A port given with a host changes nothing: hosts are compared.
        if (name.find(':') != std::string::npos && name.front() != '[') name.erase(name.find(':'));
        if (!name.empty()) s->otherHosts.push_back(name);
        at = end + 1;
    }
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

void UpdateFile::SetDeadline(long seconds) {
    if (session) session->deadline = Clock::now() + std::chrono::seconds(seconds);
}

void UpdateFile::SetQuiet(bool quiet) {
    if (session) session->quiet = quiet;
}

bool UpdateFile::LastTransportFailed() const {
    return session && (session->failure == Failure::Unreachable || session->failure == Failure::Certificate);
}

UpdateFile::Failure UpdateFile::LastFailure() const { return session ? session->failure : Failure::None; }

std::string UpdateFile::LastFailureText(const std::string& name) const {
    switch (LastFailure()) {
    case Failure::Redirect: return updatetrust::kRedirectRefused;
    case Failure::Certificate: return updatetrust::kServerUntrusted;
    case Failure::TooLarge:
    case Failure::Mismatch: return updatetrust::withName(updatetrust::kFileMismatch, name);
    default: return kNoServer;
    }
}

std::string UpdateFile::UrlOf(const std::string& remotePath) const {
    return (session ? session->base : std::string()) + percentEncoded(remotePath);
}

int UpdateFile::FileIsExistOnServer(std::string remotePath) {
    if (!session) return 0;
    session->failure = Failure::None;
    CURLcode code = CURLE_OK;
    bool refused = false;
    long status = session->request(UrlOf(remotePath), true, true, nullptr, code, refused);
    if (refused) {
        session->failure = Failure::Redirect;
        return 0;
    }
    if (code != CURLE_OK) {
        session->failure = transportFailure(code);
        if (LastTransportFailed() && !session->quiet)
            MessageBoxA(nullptr, transportText(session->failure), "提示", MB_OK | MB_ICONWARNING);
        return 0;
    }
    if (status != 200) session->failure = Failure::NotThere;
    return status == 200 ? 1 : 0;
}

long long UpdateFile::GetAllFileSize(std::vector<std::string>& remotePaths) {
    if (!session) return -1;
    long long total = 0;
    for (const std::string& path : remotePaths) {
        CURLcode code = CURLE_OK;
        bool refused = false;
        long status = session->request(UrlOf(path), true, true, nullptr, code, refused);
        curl_off_t length = -1;
        curl_easy_getinfo(session->curl.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        if (refused || code != CURLE_OK || status != 200 || length < 0) return -1;
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
    session->failure = Failure::None;
    orvik::AtomicFile out(localPath, static_cast<mode_t>(expect.mode));
    if (!out.ok()) {
        session->failure = Failure::Local;
        return 0;
    }
    Sink sink;
    sink.curl = session->curl.get();
    sink.file = &out;
    sink.limit = expect.size >= 0 ? expect.size : expect.maxSize;
    std::unique_ptr<EVP_MD_CTX, MdDeleter> md(EVP_MD_CTX_new());
    if (md && EVP_DigestInit_ex(md.get(), EVP_sha256(), nullptr) == 1) sink.md = md.get();
    sink.progress = &progress;

    CURLcode code = CURLE_OK;
    bool refused = false;
    long status = session->request(UrlOf(remotePath), false, expect.bounded, &sink, code, refused);
    Failure failure = Failure::None;
    if (refused) {
        failure = Failure::Redirect;
    } else if (sink.tooLarge || code == CURLE_FILESIZE_EXCEEDED) {
        failure = Failure::TooLarge;
    } else if (sink.cancelled) {
        failure = Failure::Cancelled;
    } else if (sink.writeFailed) {
        failure = Failure::Local;
    } else if (code != CURLE_OK) {
        failure = transportFailure(code);
    } else if (status != 200 || sink.received == 0) {
        failure = Failure::NotThere;
    } else if (expect.size >= 0 && sink.received != expect.size) {
        failure = Failure::Mismatch;
    } else if (!expect.sha256.empty()) {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        char hex[2 * EVP_MAX_MD_SIZE + 1] = {};
        if (sink.md && EVP_DigestFinal_ex(sink.md, digest, &length) == 1) {
            for (unsigned int i = 0; i < length; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
        }
        if (lowered(expect.sha256) != hex) failure = Failure::Mismatch;
    }
    if (failure == Failure::None && !out.commit()) failure = Failure::Local;
    if (failure != Failure::None) {
        out.discard();
        session->failure = failure;
        if (LastTransportFailed() && !session->quiet)
            MessageBoxA(nullptr, transportText(failure), "提示", MB_OK | MB_ICONWARNING);
        return 0;
    }
    return sink.received;
}
