// The library's diagnostic log: one line per failed platform call, in OrvikCrypt.log beside the
// running program (or under ORVIK_HOME when the program's folder cannot be written).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "OrvikCryptApi.h"

class ORVIKCRYPT_API CSecLog {
public:
    enum SEC_LOG_TYPE { SEC_LOG_NONE = 0, SEC_LOG_ERROR = 1, SEC_LOG_WARNING = 2, SEC_LOG_INFO = 3, SEC_LOG_DEBUG = 4 };

    CSecLog();
    CSecLog(const CSecLog& other);
    CSecLog& operator=(const CSecLog& other);
    virtual ~CSecLog();

    int SetLogLevel(SEC_LOG_TYPE level);
    // printf-style; returns 0, or 3 when the log file cannot be opened.
    int Log(SEC_LOG_TYPE type, int line, const char* sourceFile, const char* format, ...)
        __attribute__((format(printf, 5, 6)));

    // The folders a line may go to, in order: the program's own, then ORVIK_HOME.
    static std::vector<std::string> LogDirectories();
    // Opens OrvikCrypt.log for one line in the first of `dirs` that takes it: emptied first when
    // it has grown past 5,242,880 bytes. Null when none does; *path names the file opened.
    static FILE* OpenLogFile(const std::vector<std::string>& dirs, std::string* path = nullptr);

private:
    SEC_LOG_TYPE m_level;
};

// Logs a failed platform call at the call site: SEC_LOG_FAILURE(log, "CertOpenSystemStore").
#define SEC_LOG_FAILURE(log, function)                                             \
    (log).Log(CSecLog::SEC_LOG_ERROR, __LINE__, __FILE__, function " Error: 0x%x", \
              static_cast<unsigned>(GetLastError()))
