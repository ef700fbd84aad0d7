// Writes the file managers' entries for every user into a staging root at install time: the same
// files `orvikmenu register` writes for one user, placed where each file manager reads the
// system's (below PREFIX/share) and calling the installed orvikmenu.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include <orvik/AtomicFile.h>

#include "Registration.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: orvik_system_menus DESTDIR PREFIX HELPER\n");
        return 2;
    }
    const std::string root = argv[1], prefix = argv[2], helper = argv[3];
    // Thunar reads custom actions from the user's uca.xml only: the assistant adds them per user.
    for (const orvikmenu::GeneratedFile& file : orvikmenu::generatedFiles({prefix + "/share", ""}, helper)) {
        const std::filesystem::path target = root + file.path;
        std::error_code error;
        std::filesystem::create_directories(target.parent_path(), error);
        // For everyone, read-only: KIO trusts a service menu in a system folder without the x bit.
        if (error || !orvik::writeFileAtomically(target.string(), file.text, 0644)) {
            std::fprintf(stderr, "orvik_system_menus: cannot write %s: %s\n", target.c_str(),
                         error ? error.message().c_str() : std::strerror(errno));
            return 1;
        }
        std::printf("-- Installing: %s\n", target.c_str());
    }
    return 0;
}
