// orvikmenu: what the file managers' menu entries call. It starts the assistant, describes a
// secure file for a property page, and writes or removes the file managers' entries.
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Launcher.h"
#include "MenuItems.h"
#include "Registration.h"
#include "ScreenMessages.h"
#include "SecureFileSummary.h"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: orvikmenu invoke [--file|--secure] OFFSET PATH\n"
                 "                                      start the assistant for item 0, 1 or 2; with\n"
                 "                                      --file or --secure, only for that kind of file\n"
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
    const std::string name = argc > 0 ? argv[0] : "";
    if (name.substr(name.find_last_of('/') + 1) == orvikmenu::kPlainFileCheck)
        return args.size() == 1 && !orvikmenu::itemTexts(args).empty() && !orvikmenu::isSecureFile(args[0]) ? 0 : 1;
    if (args.empty()) return usage();
    const std::string& verb = args[0];
    if (verb == "invoke" && (args.size() == 3 || args.size() == 4)) {
        orvikmenu::Asked asked = orvikmenu::Asked::Either;
        if (args.size() == 4) {
            if (args[1] != "--file" && args[1] != "--secure") return usage();
            asked = args[1] == "--file" ? orvikmenu::Asked::File : orvikmenu::Asked::Secure;
        }
        const std::string& offsetText = args[args.size() - 2];
        char* end = nullptr;
        long offset = std::strtol(offsetText.c_str(), &end, 10);
        if (offsetText.empty() || *end || offset < 0 || offset > 2) return usage();
        if (orvikmenu::haveScreen()) orvikmenu::showMessagesOnScreen();
        return orvikmenu::invoke(static_cast<int>(offset), args.back(), asked) ? 0 : 1;
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
