// PKCS #12 backup files: a new password for a file.
#pragma once

#include <string>

#include "OrvikCryptApi.h"
#include "SecLog.h"

class ORVIKCRYPT_API CPFXFile {
public:
    CPFXFile() = default;
    CPFXFile(const CPFXFile& other) = default;
    CPFXFile& operator=(const CPFXFile& other) = default;
    virtual ~CPFXFile();

    // Reads `path` with the old password and writes `newPath` (which may be `path`) with the new
    // one, the CA chain kept. 0; 5, 6, 7 when the file cannot be read; 13 when the new file
    // cannot be written, and then the file at `newPath` is as it was.
    int UpdateP12FilePasswd(const char* path, const char* oldPassword, const char* newPath, const char* newPassword);

private:
    CSecLog log;
};

// Why a PKCS #12 file does not open: the unpack value (0 when it opens) and, when a bag is
// encrypted with an algorithm this system cannot use, that algorithm's name.
ORVIKCRYPT_API int InspectPkcs12(const char* path, const char* password, std::string& unsupportedAlgorithm);

// The library result of an unpack value: 0, 5, 6 or 7.
int Pkcs12Result(int unpackValue);
