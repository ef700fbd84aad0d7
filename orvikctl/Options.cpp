#include "Options.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace orvikctl {

Parsed parseOptions(const Args& args, const std::set<std::string>& withValue, const std::set<std::string>& bare) {
    Parsed p;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.rfind("--", 0) != 0 || a == "--") {
            p.positional.push_back(a);
            continue;
        }
        std::string name = a.substr(2);
        if (withValue.count(name)) {
            if (i + 1 >= args.size()) {
                p.ok = false;
                p.error = a + " needs a value";
                return p;
            }
            p.values[name] = args[++i];
        } else if (bare.count(name)) {
            p.flags.insert(name);
        } else {
            p.ok = false;
            p.error = "unknown option " + a;
            return p;
        }
    }
    return p;
}

std::set<std::string> withPasswords(std::set<std::string> withValue, std::initializer_list<const char*> passwords) {
    for (const char* name : passwords) {
        withValue.insert(name);
        withValue.insert(std::string(name) + "-fd");
        withValue.insert(std::string(name) + "-env");
    }
    return withValue;
}

bool readFromTerminal(const std::string& prompt, orvik::SecretString& out) {
    out.wipe();
    const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    termios before{};
    const bool terminal = tcgetattr(fd, &before) == 0;
    if (terminal) {
        termios quiet = before;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    bool ok = ::write(fd, prompt.data(), prompt.size()) == static_cast<ssize_t>(prompt.size());
    char c = 0;
    while (ok) {
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        if (c == '\n' || c == '\r') break;
        out.push_back(c);
    }
    if (terminal) tcsetattr(fd, TCSAFLUSH, &before);
    (void)!::write(fd, "\n", 1);
    ::close(fd);
    orvik::wipeMemory(&c, 1);
    if (!ok || out.empty()) out.wipe();
    return !out.empty();
}

namespace {

// Up to the first line end of descriptor `text`.
bool readFromDescriptor(const std::string& text, orvik::SecretString& out, std::string& error) {
    char* end = nullptr;
    errno = 0;
    const long fd = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end || errno || fd < 0 || fd > INT_MAX) {
        error = "not a file descriptor: " + text;
        return false;
    }
    char c = 0;
    for (;;) {
        const ssize_t n = ::read(static_cast<int>(fd), &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = "cannot read the password from descriptor " + text + ": " + std::strerror(errno);
            out.wipe();
            return false;
        }
        if (n == 0 || c == '\n') break;
        if (out.size() >= 4096) {
            error = "the password on descriptor " + text + " is longer than 4096 bytes";
            out.wipe();
            return false;
        }
        out.push_back(c);
    }
    orvik::wipeMemory(&c, 1);
    if (!out.empty() && out.back() == '\r') out.pop_back();
    return true;
}

}  // namespace

bool takePassword(Parsed& p, const PasswordQuestion& q, orvik::SecretString& out, std::string& error) {
    out.wipe();
    const std::string name = q.option, fd = name + "-fd", env = name + "-env";
    const int given = int(p.values.count(name)) + int(p.values.count(fd)) + int(p.values.count(env));
    if (given > 1) {
        error = "give the " + name + " one way only: --" + name + ", --" + fd + " or --" + env;
        return false;
    }
    if (auto it = p.values.find(name); it != p.values.end()) {
        out.assign(it->second.begin(), it->second.end());
        orvik::wipe(it->second);
        return true;
    }
    if (auto it = p.values.find(fd); it != p.values.end()) return readFromDescriptor(it->second, out, error);
    if (auto it = p.values.find(env); it != p.values.end()) {
        const char* value = std::getenv(it->second.c_str());
        if (!value) {
            error = "the environment has no variable " + it->second;
            return false;
        }
        out.assign(value);
        return true;
    }
    if (!q.required) return true;
    if (const char* value = std::getenv("ORVIK_PASSWORD"); value && name == "password") {
        out.assign(value);
        return true;
    }
    if (isatty(STDIN_FILENO) && readFromTerminal(std::string(q.prompt) + ": ", out)) {
        if (!q.confirm) return true;
        orvik::SecretString again;
        if (readFromTerminal(std::string(q.prompt) + " (again): ", again) && again == out) return true;
        out.wipe();
        error = "the two passwords differ";
        return false;
    }
    error = "no " + name + " given (--" + name + ", --" + fd + ", --" + env +
            (name == "password" ? ", ORVIK_PASSWORD" : "") + " or the terminal)";
    return false;
}

}  // namespace orvikctl
