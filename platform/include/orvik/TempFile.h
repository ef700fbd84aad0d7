// Temporary files that a write fills and then renames over its target. Each name carries its
// writer's process id, so a file left by a writer that died (killed, power cut) is known as stale
// and swept away by the next writer in the same folder.
#pragma once

#include <string>

#include "../windef.h"

namespace orvik {

// Creates "<dir>/<prefix><pid>-XXXXXX" (mode 0600) and returns its descriptor, or -1 with errno
// set. Stale files of the same prefix in `dir` are removed first.
ORVIK_PLATFORM_API int createTempFile(const std::string& dir, const std::string& prefix, std::string& path);

// Removes the files "<dir>/<prefix><pid>-*" whose process no longer runs; returns how many.
ORVIK_PLATFORM_API int sweepStaleTempFiles(const std::string& dir, const std::string& prefix);
// The same in the folder open as `dirFd`.
ORVIK_PLATFORM_API int sweepStaleTempFilesAt(int dirFd, const std::string& prefix);

}  // namespace orvik
