#include "Launcher.h"

#include <limits.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <windows.h>

extern char** environ;

namespace orvikmenu {

namespace {

bool isProgram(const std::string& path) {
    struct stat st {};
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

std::string installDir() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Orvikon\\Orvik数字证书助手\\Common", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return {};
    DWORD type = 0, size = 0;
    std::string value;
    if (RegQueryValueExA(key, "InstallDir", nullptr, &type, nullptr, &size) == ERROR_SUCCESS && type == REG_SZ) {
        std::string bytes(size, '\0');
        if (RegQueryValueExA(key, "InstallDir", nullptr, &type, reinterpret_cast<BYTE*>(bytes.data()), &size) ==
            ERROR_SUCCESS)
            value = bytes.c_str();
    }
    RegCloseKey(key);
    return value;
}

std::string ownFolder() {
    char path[PATH_MAX] = {};
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    std::string self(path, static_cast<size_t>(n));
    return self.substr(0, self.find_last_of('/'));
}

}  // namespace

std::string assistantProgram() {
    for (const std::string& dir : {installDir(), ownFolder()}) {
        if (dir.empty()) continue;
        std::string program = dir + (dir.back() == '/' ? "" : "/") + "OrvikDesk";
        if (isProgram(program)) return program;
    }
    return {};
}

bool startDetached(const std::vector<std::string>& argv) {
    if (argv.empty()) return false;
    std::vector<std::string> copy = argv;
    std::vector<char*> args;
    for (std::string& a : copy) args.push_back(a.data());
    args.push_back(nullptr);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // Its own session: the assistant outlives the file manager's helper that started it.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, copy[0].c_str(), nullptr, &attributes, args.data(), environ);
    posix_spawnattr_destroy(&attributes);
    return rc == 0;
}

}  // namespace orvikmenu
