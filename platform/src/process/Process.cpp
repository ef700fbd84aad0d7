#include "orvik/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <filesystem>
#include <thread>

#include "orvik/UniqueFd.h"

namespace orvik {

namespace {

// Parses a stored id: decimal digits only, above 1 (0 and 1 are never the assistant).
bool parsePid(const std::string& text, pid_t& pid) {
    if (text.empty() || text.size() > 9) return false;
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value <= 1 || value > INT_MAX) return false;
    pid = static_cast<pid_t>(value);
    return true;
}

int openPidfd(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

bool zombieOrGone(pid_t pid) {
    std::string stat = "/proc/" + std::to_string(pid) + "/stat";
    int fd = ::open(stat.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return true;
    char buf[512] = {};
    ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    if (n <= 0) return true;
    // The state follows the command name's closing parenthesis.
    std::string text(buf, static_cast<size_t>(n));
    size_t paren = text.rfind(')');
    return paren == std::string::npos || paren + 2 >= text.size() || text[paren + 2] == 'Z' || text[paren + 2] == 'X';
}

// Waits until the process has gone (exited, whether or not reaped yet).
bool waitGone(pid_t pid, int pidfd, int ms) {
    if (pidfd >= 0) {
        pollfd p{pidfd, POLLIN, 0};
        int rc;
        do {
            rc = poll(&p, 1, ms);
        } while (rc < 0 && errno == EINTR);
        return rc > 0;
    }
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (zombieOrGone(pid)) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool sendSignal(pid_t pid, int pidfd, int signal) {
    if (pidfd >= 0) return syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0) == 0;
    return ::kill(pid, signal) == 0;
}

std::string exeOf(pid_t pid) {
    std::string link = "/proc/" + std::to_string(pid) + "/exe";
    char buf[PATH_MAX + 32];
    ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
    if (n <= 0) return {};
    std::string exe(buf, static_cast<size_t>(n));
    // A program whose file was replaced while it ran still counts as that program.
    const std::string deleted = " (deleted)";
    if (exe.size() > deleted.size() && exe.compare(exe.size() - deleted.size(), deleted.size(), deleted) == 0)
        exe.resize(exe.size() - deleted.size());
    return exe;
}

}  // namespace

bool startProgram(const std::string& path, const std::vector<std::string>& args) {
    if (path.empty() || path[0] != '/' || access(path.c_str(), X_OK) != 0) return false;
    std::vector<std::string> strings{path};
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : strings) argv.push_back(s.data());
    argv.push_back(nullptr);

    // The grandchild reports a failed exec through the pipe; a successful one closes it.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return false;
    pid_t child = fork();
    if (child < 0) {
        ::close(report[0]);
        ::close(report[1]);
        return false;
    }
    if (child == 0) {
        // Only async-signal-safe calls from here: the parent may have other threads.
        setsid();
        pid_t grandchild = fork();
        if (grandchild != 0) _exit(grandchild < 0 ? 1 : 0);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execv(path.c_str(), argv.data());
        int error = errno;
        ssize_t ignored = ::write(report[1], &error, sizeof error);
        (void)ignored;
        _exit(127);
    }
    ::close(report[1]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int error = 0;
    ssize_t n;
    do {
        n = ::read(report[0], &error, sizeof error);
    } while (n < 0 && errno == EINTR);
    ::close(report[0]);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 && n == 0;
}

EndResult endProgram(const std::string& pidText, const std::string& program, int graceMs) {
    pid_t pid = 0;
    if (!parsePid(pidText, pid) || pid == getpid() || program.empty() || program[0] != '/') return EndResult::Refused;

    // Held from the start, the pidfd pins the process: the checks below and the signals all
    // concern one process even if the id is reused meanwhile.
    UniqueFd pidfd(openPidfd(pid));
    if (pidfd.get() < 0 && errno == ESRCH) return EndResult::NotRunning;

    struct stat st {};
    std::string procDir = "/proc/" + std::to_string(pid);
    if (::stat(procDir.c_str(), &st) != 0) return errno == ENOENT ? EndResult::NotRunning : EndResult::Refused;
    if (st.st_uid != getuid()) return EndResult::Refused;
    std::error_code ec;
    std::filesystem::path expected = std::filesystem::weakly_canonical(program, ec);
    if (ec) return EndResult::Refused;
    std::string exe = exeOf(pid);
    if (exe.empty()) return zombieOrGone(pid) ? EndResult::NotRunning : EndResult::Refused;
    if (exe != expected.string()) return EndResult::Refused;
    if (waitGone(pid, pidfd.get(), 0)) return EndResult::NotRunning;

    if (!sendSignal(pid, pidfd.get(), SIGTERM)) return errno == ESRCH ? EndResult::NotRunning : EndResult::Failed;
    if (waitGone(pid, pidfd.get(), graceMs)) return EndResult::Ended;
    if (!sendSignal(pid, pidfd.get(), SIGKILL) && errno != ESRCH) return EndResult::Failed;
    return waitGone(pid, pidfd.get(), 5000) ? EndResult::Ended : EndResult::Failed;
}

bool folderIsUpdatable(const std::string& dir) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    // A package's folder is root's; only root may replace its files, and the package manager should.
    if (st.st_uid == 0 && geteuid() != 0) return false;
    // Root passes every access check: its own folder's mode bits still say read-only.
    if (st.st_uid == geteuid() && (st.st_mode & S_IWUSR) == 0) return false;
    return access(dir.c_str(), W_OK | X_OK) == 0;
}

}  // namespace orvik
