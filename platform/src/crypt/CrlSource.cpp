#include "CrlSource.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <openssl/pem.h>
#include <openssl/sha.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cerrno>
#include <map>
#include <mutex>
#include <string_view>

#include <orvik/AtomicFile.h>
#include <orvik/Home.h>
#include <orvik/ReadFile.h>

namespace orvik::crypt {

namespace {

constexpr size_t kMaxCrl = 16 * 1024 * 1024;

std::string cachePath(const std::string& url) {
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(url.data()), url.size(), digest);
    static const char hex[] = "0123456789abcdef";
    std::string name;
    for (unsigned char b : digest) {
        name.push_back(hex[b >> 4]);
        name.push_back(hex[b & 15]);
    }
    return homeDir() + "/crl-cache/" + name + ".crl";
}

ossl::X509CrlPtr parse(const std::string& bytes) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
    ossl::X509CrlPtr crl(d2i_X509_CRL(nullptr, &p, static_cast<long>(bytes.size())));
    if (crl) return crl;
    ossl::BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    return ossl::X509CrlPtr(PEM_read_bio_X509_CRL(bio.get(), nullptr, nullptr, nullptr));
}

size_t collect(char* data, size_t size, size_t count, void* user) {
    auto* out = static_cast<std::string*>(user);
    size_t n = size * count;
    if (out->size() + n > kMaxCrl) return 0;  // aborts the transfer
    out->append(data, n);
    return n;
}

struct CurlGlobal {
    CurlGlobal() { curl_global_init(CURL_GLOBAL_DEFAULT); }
};

std::mutex& recentLock() {
    static std::mutex lock;
    return lock;
}

std::map<std::string, std::chrono::steady_clock::time_point>& recent() {
    static std::map<std::string, std::chrono::steady_clock::time_point> map;
    return map;
}

}  // namespace

ossl::X509CrlPtr CrlSource::cached(const std::string& url) {
    std::string bytes;
    if (!readRegularFile(cachePath(url), bytes, kMaxCrl)) return nullptr;
    return parse(bytes);
}

ossl::X509CrlPtr CrlSource::fetch(const std::string& url) {
    {
        std::lock_guard guard(recentLock());
        recent()[url] = std::chrono::steady_clock::now();
    }
    if (url.rfind("http://", 0) != 0 && url.rfind("https://", 0) != 0) return nullptr;
    static CurlGlobal global;
    using CurlPtr = ossl::Owned<CURL, curl_easy_cleanup>;
    CurlPtr curl(curl_easy_init());
    if (!curl) return nullptr;
    std::string body;
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl.get(), CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl.get(), CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(curl.get(), CURLOPT_CONNECTTIMEOUT, 10L);
    curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, 15L);
    curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxCrl));
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &body);
    if (curl_easy_perform(curl.get()) != CURLE_OK) return nullptr;
    long status = 0;
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) return nullptr;
    return parse(body);
}

bool CrlSource::store(const std::string& url, X509_CRL* crl) {
    std::string home;
    if (!ensureHomeDir(home)) return false;
    std::string dir = home + "/crl-cache";
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
    unsigned char* der = nullptr;
    int n = i2d_X509_CRL(crl, &der);
    if (n <= 0) return false;
    const bool ok =
        writeFileAtomically(cachePath(url), std::string_view(reinterpret_cast<char*>(der), static_cast<size_t>(n)));
    OPENSSL_free(der);
    return ok;
}

bool CrlSource::recentlyFetched(const std::string& url) {
    std::lock_guard guard(recentLock());
    auto it = recent().find(url);
    return it != recent().end() && std::chrono::steady_clock::now() - it->second < std::chrono::minutes(1);
}

}  // namespace orvik::crypt
