#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include <winbase.h>

namespace {

bool modulePath(HMODULE module, std::string& path) {
    if (!module) {
        char buf[4096];
        ssize_t n = readlink("/proc/self/exe", buf, sizeof buf);
        if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) return false;
        path.assign(buf, static_cast<size_t>(n));
        return true;
    }
    // A module handle here is what dlopen returned.
    struct link_map* map = nullptr;
    if (dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_name || !*map->l_name) return false;
    char resolved[4096];
    if (realpath(map->l_name, resolved)) {
        path = resolved;
    } else {
        path = map->l_name;
    }
    return true;
}

}  // namespace

extern "C" DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
    std::string path;
    if (!modulePath(module, path)) {
        SetLastError(module ? ERROR_MOD_NOT_FOUND : ERROR_FILE_NOT_FOUND);
        return 0;
    }
    if (!fileName || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() >= size) {
        // Truncated to the buffer, still terminated; the caller learns it from the last error.
        std::memcpy(fileName, path.data(), size - 1);
        fileName[size - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::memcpy(fileName, path.c_str(), path.size() + 1);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(path.size());
}
