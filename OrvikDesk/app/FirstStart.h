// What the Windows installer did, done on a user's first start of each version: the built-in
// authorities into Root and CA, the installation folder into the profile, and the file managers'
// entries that only a user's own folders can hold. A marker in the profile makes it run once per
// version and program folder; the authorities go in again only when the built-in set differs from
// the one installed last, so an authority the user removed stays removed until a new set comes.
// Without Qt: orvikctl runs the same steps.
#pragma once

#include <string>
#include <vector>

namespace orvikdesk::firststart {

enum class Step { InstallDir, Authorities, Menus, Marker };
enum class Cause { DiskFull, NotWritable, Other };

struct Problem {
    Step step;
    Cause cause;
    unsigned long code;  // the registry's error code, or errno for files
    std::string what;    // what could not be written, for logs and orvikctl
};

enum class Menus {
    Skipped,     // not due this time, or no orvikmenu beside the program
    User,        // every file manager's entries in the user's folders (a build or a private copy)
    ThunarOnly,  // the system holds the others (the package); Thunar reads the user's file only
};

struct Outcome {
    bool due = false;          // something was to be done for this version or program folder
    bool authorities = false;  // the built-in authorities were installed this time
    Menus menus = Menus::Skipped;
    std::vector<Problem> problems;
};

// The version whose first start is recorded.
std::string version();

// Runs what is due for the program in `programDir` (all of it with `force`). A step that fails is
// reported and tried again on the next start; the others are kept.
Outcome run(const std::string& programDir, bool force = false);

// Whether a folder of XDG_DATA_DIRS holds the file managers' entries for every user.
bool systemWideMenus(const std::string& helper);

}  // namespace orvikdesk::firststart
