// The profiles Mozilla's programs list in profiles.ini, read one way for Firefox and Thunderbird.
#pragma once

#include <string>
#include <vector>

#include "OrvikCryptApi.h"

class ORVIKCRYPT_API CMozillaProfiles {
public:
    struct Profile {
        std::string name;
        std::string dir;
        bool isDefault = false;
        std::string packaging;  // its root's
    };
    // Where one program keeps its profiles.ini: a folder relative to the home folder, and the
    // packaging it belongs to ("" for the distribution's own, "snap", "flatpak").
    struct Root {
        const char* folder;
        const char* packaging;
    };

    // The profiles of `folder`/profiles.ini whose folders exist. The install's default (or, with
    // no install section, the one marked Default=1) is marked.
    static std::vector<Profile> Read(const std::string& folder);

    // Firefox's profiles.ini folders: ~/.mozilla/firefox, the snap's and the flatpak's.
    static const std::vector<Root>& FirefoxRoots();
    // Thunderbird's: ~/.thunderbird, the snap's and the flatpak's.
    static const std::vector<Root>& ThunderbirdRoots();
    // Every profile under the roots, in their order.
    static std::vector<Profile> Find(const std::string& home, const std::vector<Root>& roots);
};
