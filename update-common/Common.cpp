#include "Common.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <utility>
#include <vector>

#include <orvik/Deployment.h>
#include <orvik/Process.h>
#include <orvik/UniqueFd.h>
#include <windows.h>

#include "FileList.h"
#include "Register.h"
#include "UpdateFile.h"
#include "UpdateTrust.h"

namespace {

using updatetrust::kNoServer;

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

// A regular file of at most a list's size; a link, a FIFO or anything larger is not read.
bool readWhole(const std::string& path, std::string& text) {
    orvik::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat st {};
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > updatetrust::kMaxListBytes)
        return false;
    text.clear();
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        text.append(buf, static_cast<size_t>(n));
        if (static_cast<long long>(text.size()) > updatetrust::kMaxListBytes) return false;
    }
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
    // The whole check, the fetcher's download included, ends within the deployment's time.
    long limit = static_cast<long>(orvik::deployment::number(orvik::deployment::kUpdateTimeout));
    file.SetDeadline(limit > 0 ? limit : 30);
    // Refused: the user is told why, and nothing of the run is kept.
    auto refuse = [&](const std::string& text) {
        file.CloseConnection();
        MessageBoxA(nullptr, text.c_str(), "提示", MB_OK | MB_ICONWARNING);
        DeleteTemp();
        return UPDATE_NO_SERVER;
    };
    // Plain concatenation: the assistant's path ends with "/", so the address has "//".
    const std::string listPath = serverPath + "/" + updatetrust::kListName;
    if (!file.FileIsExistOnServer(listPath)) {
        if (file.LastFailure() == UpdateFile::Failure::Redirect) return refuse(updatetrust::kRedirectRefused);
        DeleteTemp();
        return UPDATE_NO_SERVER;
    }

    ReadConfigFromReg(root, kUpdateRootKey);
    Config process;
    process.SetProcessID(std::to_string(getpid()));
    SaveConfigtoReg(process, root.GetConfigPath());

    const std::string temp = work + "temp/";
    std::string installed, offered, signature;
    UpdateFile::Expect list;
    list.bounded = true;
    list.maxSize = updatetrust::kMaxListBytes;
    if (!InitTempPath() || file.GetFile(listPath, temp + updatetrust::kListName, list) == 0 ||
        !readWhole(temp + updatetrust::kListName, offered)) {
        switch (file.LastFailure()) {
        case UpdateFile::Failure::TooLarge: return refuse(updatetrust::kListTooLarge);
        case UpdateFile::Failure::Redirect: return refuse(updatetrust::kRedirectRefused);
        default: DeleteTemp(); return UPDATE_NO_SERVER;
        }
    }
    // The signature first: nothing of an unsigned list, not even its date, is believed.
    UpdateFile::Expect sig;
    sig.bounded = true;
    sig.maxSize = updatetrust::kMaxSignatureBytes;
    if (file.GetFile(serverPath + "/" + updatetrust::kSignatureName, temp + updatetrust::kSignatureName, sig) == 0) {
        switch (file.LastFailure()) {
        case UpdateFile::Failure::NotThere: return refuse(updatetrust::kSignatureMissing);
        case UpdateFile::Failure::TooLarge: return refuse(updatetrust::kSignatureInvalid);
        case UpdateFile::Failure::Redirect: return refuse(updatetrust::kRedirectRefused);
        default: DeleteTemp(); return UPDATE_NO_SERVER;
        }
    }
    if (!readWhole(temp + updatetrust::kSignatureName, signature)) return refuse(updatetrust::kSignatureMissing);
    const updatetrust::Verdict verdict = updatetrust::verifyList(offered, signature);
    if (verdict != updatetrust::Verdict::Good) return refuse(updatetrust::verdictText(verdict));

    // An earlier or the same list, replayed or not, offers nothing.
    const bool newer = !readWhole(work + updatetrust::kListName, installed) ||
                       updatetrust::listDate(offered) > updatetrust::listDate(installed);
    if (!newer) {
        file.CloseConnection();
        DeleteTemp();
        return UPDATE_NOTHING;
    }

    FileList read;
    if (ReadFileListFromXml(temp + updatetrust::kListName, read) != UPDATE_DONE) {
        file.CloseConnection();
        DeleteTemp();
        return UPDATE_NO_SERVER;
    }
    const std::string uncovered = updatetrust::uncoveredFile(read);
    if (!uncovered.empty()) return refuse(updatetrust::withName(updatetrust::kFileUncovered, uncovered));
    OrvikFile entry;
    UpdateFile::Expect program;
    updatetrust::listedFile(read, updatetrust::kFetcherName, entry, program.size);
    program.sha256 = entry.GetFileSHA256();
    program.mode = 0755;

    // The fetcher comes into temp and replaces the installed one only once it is the listed file.
    const std::string fetcher = work + updatetrust::kFetcherName;
    const std::string staged = temp + updatetrust::kFetcherName;
    file.SetQuiet(true);
    if (file.GetFile(serverPath + "/" + updatetrust::kFetcherName, staged, program) == 0)
        return refuse(file.LastFailureText(updatetrust::kFetcherName));
    file.CloseConnection();
    if (::rename(staged.c_str(), fetcher.c_str()) != 0 || !orvik::startProgram(fetcher)) {
        MessageBoxA(nullptr, kNoServer, "提示", MB_OK | MB_ICONWARNING);
        DeleteTemp();
        return UPDATE_NO_SERVER;
    }
    return UPDATE_DONE;
}
