// What FileList.xml offers: the parts of the system, each with its files.
#pragma once

#include <string>
#include <vector>

#include "OrvikDepart.h"
#include "UpdateApi.h"

class ORVIKUPDATE_API FileList {
public:
    FileList() = default;
    FileList(const FileList& other) = default;
    FileList& operator=(const FileList& other) = default;
    virtual ~FileList();

    // An empty depart when `index` is out of range.
    OrvikDepart GetDepart(int index) const;
    // Appends; the count is left to the reader.
    void SetDepart(OrvikDepart depart) { departs.push_back(std::move(depart)); }
    int GetDepartCount() const { return departCount; }
    void SetDepartCount(int count) { departCount = count; }

    // Index of the first depart of that element name, -1 when there is none.
    int FindDepart(const std::string& name) const;

private:
    std::vector<OrvikDepart> departs;
    int departCount = 0;
};
