#include "KeyContainer.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include <orvik/AtomicFile.h>
#include <orvik/CodePage.h>
#include <orvik/Home.h>
#include <orvik/PendingKeyContainer.h>
#include <orvik/TempFile.h>
#include <winbase.h>
#include <winreg.h>

#include <set>
#include <vector>

#include "../registry/RegistryInternal.h"
#include "../secret/Notices.h"
#include "../secret/SealedContainer.h"
#include "CertStore.h"
#include "KeyProvInfo.h"
#include "StoreEntry.h"

namespace orvik::crypt {

namespace {

const char kMagic[8] = {'O', 'R', 'V', 'K', 'E', 'Y', '0', '2'};
// Two RSA key pairs of the largest size take a few kilobytes; anything near this is not ours.
constexpr off_t kMostBytes = 1 << 20;

const char kLocked[] = "密钥环已锁定，无法使用私钥。请解锁后重试。";
const char kLockedSave[] = "密钥环已锁定，无法保存私钥。请解锁后重试。";
const char kNoService[] = "找不到密钥环服务，无法使用受其保护的私钥。请在桌面会话中重试。";
const char kKeyMissing[] = "密钥环中没有保护此私钥的密钥，无法使用私钥。";
const char kFailed[] = "密钥环出错，无法使用私钥。";
const char kFailedSave[] = "密钥环出错，私钥未保存。";

std::string hexName(const std::string& name) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : name) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out.empty() ? std::string("-") : out;
}

std::string folderOf(bool machine) { return homeDir() + (machine ? "/keys/machine" : "/keys/user"); }

// What a sealed container is bound to: it opens under this name and scope only.
std::string contextOf(const std::string& name, bool machine) { return (machine ? "machine:" : "user:") + name; }

bool ensureDir(const std::string& dir) { return mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST; }

void put32(SecretBytes& out, DWORD v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<BYTE>(v >> (8 * i)));
}

DWORD get32(const BYTE* p) {
    return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 | static_cast<DWORD>(p[2]) << 16 |
           static_cast<DWORD>(p[3]) << 24;
}

SecretBytes serialize(const std::map<DWORD, StoredKey>& keys) {
    SecretBytes bytes(kMagic, kMagic + sizeof kMagic);
    for (const auto& [keySpec, key] : keys) {
        put32(bytes, keySpec);
        put32(bytes, key.flags);
        put32(bytes, static_cast<DWORD>(key.blob.size()));
        bytes.insert(bytes.end(), key.blob.begin(), key.blob.end());
    }
    return bytes;
}

bool parse(const SecretBytes& bytes, std::map<DWORD, StoredKey>& keys) {
    bool ok = bytes.size() >= sizeof kMagic && std::memcmp(bytes.data(), kMagic, sizeof kMagic) == 0;
    size_t at = sizeof kMagic;
    while (ok && at < bytes.size()) {
        if (bytes.size() - at < 12) {
            ok = false;
            break;
        }
        DWORD keySpec = get32(bytes.data() + at);
        DWORD flags = get32(bytes.data() + at + 4);
        DWORD length = get32(bytes.data() + at + 8);
        at += 12;
        if (length > bytes.size() - at) {
            ok = false;
            break;
        }
        keys[keySpec].flags = flags;
        keys[keySpec].blob.assign(bytes.begin() + static_cast<ptrdiff_t>(at),
                                  bytes.begin() + static_cast<ptrdiff_t>(at + length));
        at += length;
    }
    if (!ok) keys.clear();
    return ok;
}

// The whole container file, refused unless it is a regular file of a container's size.
bool readContainer(const std::string& path, SecretBytes& bytes) {
    bytes.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kMostBytes;
    if (ok) {
        // One byte more than the size: a file that grew meanwhile is read to its new end or refused.
        bytes.resize(static_cast<size_t>(st.st_size) + 1);
        size_t have = 0;
        while (have < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + have, bytes.size() - have);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                ok = n == 0;
                break;
            }
            have += static_cast<size_t>(n);
        }
        ok = ok && have <= static_cast<size_t>(st.st_size);
        bytes.resize(ok ? have : 0);
    }
    ::close(fd);
    return ok;
}

