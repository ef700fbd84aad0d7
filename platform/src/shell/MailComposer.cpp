#include "orvik/MailComposer.h"

#include <limits.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

extern char** environ;

namespace orvik {

std::vector<std::string> usableAddresses(const std::vector<std::string>& to) {
    std::vector<std::string> kept;
    for (const std::string& address : to) {
        if (address.empty() || address[0] == '-') continue;
        bool plain = true;
        for (unsigned char c : address)
            if (c <= ' ' || c == 0x7F) plain = false;
        if (plain) kept.push_back(address);
    }
    return kept;
}

bool composeMail(const std::vector<std::string>& to, const std::string& attachment) {
    char resolved[PATH_MAX];
    if (attachment.empty() || !realpath(attachment.c_str(), resolved)) return false;
    std::vector<std::string> args = {"xdg-email", "--utf8", "--attach", resolved};
    for (const std::string& address : usableAddresses(to)) args.push_back(address);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, "xdg-email", nullptr, nullptr, argv.data(), environ) != 0) return false;
    // xdg-email hands over to the mail program and ends; one that stays has opened the composer.
    for (int i = 0; i < 100; ++i) {
        int status = 0;
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (done < 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
    return true;
}

}  // namespace orvik
