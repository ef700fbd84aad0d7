#include "PFXFile.h"

#include "Pkcs12Archive.h"

CPFXFile::~CPFXFile() = default;

int Pkcs12Result(int unpackValue) {
    switch (unpackValue) {
    case 0: return 0;
    case -2: return 6;
    case -3: return 7;
    default: return 5;
    }
}

int InspectPkcs12(const char* path, const char* password, std::string& unsupportedAlgorithm) {
    orvik::crypt::Pkcs12Contents contents;
    int value = orvik::crypt::unpackPkcs12(path, password, contents);
    unsupportedAlgorithm = contents.unsupportedAlgorithm;
    return value;
}

int CPFXFile::UpdateP12FilePasswd(const char* path, const char* oldPassword, const char* newPath,
                                  const char* newPassword) {
    orvik::crypt::Pkcs12Contents contents;
    int value = orvik::crypt::unpackPkcs12(path, oldPassword, contents);
    if (value != 0) {
        log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, __FILE__, "OrvikUpPackPkcs12 Error: 0x%x",
                static_cast<unsigned>(value));
        return Pkcs12Result(value);
    }
    if (!newPath) return 13;
    value = orvik::crypt::packPkcs12(contents, newPassword, "orvik Roaming Certificate", newPath);
    if (value != 0) {
        log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, __FILE__, "OrvikPackPkcs12 Error: 0x%x",
                static_cast<unsigned>(value));
        return 13;
    }
    return 0;
}
