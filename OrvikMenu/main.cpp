// orvikmenu: what the file managers' menu entries call. It starts the assistant, describes a
// secure file for a property page, and writes or removes the file managers' entries.
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <winbase.h>

#include "Launcher.h"
#include "MenuItems.h"
#include "Registration.h"
#include "SecureFileSummary.h"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: orvikmenu invoke OFFSET PATH   start the assistant for item 0, 1 or 2\n"
                 "       orvikmenu describe PATH        the secure-file properties, one per line\n"
                 "       orvikmenu items PATH           the submenu's items for PATH\n"
                 "       orvikmenu register | unregister\n");
    return 2;
}

std::string self() {
    char path[PATH_MAX] = {};
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return usage();
    const std::string& verb = args[0];
    if (verb == "invoke" && args.size() == 3) {
        const std::string& path = args[2];
        if (orvikmenu::itemTexts({path}).empty()) {
            std::fprintf(stderr, "orvikmenu: %s is not one local file\n", path.c_str());
            return 1;
        }
        std::string program = orvikmenu::assistantProgram();
        if (program.empty()) {
            std::fprintf(stderr, "orvikmenu: the assistant is not installed (no InstallDir, none beside orvikmenu)\n");
            return 1;
        }
        char* end = nullptr;
        long offset = std::strtol(args[1].c_str(), &end, 10);
        std::vector<std::string> command =
            *end ? std::vector<std::string>{} : orvikmenu::commandFor(static_cast<int>(offset), path, program);
        if (command.empty()) return usage();
        if (!orvikmenu::startDetached(command)) {
            std::fprintf(stderr, "orvikmenu: cannot start %s\n", program.c_str());
            return 1;
        }
        return 0;
    }
    if (verb == "describe" && args.size() == 2) {
        orvikmenu::SecureFileSummary s = orvikmenu::summarize(args[1]);
        std::string names;
        for (const std::string& n : s.recipients) names += (names.empty() ? "" : "，") + n;
        std::printf("%s\n%s\n%s\n%s\n%s\n%s\n", s.type.c_str(), s.extension.c_str(), s.size.c_str(),
                    s.algorithm.c_str(), s.protection.c_str(), names.c_str());
        return 0;
    }
    if (verb == "items" && args.size() == 2) {
        for (const std::string& t : orvikmenu::itemTexts({args[1]})) std::printf("%s\n", t.c_str());
        return 0;
    }
    if ((verb == "register" || verb == "unregister") && args.size() == 1) {
        orvikmenu::Folders folders = orvikmenu::Folders::ofUser();
        std::string failed =
            verb == "register" ? orvikmenu::registerMenus(folders, self()) : orvikmenu::unregisterMenus(folders);
        if (!failed.empty()) {
            std::fprintf(stderr, "orvikmenu: %s\n", failed.c_str());
            return 1;
        }
        return 0;
    }
    return usage();
}