// Holds the container folder against other writers: a key written by one process is never put
// back to its old form by another that sealed what it had read before.
class FolderLock {
public:
    explicit FolderLock(const std::string& dir) : fd_(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (fd_ >= 0) {
            while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    ~FolderLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    int fd_;
};

bool writeContainer(const std::string& path, const SecretBytes& bytes) {
    AtomicFile file(path, 0600);
    if (file.write(bytes.data(), bytes.size()) && file.commit()) return true;
    errno = file.error();
    return false;
}

// Seals a plain container in place; a kill at any point leaves the plain file or the sealed one,
// each whole. Whatever keeps it from being sealed now leaves it as it is, and the reason in
// `problem`.
KeyContainer::Sealing sealInPlace(const std::string& name, bool machine, const std::string& path,
                                  const SecretBytes& plain, std::string& problem) {
    SecretBytes sealed;
    switch (secret::seal(contextOf(name, machine), plain, sealed, problem)) {
    case secret::Outcome::Ok: break;
    case secret::Outcome::Absent: secret::noteKeysStayPlain(); return KeyContainer::Sealing::NoService;
    case secret::Outcome::NotFound:
    case secret::Outcome::Locked: return KeyContainer::Sealing::Locked;
    case secret::Outcome::Failed: return KeyContainer::Sealing::Failed;
    }
    FolderLock lock(folderOf(machine));
    SecretBytes now;
    // Another process may have written the container since: its version stands.
    if (!readContainer(path, now) || now != plain) return KeyContainer::Sealing::Done;
    if (!writeContainer(path, sealed)) {
        problem = std::strerror(errno);
        return KeyContainer::Sealing::Failed;
    }
    return KeyContainer::Sealing::Done;
}

// A plain container read with a Secret Service at hand is sealed on this first use. When that
// cannot be done now the key is used as it is, and a later use tries again.
void sealOnFirstUse(const std::string& name, bool machine, const std::string& path, const SecretBytes& plain) {
    // A user who left the keyring locked is asked to unlock it once per process, not at every key.
    static std::atomic<bool> declined{false};
    if (declined) return;
    std::string problem;
    switch (sealInPlace(name, machine, path, plain, problem)) {
    case KeyContainer::Sealing::Locked: declined = true; break;
    case KeyContainer::Sealing::Failed: secret::logLine("A key container stays plain: " + problem); break;
    default: break;
    }
}

// The container name a file is named after, when it is one of ours.
bool nameOfFile(const std::string& file, std::string& name) {
    name.clear();
    if (file.size() < 5 || file.compare(file.size() - 4, 4, ".key") != 0) return false;
    const std::string hex = file.substr(0, file.size() - 4);
    if (hex == "-") return true;
    if (hex.size() % 2) return false;
    for (size_t i = 0; i < hex.size(); i += 2) {
        auto digit = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1; };
        const int hi = digit(hex[i]), lo = digit(hex[i + 1]);
        if (hi < 0 || lo < 0) return false;
        name.push_back(static_cast<char>(hi << 4 | lo));
    }
    return true;
}

// Calls `each(name, machine, path)` for every container file of the user.
template <class Each>
void forEachContainer(Each each) {
    for (bool machine : {false, true}) {
        const std::string dir = folderOf(machine);
        DIR* d = opendir(dir.c_str());
        if (!d) continue;
        while (dirent* e = readdir(d)) {
            std::string name;
            if (e->d_name[0] != '.' && nameOfFile(e->d_name, name)) each(name, machine, dir + "/" + e->d_name);
        }
        closedir(d);
    }
}

}  // namespace

std::string KeyContainer::pathOf(const std::string& name, bool machine) {
    return folderOf(machine) + "/" + hexName(name) + ".key";
}

bool KeyContainer::exists(const std::string& name, bool machine) {
    struct stat st {};
    return stat(pathOf(name, machine).c_str(), &st) == 0;
}

bool KeyContainer::save(const std::string& name, bool machine, const std::map<DWORD, StoredKey>& keys) {
    std::string home;
    if (!ensureHomeDir(home) || !ensureDir(home + "/keys") || !ensureDir(folderOf(machine))) {
        SetLastError(static_cast<DWORD>(NTE_FAIL));
        return false;
    }
    const SecretBytes plain = serialize(keys);
    SecretBytes sealed;
    std::string detail;
    switch (secret::seal(contextOf(name, machine), plain, sealed, detail)) {
    case secret::Outcome::Ok: break;
    case secret::Outcome::Absent: secret::noteKeysStayPlain(); break;
    case secret::Outcome::NotFound:
    case secret::Outcome::Failed:
        secret::logLine("A key container was not saved: " + detail);
        secret::tellUser(kFailedSave);
        SetLastError(static_cast<DWORD>(NTE_FAIL));
        return false;
    case secret::Outcome::Locked:
        // Never a plain file where the keyring would have sealed it.
        secret::tellUser(kLockedSave);
        SetLastError(static_cast<DWORD>(NTE_PERM));
        return false;
    }
    FolderLock lock(folderOf(machine));
    if (!writeContainer(pathOf(name, machine), sealed.empty() ? plain : sealed)) {
        SetLastError(static_cast<DWORD>(errno == ENOSPC ? ERROR_DISK_FULL : NTE_FAIL));
        return false;
    }
    return true;
}

