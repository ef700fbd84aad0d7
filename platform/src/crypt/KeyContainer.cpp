#include "KeyContainer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <orvik/Home.h>
#include <orvik/TempFile.h>
#include <winbase.h>

#include "KeyBlob.h"

namespace orvik::crypt {

namespace {

const char kMagic[8] = {'O', 'R', 'V', 'K', 'E', 'Y', '0', '2'};

std::string hexName(const std::string& name) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : name) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out.empty() ? std::string("-") : out;
}

bool ensureDir(const std::string& dir) { return mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST; }

bool writeAll(int fd, const BYTE* p, size_t n) {
    while (n) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

void put32(std::vector<BYTE>& out, DWORD v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<BYTE>(v >> (8 * i)));
}

DWORD get32(const BYTE* p) {
    return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 | static_cast<DWORD>(p[2]) << 16 |
           static_cast<DWORD>(p[3]) << 24;
}

}  // namespace

std::string KeyContainer::pathOf(const std::string& name, bool machine) {
    return homeDir() + (machine ? "/keys/machine/" : "/keys/user/") + hexName(name) + ".key";
}

bool KeyContainer::exists(const std::string& name, bool machine) {
    struct stat st {};
    return stat(pathOf(name, machine).c_str(), &st) == 0;
}

bool KeyContainer::save(const std::string& name, bool machine, const std::map<DWORD, StoredKey>& keys) {
    std::string home;
    if (!ensureHomeDir(home) || !ensureDir(home + "/keys") ||
        !ensureDir(home + (machine ? "/keys/machine" : "/keys/user"))) {
        SetLastError(static_cast<DWORD>(NTE_FAIL));
        return false;
    }
    std::vector<BYTE> bytes(kMagic, kMagic + sizeof kMagic);
    for (const auto& [keySpec, key] : keys) {
        put32(bytes, keySpec);
        put32(bytes, key.flags);
        put32(bytes, static_cast<DWORD>(key.blob.size()));
        bytes.insert(bytes.end(), key.blob.begin(), key.blob.end());
    }
    const std::string path = pathOf(name, machine);
    const std::string dir = path.substr(0, path.find_last_of('/'));
    std::string temp;
    // One prefix for every container: a writer killed mid-way leaves a name no later one repeats.
    int fd = createTempFile(dir, ".key.tmp-", temp);
    bool ok = fd >= 0 && writeAll(fd, bytes.data(), bytes.size()) && fsync(fd) == 0;
    if (fd >= 0) ok = ::close(fd) == 0 && ok;
    cleanse(bytes);
    if (ok) ok = ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) {
        if (fd >= 0) ::unlink(temp.c_str());
        SetLastError(static_cast<DWORD>(errno == ENOSPC ? ERROR_DISK_FULL : NTE_FAIL));
    }
    return ok;
}

bool KeyContainer::load(const std::string& name, bool machine, std::map<DWORD, StoredKey>& keys) {
    keys.clear();
    int fd = ::open(pathOf(name, machine).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        SetLastError(static_cast<DWORD>(NTE_BAD_KEYSET));
        return false;
    }
    std::vector<BYTE> bytes;
    BYTE buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        bytes.insert(bytes.end(), buf, buf + n);
    }
    ::close(fd);
    OPENSSL_cleanse(buf, sizeof buf);
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
    cleanse(bytes);
    if (!ok) {
        for (auto& [keySpec, key] : keys) cleanse(key.blob);
        keys.clear();
        SetLastError(static_cast<DWORD>(NTE_BAD_KEYSET));
    }
    return ok;
}

bool KeyContainer::remove(const std::string& name, bool machine) {
    if (::unlink(pathOf(name, machine).c_str()) != 0) {
        SetLastError(static_cast<DWORD>(NTE_BAD_KEYSET));
        return false;
    }
    return true;
}

}  // namespace orvik::crypt
