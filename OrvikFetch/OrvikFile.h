// One file of an update list: where it goes, whether it is registered, and what it should be.
#pragma once

#include <string>

#include "UpdateApi.h"

class ORVIKUPDATE_API OrvikFile {
public:
    OrvikFile() = default;
    OrvikFile(const OrvikFile& other) = default;
    OrvikFile& operator=(const OrvikFile& other) = default;
    virtual ~OrvikFile();

    std::string GetFileName() const { return fileName; }
    void SetFileName(std::string value) { fileName = std::move(value); }
    std::string GetFileVersion() const { return fileVersion; }
    void SetFileVersion(std::string value) { fileVersion = std::move(value); }
    // "sys" is the system folder; anything else the program folder.
    std::string GetFilePath() const { return filePath; }
    void SetFilePath(std::string value) { filePath = std::move(value); }
    std::string GetFileReg() const { return fileReg; }
    void SetFileReg(std::string value) { fileReg = std::move(value); }
    // Decimal bytes and 64 hex digits, as the list gives them; empty when it gives none.
    std::string GetFileSize() const { return fileSize; }
    void SetFileSize(std::string value) { fileSize = std::move(value); }
    std::string GetFileSHA256() const { return fileSha256; }
    void SetFileSHA256(std::string value) { fileSha256 = std::move(value); }

    // A slot without a name holds no file.
    bool IsFree() const { return fileName.empty(); }

private:
    std::string fileName;
    std::string fileVersion;
    std::string filePath;
    std::string fileReg;
    std::string fileSize;
    std::string fileSha256;
};