bool KeyContainer::load(const std::string& name, bool machine, std::map<DWORD, StoredKey>& keys) {
    keys.clear();
    const std::string path = pathOf(name, machine);
    SecretBytes bytes;
    if (!readContainer(path, bytes)) {
        SetLastError(static_cast<DWORD>(NTE_BAD_KEYSET));
        return false;
    }
    if (!secret::looksSealed(bytes.data(), bytes.size())) {
        if (!parse(bytes, keys)) {
            SetLastError(static_cast<DWORD>(NTE_BAD_KEYSET));
            return false;
        }
        sealOnFirstUse(name, machine, path, bytes);
        return true;
    }
    SecretBytes plain;
    std::string detail;
    DWORD error = NTE_BAD_KEYSET;
    switch (secret::open(contextOf(name, machine), bytes.data(), bytes.size(), plain, detail)) {
    case secret::Opened::Ok:
        if (parse(plain, keys)) return true;
        break;
    case secret::Opened::Damaged: break;
    case secret::Opened::KeyMissing: secret::tellUser(kKeyMissing); break;
    case secret::Opened::Absent:
        secret::tellUser(kNoService);
        error = NTE_FAIL;
        break;
    case secret::Opened::Locked:
        secret::tellUser(kLocked);
        error = NTE_PERM;
        break;
    case secret::Opened::Failed:
        secret::logLine("A sealed key container was not opened: " + detail);
        secret::tellUser(kFailed);
        error = NTE_FAIL;
        break;
    }
    SetLastError(static_cast<DWORD>(error));
    return false;
}

bool KeyContainer::remove(const std::string& name, bool machine) {
    if (::unlink(pathOf(name, machine).c_str()) != 0) {
        SetLastError(static_cast<DWORD>(NTE_BAD_KEYSET));
        return false;
    }
    return true;
}

KeyContainer::Census KeyContainer::census() {
    Census c;
    forEachContainer([&](const std::string&, bool, const std::string& path) {
        SecretBytes bytes;
        if (readContainer(path, bytes)) ++(secret::looksSealed(bytes.data(), bytes.size()) ? c.sealed : c.plain);
    });
    return c;
}

KeyContainer::Sealing KeyContainer::sealAll(int& sealed, std::string& problem) {
    sealed = 0;
    Sealing result = Sealing::Done;
    forEachContainer([&](const std::string& name, bool machine, const std::string& path) {
        SecretBytes bytes;
        std::map<DWORD, StoredKey> keys;
        if (result != Sealing::Done || !readContainer(path, bytes) || secret::looksSealed(bytes.data(), bytes.size()))
            return;
        // A damaged file is left as it is: sealing would only hide it.
        if (!parse(bytes, keys)) return;
        keys.clear();
        result = sealInPlace(name, machine, path, bytes, problem);
        if (result == Sealing::Done) ++sealed;
    });
    return result;
}

}  // namespace orvik::crypt

