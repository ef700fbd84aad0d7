#include "services/ServiceSiteList.h"

#include <cstdio>

#include <windows.h>

#include "app/Profile.h"

namespace orvikdesk {

namespace {

constexpr const char* kSection = "ServiceURL";

}  // namespace

CServiceSiteList::CServiceSiteList() { Load(); }

void CServiceSiteList::Load() {
    sites_.clear();
    defaultName_.clear();
    HKEY list = nullptr;
    std::string path = std::string(profile::kRoot) + "\\" + kSection;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &list) == ERROR_SUCCESS) {
        for (DWORD i = 0;; ++i) {
            char name[256];
            DWORD size = sizeof name;
            if (RegEnumKeyExA(list, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
            if (std::string(name).size() < 8) continue;
            // One record per site: a missing value is empty and shifts nothing.
            std::string section = std::string(kSection) + "\\" + name;
            sites_.push_back({name, profile::read(section, "Value"), profile::read(section, "Description")});
        }
        RegCloseKey(list);
    }
    defaultName_ = profile::read(kSection, "Default");
}

bool CServiceSiteList::FindName(const std::string& name) const {
    for (const auto& s : sites_)
        if (s.name == name) return true;
    return false;
}

size_t CServiceSiteList::Add(const std::string& url, const std::string& description) {
    char name[16];
    for (int n = 0;; ++n) {
        std::snprintf(name, sizeof name, "%08d", n);
        if (!FindName(name)) break;
    }
    sites_.push_back({name, url, description});
    return sites_.size() - 1;
}

void CServiceSiteList::Modify(size_t index, const std::string& url, const std::string& description) {
    if (index >= sites_.size()) return;
    sites_[index].url = url;
    sites_[index].description = description;
}

bool CServiceSiteList::Save() const {
    bool ok = true;
    for (const auto& s : sites_) {
        std::string section = std::string(kSection) + "\\" + s.name;
        ok = profile::write(section, "Value", s.url) && ok;
        ok = profile::write(section, "Description", s.description) && ok;
    }
    return ok;
}

std::string CServiceSiteList::defaultUrl() const {
    for (const auto& s : sites_)
        if (s.name == defaultName_) return s.url;
    return {};
}

}  // namespace orvikdesk
