// Reading a whole file into memory, bounded: a reader never waits on a FIFO, never reads a device
// without end and never takes more memory than its format can need.
#pragma once

#include <cstddef>
#include <string>

#include "../windef.h"

namespace orvik {

// The whole of the regular file `path` when it holds at most `limit` bytes. False with errno set:
// EINVAL for anything but a regular file (opened without waiting, so a FIFO is refused, not
// waited on), EFBIG for a larger file (also one that grows past the limit while it is read), or
// the error of the failed call.
ORVIK_PLATFORM_API bool readRegularFile(const std::string& path, std::string& out, size_t limit);

// The same from an open descriptor of any kind (standard input), up to its end.
ORVIK_PLATFORM_API bool readBounded(int fd, std::string& out, size_t limit);

}  // namespace orvik
