#include "crypt/MozillaHomeFixture.h"

#include <gtest/gtest.h>
#include <link.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;

namespace orvik::test {

MozillaHome::MozillaHome() : home_(std::getenv("HOME") ? std::getenv("HOME") : "") {
    if (const char* config = std::getenv("XDG_CONFIG_HOME")) config_ = config, hadConfig_ = true;
    setenv("HOME", path().c_str(), 1);
    unsetenv("XDG_CONFIG_HOME");
}

MozillaHome::~MozillaHome() {
    setenv("HOME", home_.c_str(), 1);
    if (hadConfig_) setenv("XDG_CONFIG_HOME", config_.c_str(), 1);
}

std::string MozillaHome::profile(const std::string& root, const std::string& name, bool withDatabase) {
    const std::string folder = std::to_string(ini_.size()) + std::to_string(ini_[root].size()) + "." + name;
    const std::string dir = path() + "/" + root + "/" + folder;
    fs::create_directories(dir);
    ini_[root] +=
        "[Profile" + std::to_string(ini_[root].size()) + "]\nName=" + name + "\nIsRelative=1\nPath=" + folder + "\n\n";
    writeFile(path() + "/" + root + "/profiles.ini", ini_[root]);
    if (withDatabase) {
        EXPECT_EQ(tool("certutil -N --empty-password -d sql:" + dir).out, "");
    }
    return dir;
}

std::string MozillaHome::sharedDatabase() {
    fs::create_directories(path() + "/.pki/nssdb");
    EXPECT_EQ(tool("certutil -N --empty-password -d sql:" + path() + "/.pki/nssdb").out, "");
    return path() + "/.pki/nssdb";
}

ShellRun MozillaHome::tool(const std::string& command) {
    // The sanitizers' runtimes of this process go first, as the module needs them.
    std::string preload;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* out) {
            const std::string name = info->dlpi_name ? info->dlpi_name : "";
            const std::string base = name.substr(name.find_last_of('/') + 1);
            if (base.rfind("libasan.so", 0) == 0 || base.rfind("libubsan.so", 0) == 0)
                *static_cast<std::string*>(out) += name + " ";
            return 0;
        },
        &preload);
    const std::string env = preload.empty() ? "" : "env LD_PRELOAD='" + preload + "' ASAN_OPTIONS=detect_leaks=0 ";
    return runShell(env + command + " </dev/null 2>&1");
}

void MozillaHome::lock(const std::string& dir) {
    fs::create_symlink("127.0.0.1:+" + std::to_string(::getpid()), dir + "/lock");
}

void MozillaHome::unlock(const std::string& dir) { fs::remove(dir + "/lock"); }

}  // namespace orvik::test
