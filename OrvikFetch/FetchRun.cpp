#include "FetchRun.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <utility>

#include <orvik/Deployment.h>
#include <orvik/Process.h>
#include <windows.h>

#include "UpdateFile.h"

namespace {

constexpr const char* kNoServer = "无法连接服务器，请稍候重试";
constexpr const char* kBadName = "升级清单中有无效的文件名，本次升级已取消。";
constexpr const char* kAssistantBusy = "无法关闭正在运行的证书助手，本次升级未完成。";
constexpr const char* kPatchLibrary = "libOrvikPatch.so";
constexpr const char* kFetcher = "OrvikFetch";
constexpr const char* kInstaller = "Handover";
constexpr size_t kMaxOffers = 20;

std::string trimmed(const std::string& s) {
    size_t first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// Versions and dates are texts: newer sorts after.
bool newer(const std::string& offered, const std::string& installed) { return offered > installed; }

}  // namespace

std::string FetchRun::Offer::text() const { return name + "  （" + description + "）"; }

FetchRun::FetchRun(Common common) : common_(std::move(common)), work_(common_.GetWorkDir()) {}

bool FetchRun::isPlainName(const std::string& name) {
    if (name.empty() || name.size() > 255 || name == "." || name == "..") return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7f || c == '/' || c == '\\') return false;
    // Names the run itself uses in temp.
    if (name == "FileList.xml" || (name.size() > 5 && name.compare(name.size() - 5, 5, ".part") == 0)) return false;
    return true;
}

bool FetchRun::prepare() {
    Config root;
    common_.ReadConfigFromReg(root, kUpdateRootKey);
    configPath_ = root.GetConfigPath();
    if (common_.ReadConfigFromReg(config_, configPath_) != UPDATE_DONE) return false;

    const std::string systemDir = orvik::deployment::text(orvik::deployment::kSystemDir);
    if (!orvik::folderIsUpdatable(work_) || (!systemDir.empty() && !orvik::folderIsUpdatable(systemDir))) {
        MessageBoxA(nullptr, kUpdateThroughPackages, "提示", MB_OK | MB_ICONINFORMATION);
        abandon();
        return false;
    }
    UpdateFile file(config_.GetServer(), 0, "", "");
    if (!common_.InitTempPath() || !file.OpenConnection()) {
        abandon();
        return false;
    }
    const std::string serverPath = config_.GetServerPath();
    const std::string list = work_ + "temp/FileList.xml";
    UpdateFile::Expect bounded;
    bounded.bounded = true;
    if (file.FileIsExistOnServer(serverPath + "/FileList.xml") &&
        file.GetFile(serverPath + "/FileList.xml", list, bounded)) {
        UpdateFile::Expect program;
        program.mode = 0755;
        if (!file.GetFile(serverPath + "/" + kInstaller, work_ + "temp/" + kInstaller, program)) {
            if (!file.LastTransportFailed()) MessageBoxA(nullptr, kNoServer, "提示", MB_OK | MB_ICONWARNING);
            abandon();
            return false;
        }
        listRead_ = common_.ReadFileListFromXml(list, offered_) == UPDATE_DONE;
    }
    file.CloseConnection();
    // No installed list (a first install) compares as an empty one: everything is newer.
    if (listRead_ && exists(work_ + "FileList.xml") &&
        common_.ReadFileListFromXml(work_ + "FileList.xml", installed_) != UPDATE_DONE)
        installed_ = FileList();
    return true;
}

std::vector<std::string> FetchRun::supportedItems() const {
    std::vector<std::string> items;
    for (int i = 0; i < offered_.GetDepartCount(); ++i) {
        OrvikDepart d = offered_.GetDepart(i);
        if (d.GetDepartName() != "OrvikPatch") items.push_back(d.GetDepartNameCH());
    }
    return items;
}

OrvikDepart FetchRun::installedDepart(const std::string& field, const std::string& value) const {
    for (int i = 0; i < installed_.GetDepartCount(); ++i) {
        OrvikDepart d = installed_.GetDepart(i);
        if ((field == "name" ? d.GetDepartName() : d.GetDepartNameCH()) == value) return d;
    }
    return OrvikDepart();
}

std::vector<FetchRun::Offer> FetchRun::offers() const {
    std::vector<Offer> out;
    if (!listRead_) return out;
    for (int i = 0; i < offered_.GetDepartCount() && out.size() < kMaxOffers; ++i) {
        OrvikDepart d = offered_.GetDepart(i);
        if (d.GetDepartName() == "OrvikPatch") continue;
        OrvikDepart mine = installedDepart("name", d.GetDepartName());
        if (mine.GetDepartName().empty() || newer(d.GetDepartVersion(), mine.GetDepartVersion()))
            out.push_back({d.GetDepartNameCH(), d.GetDepartDesc()});
    }
    return out;
}

