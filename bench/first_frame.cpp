// Start-up: the time from starting the assistant to its main window's first frame, against a bare
// Qt window program started the same way in the same run. Both report their first frame on
// standard output (ORVIK_REPORT_FIRST_FRAME) and are ended once they have. Target: ratio <= 2.
// Runs on the display it is given; without one, on the offscreen platform.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/Profile.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 7;

// Milliseconds from the start of `program` to its "first frame" line; negative when it never came.
double timeToFirstFrame(const std::string& program) {
    int out[2];
    if (pipe(out) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    pid_t pid = 0;
    const auto started = Clock::now();
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    double ms = -1;
    if (rc == 0) {
        std::string seen;
        pollfd wait{out[0], POLLIN, 0};
        while (poll(&wait, 1, 30000) > 0) {
            char buffer[256];
            const ssize_t n = read(out[0], buffer, sizeof buffer);
            if (n <= 0) break;
            seen.append(buffer, static_cast<size_t>(n));
            if (seen.find("first frame\n") != std::string::npos) {
                ms = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
                break;
            }
        }
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    close(out[0]);
    return ms;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main() {
    if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY")) setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // A home of the run's own: the profile, the browser's files and the instance lock.
    const std::filesystem::path home =
        std::filesystem::temp_directory_path() / ("orvik-first-frame-" + std::to_string(getpid()));
    std::filesystem::create_directories(home);
    std::filesystem::permissions(home, std::filesystem::perms::owner_all);
    setenv("ORVIK_HOME", home.c_str(), 1);
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", home.c_str(), 1);
    setenv("ORVIK_REPORT_FIRST_FRAME", "1", 1);
    // The browser's sandbox refuses root; the benchmark may run as root in a container.
    if (geteuid() == 0) setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 1);
    // The site page is the loopback's: the engine, should it get that far, reaches nowhere.
    orvikdesk::profile::write("ServiceURL\\00000000", "Value", "http://127.0.0.1:9/");
    orvikdesk::profile::write("ServiceURL", "Default", "00000000");

    const std::string desk = ORVIKDESK_PATH, bare = BARE_WINDOW_PATH;
    // The first start of the assistant does the installer's work once: not what is measured.
    const double firstStart = timeToFirstFrame(desk);
    timeToFirstFrame(bare);
    std::vector<double> deskTimes, bareTimes;
    for (int round = 0; round < kRounds; ++round) {
        bareTimes.push_back(timeToFirstFrame(bare));
        deskTimes.push_back(timeToFirstFrame(desk));
    }
    std::filesystem::remove_all(home);
    if (firstStart < 0 || std::min(*std::min_element(deskTimes.begin(), deskTimes.end()),
                                   *std::min_element(bareTimes.begin(), bareTimes.end())) < 0) {
        std::printf("first_frame: a program never reported its first frame\n");
        return 1;
    }
    const double d = median(deskTimes), b = median(bareTimes);
    std::printf(
        "first_frame (%s): main window %.0f ms (first start %.0f ms), bare Qt window %.0f ms, ratio %.2f "
        "(target <= 2)\n",
        std::getenv("QT_QPA_PLATFORM") ? std::getenv("QT_QPA_PLATFORM") : "display", d, firstStart, b, d / b);
    return 0;
}
