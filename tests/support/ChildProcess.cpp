#include "ChildProcess.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

namespace orvik::test {

namespace {

std::map<std::string, ChildEntry>& entries() {
    static std::map<std::string, ChildEntry> table;
    return table;
}

const char kFlag[] = "--orvik-child=";

}  // namespace

bool registerChildEntry(const std::string& name, ChildEntry entry) {
    entries()[name] = std::move(entry);
    return true;
}

bool runChildEntry(int argc, char** argv, int* exitCode) {
    if (argc < 2 || std::strncmp(argv[1], kFlag, sizeof kFlag - 1) != 0) return false;
    std::string name = argv[1] + sizeof kFlag - 1;
    auto it = entries().find(name);
    if (it == entries().end()) {
        *exitCode = 127;
        return true;
    }
    std::vector<std::string> args(argv + 2, argv + argc);
    *exitCode = it->second(args);
    return true;
}

ChildProcess::ChildProcess(const std::string& entry, const std::vector<std::string>& args) {
    std::vector<std::string> argv{"/proc/self/exe", kFlag + entry};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (auto& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return;
    self[n] = '\0';
    pid_ = fork();
    if (pid_ == 0) {
        execv(self, raw.data());
        _exit(126);
    }
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGKILL);
        wait();
    }
}

int ChildProcess::wait() {
    if (pid_ <= 0) return -1;
    if (!reaped_) {
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0) {
            if (errno != EINTR) return -1;
        }
        reaped_ = true;
        status_ = status;
    }
    if (WIFEXITED(status_)) return WEXITSTATUS(status_);
    if (WIFSIGNALED(status_)) return 128 + WTERMSIG(status_);
    return -1;
}

void ChildProcess::kill(int signal) {
    if (pid_ > 0 && !reaped_) ::kill(pid_, signal);
}

}  // namespace orvik::test
