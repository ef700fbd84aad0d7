// Starting and ending the system's own programs: no shell, absolute paths only, and a stored
// process id is trusted only when it still names the program it is meant to.
#pragma once

#include <string>
#include <vector>

#include "../windef.h"

namespace orvik {

// Runs the program at the absolute `path` with `args`, detached: it outlives the caller and
// leaves no zombie. False (nothing runs) when the path is relative or cannot be executed.
ORVIK_PLATFORM_API bool startProgram(const std::string& path, const std::vector<std::string>& args = {});

enum class EndResult {
    Ended,       // it was running and has gone
    NotRunning,  // nothing runs under that id
    Refused,     // the id is malformed, ours, or another program's or user's: left alone
    Failed,      // it would not go
};

// Ends the process `pidText` names, but only when it is `program` (an absolute path) run by this
// user: SIGTERM, up to `graceMs` for it to go, then SIGKILL. Returns once it has gone, so its
// files are free.
ORVIK_PLATFORM_API EndResult endProgram(const std::string& pidText, const std::string& program, int graceMs = 5000);

// The folder can be updated in place by this user: it is a folder, writable, and not a system
// install (root's, while we are not root).
ORVIK_PLATFORM_API bool folderIsUpdatable(const std::string& dir);

}  // namespace orvik
