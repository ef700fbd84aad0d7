#include <orvik/TempFile.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace orvik {

namespace {

// The writer's id in a name of the prefix, or 0 when the name is not one of them.
pid_t writerOf(const std::string& name, const std::string& prefix) {
    if (name.compare(0, prefix.size(), prefix) != 0) return 0;
    const char* p = name.c_str() + prefix.size();
    char* end = nullptr;
    errno = 0;
    long pid = std::strtol(p, &end, 10);
    if (errno || end == p || *end != '-' || pid <= 0) return 0;
    return static_cast<pid_t>(pid);
}

bool running(pid_t pid) { return pid == getpid() || kill(pid, 0) == 0 || errno == EPERM; }

}  // namespace

int sweepStaleTempFilesAt(int dirFd, const std::string& prefix) {
    int own = ::dup(dirFd);
    DIR* d = own >= 0 ? fdopendir(own) : nullptr;
    if (!d) {
        if (own >= 0) ::close(own);
        return 0;
    }
    std::vector<std::string> stale;
    while (dirent* e = readdir(d)) {
        pid_t pid = writerOf(e->d_name, prefix);
        if (pid && !running(pid)) stale.push_back(e->d_name);
    }
    rewinddir(d);
    closedir(d);
    int removed = 0;
    for (const auto& name : stale) removed += ::unlinkat(dirFd, name.c_str(), 0) == 0;
    return removed;
}

int sweepStaleTempFiles(const std::string& dir, const std::string& prefix) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return 0;
    int removed = sweepStaleTempFilesAt(fd, prefix);
    ::close(fd);
    return removed;
}

int createTempFile(const std::string& dir, const std::string& prefix, std::string& path) {
    sweepStaleTempFiles(dir, prefix);
    path = dir + "/" + prefix + std::to_string(getpid()) + "-XXXXXX";
    int fd = mkostemp(path.data(), O_CLOEXEC);
    if (fd >= 0 && fchmod(fd, 0600) != 0) {
        int error = errno;
        ::close(fd);
        ::unlink(path.c_str());
        errno = error;
        return -1;
    }
    return fd;
}

}  // namespace orvik
