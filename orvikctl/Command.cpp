#include "Command.h"

#include <sys/stat.h>

#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

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

bool readAll(const std::string& path, std::string& out) {
    if (path == "-") {
        out.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        return true;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    out = s.str();
    return !in.bad();
}

bool writeAll(const std::string& path, const std::string& bytes) {
    FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) return false;
    struct stat st {};
    const bool regular = fstat(fileno(out), &st) == 0 && S_ISREG(st.st_mode);
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    ok = std::fclose(out) == 0 && ok;
    if (!ok && regular) std::remove(path.c_str());
    return ok;
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