namespace orvik {

namespace {

constexpr char kPendingPrefix[] = ".orvik-pending-";

std::string markerOf(const std::string& name) {
    return crypt::folderOf(false) + "/" + kPendingPrefix + crypt::hexName(name);
}

// The user's containers that a certificate of "MY" names; false when the store cannot be read.
bool namedContainers(std::set<std::string>& names) {
    std::vector<std::pair<std::string, std::vector<BYTE>>> entries;
    if (registry::readSubKeyValues(HKEY_CURRENT_USER, crypt::systemStoreKey("MY"), "Blob", entries) != ERROR_SUCCESS)
        return false;
    for (const auto& [key, blob] : entries) {
        crypt::Properties props;
        std::vector<BYTE> der;
        if (!crypt::decodeElement(blob.data(), blob.size(), props, der)) continue;
        auto info = props.find(CERT_KEY_PROV_INFO_PROP_ID);
        if (info == props.end()) continue;
        std::vector<BYTE> laid(crypt::keyProvInfoSize(info->second));
        if (laid.empty() || !crypt::decodeKeyProvInfo(info->second, laid.data(), static_cast<DWORD>(laid.size())))
            continue;
        const auto* p = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(laid.data());
        if (p->pwszContainerName && !(p->dwFlags & CRYPT_MACHINE_KEYSET))
            names.insert(utf16ToUtf8(p->pwszContainerName));
    }
    return true;
}

}  // namespace

PendingKeyContainer::~PendingKeyContainer() {
    if (fd_ < 0) return;
    // The container first: a death in between leaves a mark without a container, which the next
    // sweep clears.
    if (!replaced_) crypt::KeyContainer::remove(name_, false);
    unmark();
}

bool PendingKeyContainer::mark(const std::string& name) { return markAs(name, false); }

bool PendingKeyContainer::markReplaced(const std::string& name) { return markAs(name, true); }

void PendingKeyContainer::discard() {
    if (fd_ < 0) return;
    std::set<std::string> named;
    if (namedContainers(named) && !named.count(name_)) crypt::KeyContainer::remove(name_, false);
    unmark();
}

bool PendingKeyContainer::markAs(const std::string& name, bool replaced) {
    if (fd_ >= 0) {
        errno = EBUSY;
        return false;
    }
    std::string home, temp;
    const std::string dir = crypt::folderOf(false);
    if (!ensureHomeDir(home) || !crypt::ensureDir(home + "/keys") || !crypt::ensureDir(dir)) return false;
    if (crypt::KeyContainer::exists(name, false) != replaced) {
        errno = replaced ? ENOENT : EEXIST;
        return false;
    }
    // Locked before it carries its name, so that a sweep never takes a live import's mark for a
    // dead one.
    const int fd = createTempFile(dir, ".orvik-part-", temp);
    if (fd < 0) return false;
    const std::string marker = markerOf(name);
    int error = 0;
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    if (::link(temp.c_str(), marker.c_str()) != 0) error = errno;
    ::unlink(temp.c_str());
    if (error) {
        ::close(fd);
        errno = error;
        return false;
    }
    syncFolder(dir);
    name_ = name;
    marker_ = marker;
    fd_ = fd;
    replaced_ = replaced;
    return true;
}

void PendingKeyContainer::keep() {
    if (fd_ >= 0) unmark();
}

void PendingKeyContainer::unmark() {
    // Unlinked while still locked: a sweep that waited for the lock finds the mark gone.
    ::unlink(marker_.c_str());
    ::close(fd_);
    fd_ = -1;
}

int sweepPendingKeyContainers() {
    const std::string dir = crypt::folderOf(false);
    DIR* d = opendir(dir.c_str());
    if (!d) return 0;
    struct Dead {
        std::string name, marker;
        int fd;
    };
    std::vector<Dead> dead;
    const size_t prefix = sizeof kPendingPrefix - 1;
    while (dirent* e = readdir(d)) {
        std::string file = e->d_name, name;
        if (file.compare(0, prefix, kPendingPrefix) != 0 || !crypt::nameOfFile(file.substr(prefix) + ".key", name))
            continue;
        const std::string marker = dir + "/" + file;
        const int fd = ::open(marker.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0) continue;
        struct stat held {
        }, named{};
        // A lock that is taken belongs to an import still running; a mark unlinked meanwhile to
        // one that has finished.
        const bool orphaned = ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &held) == 0 &&
                              ::lstat(marker.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
                              held.st_dev == named.st_dev;
        if (orphaned) {
            dead.push_back({name, marker, fd});
        } else {
            ::close(fd);
        }
    }
    closedir(d);
    int removed = 0;
    std::set<std::string> named;
    // Read only now, with the marks held: a certificate stored before its importer died counts.
    const bool known = !dead.empty() && namedContainers(named);
    for (const Dead& m : dead) {
        if (known) {
            if (!named.count(m.name) && crypt::KeyContainer::exists(m.name, false) &&
                crypt::KeyContainer::remove(m.name, false))
                ++removed;
            ::unlink(m.marker.c_str());
        }
        ::close(m.fd);
    }
    if (removed) secret::logLine(std::to_string(removed) + " key container(s) of an unfinished import removed");
    return removed;
}

}  // namespace orvik
