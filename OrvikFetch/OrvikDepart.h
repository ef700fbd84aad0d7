// One part of the system in an update list (OrvikDesk, OrvikPatch, ...) and its files.
#pragma once

#include <string>
#include <vector>

#include "OrvikFile.h"
#include "UpdateApi.h"

class ORVIKUPDATE_API OrvikDepart {
public:
    OrvikDepart() = default;
    OrvikDepart(const OrvikDepart& other) = default;
    OrvikDepart& operator=(const OrvikDepart& other) = default;
    virtual ~OrvikDepart();

    // The element name in the list; the display name is the Chinese one.
    std::string GetDepartName() const { return departName; }
    void SetDepartName(std::string value) { departName = std::move(value); }
    std::string GetDepartNameCH() const { return departNameCh; }
    void SetDepartNameCH(std::string value) { departNameCh = std::move(value); }
    std::string GetDepartVersion() const { return departVersion; }
    void SetDepartVersion(std::string value) { departVersion = std::move(value); }
    std::string GetDepartDesc() const { return departDesc; }
    void SetDepartDesc(std::string value) { departDesc = std::move(value); }

    // A free file when `index` is out of range.
    OrvikFile GetDepartFile(int index) const;
    // Appends; the count is left to the reader.
    void SetDepartFile(OrvikFile file) { files.push_back(std::move(file)); }
    int GetDepartFileCount() const { return fileCount; }
    void SetDepartFileCount(int count) { fileCount = count; }

    // Index of the first file of that exact name, -1 when there is none.
    int FindFile(const std::string& name) const;

private:
    std::string departName;
    std::string departNameCh;
    std::string departVersion;
    std::string departDesc;
    std::vector<OrvikFile> files;
    int fileCount = 0;
};
