#include "TempHome.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace orvik::test {

namespace {

std::string makeTemp(const char* prefix) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + "XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
    return pattern;
}

}  // namespace

TempHome::TempHome() : path_(makeTemp("orvik-home-")) {
    if (const char* old = std::getenv("ORVIK_HOME")) {
        previous_ = old;
        hadPrevious_ = true;
    }
    setenv("ORVIK_HOME", path_.c_str(), 1);
}

TempHome::~TempHome() {
    if (hadPrevious_) {
        setenv("ORVIK_HOME", previous_.c_str(), 1);
    } else {
        unsetenv("ORVIK_HOME");
    }
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

TempDir::TempDir() : path_(makeTemp("orvik-test-")) {}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool fileExists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

}  // namespace orvik::test
