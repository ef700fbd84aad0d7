#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

#include <orvik/Home.h>

namespace orvik {

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
    struct stat st {};
    return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string platformDatabasePath() {
    std::string dir;
    if (!ensureHomeDir(dir)) return {};
    return dir + "/registry.db";
}

}  // namespace orvik
