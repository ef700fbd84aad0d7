#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

#include <orvik/Home.h>

namespace orvik {

namespace {

// Drops the group's and others' rights from what we own; a folder or file of another user is
// left to them.
void makePrivate(int fd, const struct stat& st, mode_t mode) {
    if (st.st_uid == geteuid() && (st.st_mode & 077)) ::fchmod(fd, mode);
}

// The database file last made private by this process: every registry call asks for the path,
// and one check per process and home is enough.
bool firstTimeFor(const std::string& path) {
    static std::mutex lock;
    static std::string done;
    std::lock_guard guard(lock);
    if (done == path) return false;
    done = path;
    return true;
}

}  // namespace

std::string homeDir() {
    if (const char* home = std::getenv("ORVIK_HOME"); home && *home) return home;
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data) return std::string(data) + "/orvikon";
    if (const char* user = std::getenv("HOME"); user && *user) return std::string(user) + "/.local/share/orvikon";
    return {};
}

bool ensureHomeDir(std::string& dir) {
    dir = homeDir();
    if (dir.empty()) return false;
    // Create each missing level; only the last one is ours to keep private.
    for (size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos != dir.size() && dir[pos] != '/') continue;
        std::string level = dir.substr(0, pos);
        mode_t mode = pos == dir.size() ? 0700 : 0755;
        if (mkdir(level.c_str(), mode) != 0 && errno != EEXIST) return false;
    }
    // The home holds private keys and passwords: a home made earlier with a wider mode, by an
    // older version or by hand, is the user's alone from now on.
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    const bool ok = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
    if (ok) makePrivate(fd, st, 0700);
    ::close(fd);
    return ok;
}

std::string platformDatabasePath() {
    std::string dir;
    if (!ensureHomeDir(dir)) return {};
    std::string path = dir + "/registry.db";
    if (!firstTimeFor(path)) return path;
    // Made here with mode 0600 before SQLite creates it with 0644; its journal files take the
    // database's mode.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
        struct stat st {};
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) makePrivate(fd, st, 0600);
        ::close(fd);
    }
    return path;
}

}  // namespace orvik
