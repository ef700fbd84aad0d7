#include "Launcher.h"

#include <limits.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <windows.h>

#include "MenuItems.h"

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
    if (rc != 0) errno = rc;
    return rc == 0;
}

namespace {

bool tell(const std::string& text, UINT icon = MB_ICONWARNING) {
    MessageBoxA(nullptr, text.c_str(), kCaption, MB_OK | icon);
    return false;
}

std::string startFailure(int error) {
    switch (error) {
    case EACCES: return "没有运行该程序的权限。";
    case ENOENT: return "该程序不存在。";
    case ENOEXEC: return "该程序已损坏。";
    default: return std::strerror(error);
    }
}

// Why the item cannot run on this file, for the user; empty when it can.
std::string refusal(const MenuItem& item, const std::string& path, Asked asked) {
    // The settings need no file: they open even when the file has gone meanwhile.
    if (!item.takesPath) return {};
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return "找不到文件“" + path + "”。\n它可能已被移动、改名或删除。";
    if (!S_ISREG(st.st_mode)) return "“" + path + "”不是文件。请选择一个文件。";
    const bool secure = isSecureFile(path);
    if (asked == Asked::File && secure)
        return "“" + path + "”是安全文件，不能再加密。\n请使用“" + item.secureText + "”。";
    if (asked == Asked::Secure && !secure) return "“" + path + "”不是安全文件（.ovk）。";
    return {};
}

}  // namespace

bool invoke(int offset, const std::string& path, Asked asked) {
    const MenuItem* item = nullptr;
    for (const MenuItem& candidate : menuItems())
        if (candidate.offset == offset) item = &candidate;
    if (!item) return tell("无效的菜单命令。", MB_ICONERROR);
    if (std::string why = refusal(*item, path, asked); !why.empty()) return tell(why);
    const std::string program = assistantProgram();
    if (program.empty()) return tell("找不到Orvik数字证书助手程序。\n请重新安装Orvik数字证书助手。", MB_ICONERROR);
    if (!startDetached(commandFor(offset, path, program)))
        return tell("无法启动Orvik数字证书助手：" + program + "\n" + startFailure(errno), MB_ICONERROR);
    return true;
}

}  // namespace orvikmenu
