#include "Common.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <utility>
#include <vector>

#include <orvik/Deployment.h>
#include <orvik/Process.h>
#include <windows.h>

#include "Register.h"
#include "UpdateFile.h"

namespace {

constexpr const char* kNoServer = "无法连接服务器，请稍候重试";

struct Field {
    const char* value;
    std::string (Config::*get)() const;
    void (Config::*set)(std::string);
};

// The values in the order they are read and written.
const Field kFields[] = {
    {"Version", &Config::GetVersion, &Config::SetVersion},
    {"StartUpCheckNew", &Config::GetStartUpCheckNew, &Config::SetStartUpCheckNew},
    {"ServerName", &Config::GetServer, &Config::SetServer},
    {"ServerPath", &Config::GetServerPath, &Config::SetServerPath},
    {"ProcessID", &Config::GetProcessID, &Config::SetProcessID},
    {"CurrentOperation", &Config::GetCurrentOperation, &Config::SetCurrentOperation},
    {"ConfigPath", &Config::GetConfigPath, &Config::SetConfigPath},
};

bool readWhole(const std::string& path, std::string& text) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    text.clear();
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    ::close(fd);
    return n == 0;
}

// The text between the first "<UpdateDate>" and the "</UpdateDate>" after it.
std::string updateDate(const std::string& list) {
    const std::string open = "<UpdateDate>", close = "</UpdateDate>";
    size_t begin = list.find(open);
    if (begin == std::string::npos) return {};
    begin += open.size();
    size_t end = list.find(close, begin);
    return end == std::string::npos ? std::string() : list.substr(begin, end - begin);
}

// Removes whatever is at `dir`: a link is removed, never followed.
void removeFolder(const std::string& dir) {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

}  // namespace

Common::Common(std::string workDir) : workDir_(std::move(workDir)) {
    if (!workDir_.empty() && workDir_.back() != '/') workDir_ += '/';
}

Common::~Common() = default;

int Common::ReadConfigFromReg(Config& config, std::string keyPath) {
    if (keyPath.empty()) return UPDATE_NO_KEY;
    Register reg;
    for (const Field& f : kFields) (config.*f.set)(reg.GetRegStringValue(keyPath, f.value));
    return UPDATE_DONE;
}

int Common::SaveConfigtoReg(Config config, std::string keyPath) {
    if (keyPath.empty()) return UPDATE_NO_KEY;
    Register reg;
    int result = UPDATE_DONE;
    for (const Field& f : kFields) {
        std::string value = (config.*f.get)();
        if (!value.empty() && !reg.SetRegStringValue(keyPath, f.value, value)) result = UPDATE_NO_KEY;
    }
    return result;
}

std::string Common::GetWorkDir() {
    if (!workDir_.empty()) return workDir_;
    char path[4096] = {};
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string self(path, n < sizeof path ? n : 0);
    size_t slash = self.rfind('/');
    return slash == std::string::npos ? std::string("./") : self.substr(0, slash + 1);
}

bool Common::InitTempPath() {
    const std::string temp = GetWorkDir() + "temp";
    removeFolder(temp);
    if (::mkdir(temp.c_str(), 0700) != 0) return false;
    struct stat st {};
    // Made just now, but check what is there before anything is written into it.
    return lstat(temp.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
           (st.st_mode & 0777) == 0700;
}

void Common::DeleteTemp() {
    removeFolder(GetWorkDir() + "temp");
    Config root;
    ReadConfigFromReg(root, kUpdateRootKey);
    Config done;
    done.SetCurrentOperation("0");
    SaveConfigtoReg(done, root.GetConfigPath());
}

int Common::CheckForUpdate(std::string configPath, std::string serverName, std::string serverPath) {
    Config root;
    root.SetConfigPath(configPath);
    SaveConfigtoReg(root, kUpdateRootKey);
    Config server;
    server.SetServer(serverName);
    server.SetServerPath(serverPath);
    SaveConfigtoReg(server, configPath);

    const std::string work = GetWorkDir();
    const std::string systemDir = orvik::deployment::text("SystemDir");
    if (!orvik::folderIsUpdatable(work) || (!systemDir.empty() && !orvik::folderIsUpdatable(systemDir))) {
        MessageBoxA(nullptr, kUpdateThroughPackages, "提示", MB_OK | MB_ICONINFORMATION);
        DeleteTemp();
        return UPDATE_NO_SERVER;
    }

    UpdateFile file(serverName, 0, "", "");
    if (!file.OpenConnection()) {
        DeleteTemp();
        return UPDATE_NO_SERVER;
    }
    // Plain concatenation: the assistant's path ends with "/", so the address has "//".
    const std::string listPath = serverPath + "/FileList.xml";
    if (!file.FileIsExistOnServer(listPath)) {
        DeleteTemp();
        return UPDATE_NO_SERVER;
    }

    ReadConfigFromReg(root, kUpdateRootKey);
    Config process;
    process.SetProcessID(std::to_string(getpid()));
    SaveConfigtoReg(process, root.GetConfigPath());

    std::string installed, offered;
    UpdateFile::Expect list;
    list.bounded = true;
    if (!InitTempPath() || file.GetFile(listPath, work + "temp/FileList.xml", list) == 0 ||
        !readWhole(work + "temp/FileList.xml", offered)) {
        DeleteTemp();
        return UPDATE_NO_SERVER;
    }
    const bool newer = !readWhole(work + "FileList.xml", installed) || updateDate(offered) > updateDate(installed);
    if (!newer) {
        file.CloseConnection();
        DeleteTemp();
        return UPDATE_NOTHING;
    }

    // The fetcher replaces the installed one only when it arrived whole, and then runs.
    UpdateFile::Expect program;
    program.mode = 0755;
    const std::string fetcher = work + "OrvikFetch";
    bool started = file.GetFile(serverPath + "/OrvikFetch", fetcher, program) > 0 && orvik::startProgram(fetcher);
    // Read before closing: a closed connection reports no failure, and the box would show twice.
    const bool reported = file.LastTransportFailed();
    file.CloseConnection();
    if (!started) {
        if (!reported) MessageBoxA(nullptr, kNoServer, "提示", MB_OK | MB_ICONWARNING);
        DeleteTemp();
        return UPDATE_NO_SERVER;
    }
    return UPDATE_DONE;
}
