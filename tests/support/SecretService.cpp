#include "SecretService.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "Shell.h"

extern char** environ;

namespace orvik::test {

namespace {

const char kPassword[] = "orvik-test-keyring";
const char kNoBus[] = "unix:abstract=orvik-tests-no-session-bus";

// Runs `argv` with `env` added to this process's environment (and DISPLAY and WAYLAND_DISPLAY
// left out, so nothing shows on a developer's screen), `input` on its standard input and its
// output in `log`. Returns the pid, or -1.
pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& input,
            const std::string& log) {
    std::vector<std::string> envText;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        bool replaced = name == "DISPLAY" || name == "WAYLAND_DISPLAY";
        for (const auto& mine : env) replaced = replaced || mine.compare(0, name.size() + 1, name + "=") == 0;
        if (!replaced) envText.push_back(entry);
    }
    envText.insert(envText.end(), env.begin(), env.end());
    std::vector<char*> args, envp;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (auto& e : envText) envp.push_back(e.data());
    envp.push_back(nullptr);
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[0], 0);
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (out >= 0) {
            dup2(out, 1);
            dup2(out, 2);
        }
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(pipeFds[0]);
    if (pid > 0 && !input.empty()) (void)!write(pipeFds[1], input.data(), input.size());
    close(pipeFds[1]);
    return pid;
}

void stop(pid_t& pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            pid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
}

template <class Check>
bool waitFor(Check check) {
    for (int i = 0; i < 250; ++i) {
        if (check()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

void setBus(const std::string& value, std::string& previous, bool& hadPrevious) {
    if (const char* old = std::getenv("DBUS_SESSION_BUS_ADDRESS")) {
        previous = old;
        hadPrevious = true;
    }
    setenv("DBUS_SESSION_BUS_ADDRESS", value.c_str(), 1);
}

void restoreBus(const std::string& previous, bool hadPrevious) {
    if (hadPrevious)
        setenv("DBUS_SESSION_BUS_ADDRESS", previous.c_str(), 1);
    else
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

}  // namespace

SecretService::SecretService(Start start, bool exported) {
    const std::string socket = dir_.file("bus");
    address_ = "unix:path=" + socket;
    // A session bus that starts no services of its own: the keyring is the one started here,
    // and no prompter can be activated, so an unlock the user would be asked for is declined.
    writeFile(dir_.file("bus.conf"),
              "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
              " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
              "<busconfig>\n  <type>session</type>\n  <listen>" +
                  address_ +
                  "</listen>\n  <auth>EXTERNAL</auth>\n"
                  "  <policy context=\"default\">\n    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                  "    <allow eavesdrop=\"true\"/>\n    <allow own=\"*\"/>\n  </policy>\n</busconfig>\n");
    bus_ = spawn({"/usr/bin/dbus-daemon", "--config-file=" + dir_.file("bus.conf"), "--nofork", "--nopidfile"}, {}, "",
                 dir_.file("bus.log"));
    if (bus_ < 0 || !waitFor([&] { return fileExists(socket); })) return;
    if (exported) {
        setBus(address_, previous_, hadPrevious_);
        busSet_ = true;
    }
    if (start == Start::BusOnly) {
        ready_ = true;
        return;
    }
    for (const char* sub : {"home", "data", "run", "config"}) mkdir(dir_.file(sub).c_str(), 0700);
    keyring_ =
        spawn({"/usr/bin/gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets"},
              {"HOME=" + dir_.file("home"), "XDG_DATA_HOME=" + dir_.file("data"), "XDG_RUNTIME_DIR=" + dir_.file("run"),
               "XDG_CONFIG_HOME=" + dir_.file("config"), "DBUS_SESSION_BUS_ADDRESS=" + address_},
              kPassword, dir_.file("keyring.log"));
    ready_ = keyring_ > 0 && waitFor([&] {
                 return runShell("DBUS_SESSION_BUS_ADDRESS=" + shellQuoted(address_) +
                                 " dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus "
                                 "org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null")
                            .out.find("boolean true") != std::string::npos;
             });
    if (!ready_)
        std::fprintf(stderr, "the test's keyring did not start:\n%s%s", readFile(dir_.file("bus.log")).c_str(),
                     readFile(dir_.file("keyring.log")).c_str());
}

SecretService::~SecretService() {
    stop(keyring_);
    stop(bus_);
    if (busSet_) restoreBus(previous_, hadPrevious_);
}

bool SecretService::lockKeyring() const {
    return runShell("DBUS_SESSION_BUS_ADDRESS=" + shellQuoted(address_) +
                    " dbus-send --session --print-reply --dest=org.freedesktop.secrets /org/freedesktop/secrets "
                    "org.freedesktop.Secret.Service.Lock array:objpath:/org/freedesktop/secrets/collection/login")
               .code == 0;
}

NoSessionBus::NoSessionBus() { setBus(kNoBus, previous_, hadPrevious_); }
NoSessionBus::~NoSessionBus() { restoreBus(previous_, hadPrevious_); }
std::string NoSessionBus::address() { return kNoBus; }

}  // namespace orvik::test
