#include <orvik/ReadFile.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <orvik/Secret.h>

namespace orvik {

namespace {

// Until the end, or one byte past the limit.
bool readUpTo(int fd, std::string& out, size_t limit, size_t expected) {
    out.clear();
    out.reserve(std::min(expected, limit) + 1);
    char buffer[1 << 16];
    while (out.size() <= limit) {
        const size_t want = std::min(sizeof buffer, limit + 1 - out.size());
        const ssize_t n = ::read(fd, buffer, want);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        out.append(buffer, static_cast<size_t>(n));
    }
    if (out.size() <= limit) return true;
    errno = EFBIG;
    return false;
}

}  // namespace

bool readBounded(int fd, std::string& out, size_t limit) {
    if (readUpTo(fd, out, limit, 0)) return true;
    const int code = errno;
    wipe(out);
    errno = code;
    return false;
}

bool readRegularFile(const std::string& path, std::string& out, size_t limit) {
    out.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    int code = 0;
    if (fstat(fd, &st) != 0) {
        code = errno;
    } else if (!S_ISREG(st.st_mode)) {
        code = EINVAL;
    } else if (static_cast<unsigned long long>(st.st_size) > limit) {
        code = EFBIG;
    } else if (fcntl(fd, F_SETFL, O_RDONLY) != 0 || !readUpTo(fd, out, limit, static_cast<size_t>(st.st_size))) {
        code = errno;
    }
    ::close(fd);
    if (!code) return true;
    wipe(out);
    errno = code;
    return false;
}

}  // namespace orvik
