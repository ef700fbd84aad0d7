#include "CrlSource.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <openssl/pem.h>
#include <openssl/sha.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <map>
#include <optional>
#include <mutex>
#include <string_view>

#include <orvik/AtomicFile.h>
#include <orvik/Home.h>
#include <orvik/ReadFile.h>
#include <orvik/UniqueFd.h>

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

// A version of a cached file: a rewrite goes through a new file and a rename, so its inode,
// times or size differ.
struct FileVersion {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{}, ctime{};

    explicit FileVersion(const struct stat& st)
        : dev(st.st_dev), ino(st.st_ino), size(st.st_size), mtime(st.st_mtim), ctime(st.st_ctim) {}
    bool operator==(const FileVersion& o) const {
        return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

// The parsed list of one cached file. Its own lock lets one thread parse while the checks of
// other lists go on.
struct Slot {
    std::mutex lock;
    std::optional<FileVersion> version;
    std::shared_ptr<const CachedCrl> list;
    uint64_t lastUse = 0;
};

// A few lists are kept: each parsed 2 MB list holds several times that in memory.
constexpr size_t kParsedLists = 8;

std::mutex& slotsLock() {
    static std::mutex lock;
    return lock;
}

std::map<std::string, std::shared_ptr<Slot>>& slots() {
    static std::map<std::string, std::shared_ptr<Slot>> map;
    return map;
}

std::shared_ptr<Slot> slotOf(const std::string& path) {
    static uint64_t uses = 0;
    std::lock_guard guard(slotsLock());
    auto& map = slots();
    auto it = map.find(path);
    if (it == map.end()) {
        if (map.size() >= kParsedLists) {
            auto oldest = map.begin();
            for (auto i = map.begin(); i != map.end(); ++i)
                if (i->second->lastUse < oldest->second->lastUse) oldest = i;
            map.erase(oldest);
        }
        it = map.emplace(path, std::make_shared<Slot>()).first;
    }
    it->second->lastUse = ++uses;
    return it->second;
}

}  // namespace

CachedCrl::CachedCrl(ossl::X509CrlPtr crl, time_t storedAt) : crl_(std::move(crl)), storedAt_(storedAt) {
    // The first lookup sorts the entries; done here, before any other thread sees the list.
    X509_REVOKED* entry = nullptr;
    ossl::Owned<ASN1_INTEGER, ASN1_INTEGER_free> none(ASN1_INTEGER_new());
    if (crl_ && none) X509_CRL_get0_by_serial(crl_.get(), &entry, none.get());
}

bool CachedCrl::signedBy(X509* issuer) const {
    if (!crl_ || !issuer) return false;
    std::lock_guard guard(lock_);
    for (const auto& [known, good] : checked_)
        if (X509_cmp(known.get(), issuer) == 0) return good;
    bool good = X509_NAME_cmp(X509_CRL_get_issuer(crl_.get()), X509_get_subject_name(issuer)) == 0;
    if (good) {
        EVP_PKEY* key = X509_get0_pubkey(issuer);
        good = key && X509_CRL_verify(crl_.get(), key) == 1;
    }
    X509_up_ref(issuer);
    checked_.emplace_back(ossl::X509Ptr(issuer), good);
    return good;
}

std::shared_ptr<const CachedCrl> CrlSource::cached(const std::string& url) {
    const std::string path = cachePath(url);
    std::shared_ptr<Slot> slot = slotOf(path);
    std::lock_guard guard(slot->lock);
    // The version is taken from the descriptor that is read, so a rename in between cannot pair
    // an old list with a new version.
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        slot->version.reset();
        slot->list.reset();
        return nullptr;
    }
    FileVersion version(st);
    if (slot->version && *slot->version == version) return slot->list;
    std::string bytes;
    ossl::X509CrlPtr crl;
    if (st.st_size <= static_cast<off_t>(kMaxCrl) && readBounded(fd.get(), bytes, kMaxCrl)) crl = parse(bytes);
    slot->version = version;
    slot->list = crl ? std::make_shared<const CachedCrl>(std::move(crl), st.st_mtim.tv_sec) : nullptr;
    return slot->list;
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

bool CrlSource::store(const std::string& url, const std::shared_ptr<const CachedCrl>& list) {
    std::string home;
    if (!list || !ensureHomeDir(home)) return false;
    std::string dir = home + "/crl-cache";
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
    unsigned char* der = nullptr;
    int n = i2d_X509_CRL(list->get(), &der);
    if (n <= 0) return false;
    const std::string path = cachePath(url);
    std::shared_ptr<Slot> slot = slotOf(path);
    std::lock_guard guard(slot->lock);
    const bool ok = writeFileAtomically(path, std::string_view(reinterpret_cast<char*>(der), static_cast<size_t>(n)));
    OPENSSL_free(der);
    struct stat st {};
    if (!ok || stat(path.c_str(), &st) != 0) {
        slot->version.reset();
        slot->list.reset();
        return false;
    }
    // The downloaded list stands for the file just written: it need not be read back.
    slot->version = FileVersion(st);
    slot->list = list;
    return true;
}

bool CrlSource::recentlyFetched(const std::string& url) {
    std::lock_guard guard(recentLock());
    auto it = recent().find(url);
    return it != recent().end() && std::chrono::steady_clock::now() - it->second < std::chrono::minutes(1);
}

std::unique_lock<std::mutex> CrlSource::fetchLock(const std::string& url) {
    static std::mutex lock;
    static std::map<std::string, std::unique_ptr<std::mutex>> perUrl;
    std::mutex* mine = nullptr;
    {
        std::lock_guard guard(lock);
        auto& slot = perUrl[url];
        if (!slot) slot = std::make_unique<std::mutex>();
        mine = slot.get();
    }
    return std::unique_lock<std::mutex>(*mine);
}

}  // namespace orvik::crypt
