#include "MozillaProfiles.h"

#include <sys/stat.h>

#include <fstream>
#include <map>
#include <utility>

namespace {

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    size_t e = s.find_last_not_of(" \t\r");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

using Sections = std::vector<std::pair<std::string, std::map<std::string, std::string>>>;

Sections readIni(const std::string& path) {
    Sections out;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        line = trim(line);
        if (line.size() > 1 && line.front() == '[' && line.back() == ']') {
            out.push_back({line.substr(1, line.size() - 2), {}});
        } else if (size_t eq = line.find('='); eq != std::string::npos && !out.empty()) {
            out.back().second[trim(line.substr(0, eq))] = trim(line.substr(eq + 1));
        }
    }
    return out;
}

bool isFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::vector<CMozillaProfiles::Profile> CMozillaProfiles::Read(const std::string& folder) {
    std::vector<Profile> out;
    Sections sections = readIni(folder + "/profiles.ini");
    std::string installDefault;
    for (auto& [name, keys] : sections)
        if (name.rfind("Install", 0) == 0 && keys.count("Default")) installDefault = keys["Default"];
    for (auto& [name, keys] : sections) {
        if (name.rfind("Profile", 0) != 0 || !keys.count("Path")) continue;
        Profile p;
        p.name = keys["Name"];
        const std::string& path = keys["Path"];
        p.dir = keys["IsRelative"] == "0" ? path : folder + "/" + path;
        p.isDefault = installDefault.empty() ? keys["Default"] == "1" : path == installDefault;
        if (isFolder(p.dir)) out.push_back(std::move(p));
    }
    return out;
}

const std::vector<CMozillaProfiles::Root>& CMozillaProfiles::FirefoxRoots() {
    static const std::vector<Root> roots = {{"/.mozilla/firefox", ""},
                                            {"/snap/firefox/common/.mozilla/firefox", "snap"},
                                            {"/.var/app/org.mozilla.firefox/.mozilla/firefox", "flatpak"}};
    return roots;
}

const std::vector<CMozillaProfiles::Root>& CMozillaProfiles::ThunderbirdRoots() {
    static const std::vector<Root> roots = {{"/.thunderbird", ""},
                                            {"/snap/thunderbird/common/.thunderbird", "snap"},
                                            {"/.var/app/org.mozilla.Thunderbird/.thunderbird", "flatpak"}};
    return roots;
}

std::vector<CMozillaProfiles::Profile> CMozillaProfiles::Find(const std::string& home, const std::vector<Root>& roots) {
    std::vector<Profile> out;
    for (const Root& root : roots) {
        for (Profile& p : Read(home + root.folder)) {
            p.packaging = root.packaging;
            out.push_back(std::move(p));
        }
    }
    return out;
}
