// first-start: what the assistant does on a user's first start of a version, for a user who sets
// up from a shell, or to do it again (--force).
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "Command.h"
#include "app/FirstStart.h"

namespace orvikctl {
namespace {

namespace fs = orvikdesk::firststart;

std::string programDir() {
    char path[PATH_MAX] = {};
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string self = n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
    return self.substr(0, self.find_last_of('/'));
}

std::string causeText(const fs::Problem& p) {
    switch (p.cause) {
    case fs::Cause::DiskFull: return "the disk is full";
    case fs::Cause::NotWritable: return "not writable";
    case fs::Cause::Other: break;
    }
    char code[32];
    std::snprintf(code, sizeof code, "error 0x%lx", p.code);
    return code;
}

int firstStart(const Args& args) {
    bool force = false;
    for (const std::string& a : args) {
        if (a != "--force") return usage("first-start");
        force = true;
    }
    const fs::Outcome out = fs::run(programDir(), force);
    std::printf("Version\t%s\n", fs::version().c_str());
    if (!out.due) {
        std::printf("First start\talready done for this version\n");
        return Ok;
    }
    std::printf("Authorities\t%s\n", out.authorities ? "installed" : "unchanged");
    switch (out.menus) {
    case fs::Menus::User: std::printf("File managers\tentries written to the user's folders\n"); break;
    case fs::Menus::ThunarOnly:
        std::printf("File managers\tThunar's actions added (the others are installed for every user)\n");
        break;
    case fs::Menus::Skipped: std::printf("File managers\tnothing written\n"); break;
    }
    for (const fs::Problem& p : out.problems)
        std::fprintf(stderr, "orvikctl: first start: cannot write %s: %s\n", p.what.c_str(), causeText(p).c_str());
    return out.problems.empty() ? Ok : Failed;
}

const bool added = registered({
    {"first-start", "[--force]",
     "what the assistant's first start does: authorities, installation folder, file-manager entries", firstStart},
});

}  // namespace
}  // namespace orvikctl
