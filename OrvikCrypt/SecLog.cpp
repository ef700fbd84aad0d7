#include "SecLog.h"

#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include <orvik/Home.h>
#include <orvik/KeyProtection.h>
#include <windows.h>

namespace {

constexpr long kRotateAbove = 0x500000;  // 5,242,880 bytes

// The platform's notes (how private keys are kept) go into the same log as the library's lines.
const bool kPlatformNotesHere = [] {
    orvik::setPlatformLogHandler(
        [](const std::string& line) { CSecLog().Log(CSecLog::SEC_LOG_INFO, __LINE__, __FILE__, "%s", line.c_str()); });
    return true;
}();

const char* label(CSecLog::SEC_LOG_TYPE type) {
    switch (type) {
    case CSecLog::SEC_LOG_ERROR: return "ERROR";
    case CSecLog::SEC_LOG_WARNING: return "WARNING";
    case CSecLog::SEC_LOG_INFO: return "INFO";
    default: return "DEBUG";
    }
}

std::mutex& logLock() {
    static std::mutex lock;  // one for the process, made before any thread can enter it
    return lock;
}

std::string programDirectory() {
    char path[4096];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    if (n == 0 || n >= sizeof path) return {};
    char drive[_MAX_DRIVE];
    char dir[_MAX_DIR];
    _splitpath(path, drive, dir, nullptr, nullptr);
    if (std::strlen(dir) + 1 >= _MAX_DIR) {
        // _splitpath cut it: take the directory straight from the path.
        std::string full(path, n);
        return full.substr(0, full.find_last_of('/') + 1);
    }
    return std::string(drive) + dir;
}

// Opens the log for one line: emptied when it has grown past the limit, appended to otherwise.
FILE* openLog(const std::string& path) {
    struct stat st {};
    bool rotate = stat(path.c_str(), &st) == 0 && st.st_size > kRotateAbove;
    return std::fopen(path.c_str(), rotate ? "w+" : "a+");
}

}  // namespace

CSecLog::CSecLog() : m_level(SEC_LOG_DEBUG) {}
CSecLog::CSecLog(const CSecLog& other) = default;
CSecLog& CSecLog::operator=(const CSecLog& other) = default;
CSecLog::~CSecLog() = default;

int CSecLog::SetLogLevel(SEC_LOG_TYPE level) {
    m_level = level;
    return 0;
}

std::vector<std::string> CSecLog::LogDirectories() {
    std::vector<std::string> dirs;
    if (std::string dir = programDirectory(); !dir.empty()) dirs.push_back(dir);
    if (std::string home; orvik::ensureHomeDir(home)) dirs.push_back(home + "/");
    return dirs;
}

FILE* CSecLog::OpenLogFile(const std::vector<std::string>& dirs, std::string* path) {
    for (const auto& dir : dirs) {
        std::string file = dir + "OrvikCrypt.log";
        if (FILE* out = openLog(file)) {
            if (path) *path = file;
            return out;
        }
    }
    return nullptr;
}

int CSecLog::Log(SEC_LOG_TYPE type, int line, const char* sourceFile, const char* format, ...) {
    std::lock_guard guard(logLock());
    if (type <= SEC_LOG_NONE || type > m_level) return 0;

    char stamp[64];
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    strftime(stamp, sizeof stamp, "%m/%d/%Y %H:%M:%S ", &local);

    const char* file = sourceFile ? sourceFile : "";
    for (const char* p = file; *p; ++p)
        if (*p == '/' || *p == '\\') file = p + 1;

    // The program's folder first; when it cannot take the line (an installed program under /usr),
    // the per-user folder, so no line is lost.
    FILE* out = OpenLogFile(LogDirectories());
    if (!out) return 3;

    std::fprintf(out, "%s %s%s(%d)%s", label(type), stamp, file, line, ":");
    va_list args;
    va_start(args, format);
    std::vfprintf(out, format ? format : "", args);
    va_end(args);
    std::fputs("\n", out);
    std::fflush(out);
    std::fclose(out);
    return 0;
}