std::vector<std::string> FetchRun::filesFor(const std::vector<std::string>& chosenTexts) const {
    std::vector<std::string> names;
    std::set<std::string> seen;
    auto add = [&](const std::string& name) {
        if (seen.insert(name).second) names.push_back(name);
    };
    for (const std::string& text : chosenTexts) {
        const std::string display = trimmed(text.substr(0, text.find("（")));
        for (int i = 0; i < offered_.GetDepartCount(); ++i) {
            OrvikDepart d = offered_.GetDepart(i);
            if (d.GetDepartNameCH() != display) continue;
            // A component not installed at all compares against an empty one: all its files come.
            OrvikDepart mine = installedDepart("display", display);
            if (!mine.GetDepartName().empty() && !newer(d.GetDepartVersion(), mine.GetDepartVersion())) continue;
            for (int f = 0; f < d.GetDepartFileCount(); ++f) {
                OrvikFile file = d.GetDepartFile(f);
                int at = mine.FindFile(file.GetFileName());
                if (at < 0 || newer(file.GetFileVersion(), mine.GetDepartFile(at).GetFileVersion()))
                    add(file.GetFileName());
            }
        }
    }
    add(kPatchLibrary);
    add(kFetcher);
    return names;
}

bool FetchRun::download(const std::vector<std::string>& names, const Progress& progress,
                        const std::atomic<bool>& cancel) {
    failure_.clear();
    for (const std::string& name : names) {
        if (!isPlainName(name)) {
            failure_ = kBadName;
            return false;
        }
    }
    UpdateFile file(config_.GetServer(), 0, "", "");
    if (!file.OpenConnection()) {
        failure_ = kNoServer;
        return false;
    }
    file.SetQuiet(true);
    const std::string serverPath = config_.GetServerPath();

    // The updater's own two come along when the server has them; every other file must arrive.
    struct Want {
        std::string name, remote;
        UpdateFile::Expect expect;
    };
    std::vector<Want> wants;
    std::vector<std::string> remotes;
    for (const std::string& name : names) {
        Want want{name, serverPath + "/" + name, {}};
        bool ownPart = name == kPatchLibrary || name == kFetcher;
        bool listed = false;
        for (int i = 0; i < offered_.GetDepartCount(); ++i) {
            OrvikDepart d = offered_.GetDepart(i);
            int at = d.FindFile(name);
            if (at < 0) continue;
            OrvikFile f = d.GetDepartFile(at);
            listed = listed || d.GetDepartName() != "OrvikPatch";
            const std::string size = f.GetFileSize();
            if (!size.empty() && size.find_first_not_of("0123456789") == std::string::npos && size.size() < 19)
                want.expect.size = std::stoll(size);
            want.expect.sha256 = f.GetFileSHA256();
            break;
        }
        if (ownPart && !listed && !file.FileIsExistOnServer(want.remote)) {
            if (file.LastTransportFailed()) {
                failure_ = kNoServer;
                return false;
            }
            continue;
        }
        remotes.push_back(want.remote);
        wants.push_back(std::move(want));
    }

    const long long total = file.GetAllFileSize(remotes);
    long long done = 0;
    int shown = -2;
    auto report = [&](long long bytes) {
        int percent = total > 0 ? static_cast<int>(std::min<long long>(100, bytes * 100 / total)) : -1;
        if (percent != shown && progress) progress(percent);
        shown = percent;
    };
    report(0);
    for (const Want& want : wants) {
        if (cancel) {
            failure_.clear();
            return false;
        }
        long long got = file.GetFile(want.remote, work_ + "temp/" + want.name, want.expect, [&](long long received) {
            report(done + received);
            return !cancel.load();
        });
        if (got <= 0) {
            failure_ = cancel ? std::string() : kNoServer;
            return false;
        }
        done += got;
    }
    file.CloseConnection();
    report(total > 0 ? total : done);
    return true;
}

bool FetchRun::finish() {
    failure_.clear();
    Config now;
    common_.ReadConfigFromReg(now, configPath_);
    // The assistant must be gone before its files are replaced; an id that names anything else
    // (a reused id, a damaged key) stops the run with nothing changed.
    orvik::EndResult ended = orvik::endProgram(now.GetProcessID(), work_ + "OrvikDesk");
    if (ended == orvik::EndResult::Refused || ended == orvik::EndResult::Failed) {
        failure_ = kAssistantBusy;
        return false;
    }
    const std::string installer = work_ + kInstaller;
    bool started =
        ::rename((work_ + "temp/" + kInstaller).c_str(), installer.c_str()) == 0 && orvik::startProgram(installer);
    if (!started) {
        // The assistant was ended for nothing: bring it back as it was.
        orvik::startProgram(work_ + "OrvikDesk");
        failure_ = kNoServer;
        return false;
    }
    Config done;
    done.SetCurrentOperation("0");
    common_.SaveConfigtoReg(done, configPath_);
    return true;
}

void FetchRun::abandon() { common_.DeleteTemp(); }
