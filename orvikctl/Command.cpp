#include "Command.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <orvik/AtomicFile.h>
#include <orvik/ReadFile.h>
#include <orvik/Secret.h>

namespace orvikctl {

namespace {

std::vector<Command>& table() {
    static std::vector<Command> all;
    return all;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

void addCommands(const std::vector<Command>& commands) {
    table().insert(table().end(), commands.begin(), commands.end());
}

const std::vector<Command>& commands() { return table(); }

bool registered(const std::vector<Command>& commands) {
    addCommands(commands);
    return true;
}

int fail(const std::string& message) {
    std::fprintf(stderr, "orvikctl: %s\n", message.c_str());
    return Failed;
}

int usage(const char* name) {
    for (const auto& c : table())
        if (std::string(c.name) == name) std::fprintf(stderr, "usage: orvikctl %s %s\n", c.name, c.usage);
    return Usage;
}

std::string sizeText(unsigned long long bytes) {
    // Rounded to the nearest unit: a limit a few bytes below 2 GiB reads "2 GiB".
    if (bytes >= (1ull << 30) - (1ull << 20)) return std::to_string((bytes + (1ull << 29)) >> 30) + " GiB";
    if (bytes >= (1ull << 20)) return std::to_string((bytes + (1ull << 19)) >> 20) + " MiB";
    return std::to_string(bytes) + " bytes";
}

namespace {

std::string tooLarge(const std::string& path, const Limit& limit) {
    return path + " is larger than " + sizeText(limit.bytes) + ", the most " + limit.what + " may hold";
}

}  // namespace

bool regularOrAbsent(const std::string& path, std::string& error) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return true;
    error = path + " is not a regular file";
    return false;
}

bool regularFile(const std::string& path, std::string& error) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    if (S_ISREG(st.st_mode)) return true;
    error = path + " is not a regular file";
    return false;
}

bool readAll(const std::string& path, std::string& out, const Limit& limit, std::string& error) {
    const bool input = path == "-";
    if (input ? orvik::readBounded(STDIN_FILENO, out, limit.bytes) : orvik::readRegularFile(path, out, limit.bytes))
        return true;
    const std::string name = input ? std::string("standard input") : path;
    if (errno == EFBIG) {
        error = tooLarge(name, limit);
    } else if (errno == EINVAL) {
        error = name + " is not a regular file";
    } else {
        error = "cannot read " + name + ": " + std::strerror(errno);
    }
    return false;
}

bool readAll(const std::string& path, std::string& out, const Limit& limit) {
    std::string error;
    if (readAll(path, out, limit, error)) return true;
    fail(error);
    return false;
}

bool writeAll(const std::string& path, std::string_view bytes, Readers readers, std::string& error, bool replace) {
    if (path == "-") {
        if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size() && std::fflush(stdout) == 0) return true;
        error = std::string("cannot write standard output: ") + std::strerror(errno);
        return false;
    }
    if (!regularOrAbsent(path, error)) return false;
    mode_t mode = 0600;
    if (readers == Readers::Umask) {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    if (orvik::writeFileAtomically(path, bytes, mode,
                                   replace ? orvik::AtomicFile::Replace::Yes : orvik::AtomicFile::Replace::No))
        return true;
    const int code = errno;
    error = "cannot write " + path + ": " + std::strerror(code);
    errno = code;
    return false;
}

bool writeAll(const std::string& path, const std::string& bytes) {
    std::string error;
    return writeAll(path, bytes, Readers::Umask, error);
}

bool parseHex(const std::string& text, std::string& out) {
    out.clear();
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == ':') {
            if (high >= 0) return false;
            continue;
        }
        int v = hexValue(c);
        if (v < 0) return false;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<char>(high << 4 | v));
            high = -1;
        }
    }
    return high < 0;
}

std::string toHex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

}  // namespace orvikctl
