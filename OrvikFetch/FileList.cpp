#include "FileList.h"

FileList::~FileList() = default;

OrvikDepart FileList::GetDepart(int index) const {
    if (index < 0 || static_cast<size_t>(index) >= departs.size()) return OrvikDepart();
    return departs[static_cast<size_t>(index)];
}

int FileList::FindDepart(const std::string& name) const {
    for (size_t i = 0; i < departs.size(); ++i) {
        if (departs[i].GetDepartName() == name) return static_cast<int>(i);
    }
    return -1;
}
