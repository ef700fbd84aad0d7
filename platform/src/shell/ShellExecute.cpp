// ShellExecuteA over xdg-open (or the program named by $ORVIK_OPENER, for tests and kiosks).
#include <shellapi.h>
#include <spawn.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <winbase.h>
#include <winerror.h>

extern char** environ;

namespace {

HINSTANCE result(INT_PTR code) { return reinterpret_cast<HINSTANCE>(code); }

bool isAddress(const std::string& text) {
    size_t colon = text.find(':');
    if (colon == std::string::npos || colon < 2) return false;  // "C:" is no scheme
    for (size_t i = 0; i < colon; ++i) {
        char c = text[i];
        if (!(isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.')) return false;
    }
    return true;
}

// xdg-open's exit codes: 0 success, 2 file not found, 3 no tool, 4 the action failed.
INT_PTR fromExit(int status) {
    if (!WIFEXITED(status)) return SE_ERR_NOASSOC;
    switch (WEXITSTATUS(status)) {
    case 0: return 42;
    case 2: return SE_ERR_FNF;
    default: return SE_ERR_NOASSOC;
    }
}

}  // namespace

extern "C" HINSTANCE WINAPI ShellExecuteA(HWND, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR, INT) {
    if ((verb && *verb && strcasecmp(verb, "open") != 0) || (parameters && *parameters)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return result(SE_ERR_NOASSOC);
    }
    if (!file || !*file) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return result(SE_ERR_FNF);
    }
    std::string target = file;
    struct stat st {};
    if (!isAddress(target) && stat(target.c_str(), &st) != 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return result(SE_ERR_FNF);
    }
    const char* opener = std::getenv("ORVIK_OPENER");
    std::string program = opener && *opener ? opener : "xdg-open";
    // A leading "-" would be read as an option of the opener.
    if (target[0] == '-') target = "./" + target;
    char* argv[] = {program.data(), target.data(), nullptr};
    pid_t pid = -1;
    if (posix_spawnp(&pid, program.c_str(), nullptr, nullptr, argv, environ) != 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return result(SE_ERR_NOASSOC);
    }
    // The opener usually hands over and ends at once; one that stays is taken as having opened it.
    for (int i = 0; i < 100; ++i) {
        int status = 0;
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            INT_PTR code = fromExit(status);
            if (code <= 32) SetLastError(ERROR_NO_ASSOCIATION);
            return result(code);
        }
        if (done < 0) return result(42);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
    return result(42);
}
