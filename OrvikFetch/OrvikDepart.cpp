#include "OrvikDepart.h"

OrvikDepart::~OrvikDepart() = default;

OrvikFile OrvikDepart::GetDepartFile(int index) const {
    if (index < 0 || static_cast<size_t>(index) >= files.size()) return OrvikFile();
    return files[static_cast<size_t>(index)];
}

int OrvikDepart::FindFile(const std::string& name) const {
    for (size_t i = 0; i < files.size(); ++i) {
        if (files[i].GetFileName() == name) return static_cast<int>(i);
    }
    return -1;
}
