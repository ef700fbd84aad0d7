#include "FetchRun.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <utility>

#include <orvik/Deployment.h>
#include <orvik/Process.h>
#include <orvik/UniqueFd.h>
#include <windows.h>

#include "UpdateFile.h"
#include "UpdateTrust.h"

namespace {

using updatetrust::kNoServer;
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
    if (name == updatetrust::kListName || name == updatetrust::kSignatureName ||
        (name.size() > 5 && name.compare(name.size() - 5, 5, ".part") == 0))
        return false;
    return true;
}

namespace {

// A regular file of at most `limit` bytes; false for anything else.
bool readBounded(const std::string& path, long long limit, std::string& bytes) {
    orvik::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat st {};
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > limit) return false;
    bytes.assign(static_cast<size_t>(st.st_size), '\0');
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::read(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

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
    // Nothing here has a cancel button: the list, its signature and the installer come within
    // the deployment's time or not at all.
    long limit = static_cast<long>(orvik::deployment::number(orvik::deployment::kUpdateTimeout));
    file.SetDeadline(limit > 0 ? limit : 30);
    auto refuse = [&](const std::string& text) {
        file.CloseConnection();
        MessageBoxA(nullptr, text.c_str(), "提示", MB_OK | MB_ICONWARNING);
        abandon();
        return false;
    };
    const std::string serverPath = config_.GetServerPath();
    const std::string list = work_ + "temp/" + updatetrust::kListName;
    const std::string signaturePath = work_ + "temp/" + updatetrust::kSignatureName;
    UpdateFile::Expect listCap;
    listCap.bounded = true;
    listCap.maxSize = updatetrust::kMaxListBytes;
    if (file.FileIsExistOnServer(serverPath + "/" + updatetrust::kListName) &&
        file.GetFile(serverPath + "/" + updatetrust::kListName, list, listCap)) {
        UpdateFile::Expect signatureCap;
        signatureCap.bounded = true;
        signatureCap.maxSize = updatetrust::kMaxSignatureBytes;
        file.SetQuiet(true);
        std::string listBytes, signature, installed;
        if (!file.GetFile(serverPath + "/" + updatetrust::kSignatureName, signaturePath, signatureCap)) {
            if (file.LastFailure() == UpdateFile::Failure::NotThere) return refuse(updatetrust::kSignatureMissing);
            return refuse(file.LastFailureText(updatetrust::kSignatureName));
        }
        if (!readBounded(list, updatetrust::kMaxListBytes, listBytes) ||
            !readBounded(signaturePath, updatetrust::kMaxSignatureBytes, signature))
            return refuse(updatetrust::kSignatureMissing);
        const updatetrust::Verdict verdict = updatetrust::verifyList(listBytes, signature);
        if (verdict != updatetrust::Verdict::Good) return refuse(updatetrust::verdictText(verdict));
        // No installed list (a first install) compares as an empty one: everything is newer.
        const bool hasInstalled = exists(work_ + updatetrust::kListName);
        if (hasInstalled && !readBounded(work_ + updatetrust::kListName, updatetrust::kMaxListBytes, installed))
            installed.clear();
        const std::string offeredDate = updatetrust::listDate(listBytes),
                          installedDate = updatetrust::listDate(installed);
        if (hasInstalled && offeredDate < installedDate) return refuse(updatetrust::kListOlder);
        if (common_.ReadFileListFromXml(list, offered_) != UPDATE_DONE) {
            file.CloseConnection();
            abandon();
            return false;
        }
        const std::string uncovered = updatetrust::uncoveredFile(offered_);
        if (!uncovered.empty()) return refuse(updatetrust::withName(updatetrust::kFileUncovered, uncovered));
        OrvikFile entry;
        UpdateFile::Expect program;
        updatetrust::listedFile(offered_, kInstaller, entry, program.size);
        program.sha256 = entry.GetFileSHA256();
        program.mode = 0755;
        if (!file.GetFile(serverPath + "/" + kInstaller, work_ + "temp/" + kInstaller, program))
            return refuse(file.LastFailureText(kInstaller));
        // The same list again offers nothing.
        listRead_ = !hasInstalled || offeredDate > installedDate;
    } else if (file.LastFailure() == UpdateFile::Failure::TooLarge) {
        return refuse(updatetrust::kListTooLarge);
    } else if (file.LastFailure() == UpdateFile::Failure::Redirect) {
        return refuse(updatetrust::kRedirectRefused);
    }
    file.CloseConnection();
    if (listRead_ && exists(work_ + updatetrust::kListName) &&
        common_.ReadFileListFromXml(work_ + updatetrust::kListName, installed_) != UPDATE_DONE)
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

    // Only what the signed list names comes down, each file checked against its size and hash.
    struct Want {
        std::string name, remote;
        UpdateFile::Expect expect;
    };
    std::vector<Want> wants;
    long long total = 0;
    for (const std::string& name : names) {
        Want want{name, serverPath + "/" + name, {}};
        OrvikFile entry;
        if (!updatetrust::listedFile(offered_, name, entry, want.expect.size)) continue;
        want.expect.sha256 = entry.GetFileSHA256();
        if (want.expect.size < 0 || want.expect.sha256.empty()) {
            failure_ = updatetrust::withName(updatetrust::kFileUncovered, name);
            return false;
        }
        total += want.expect.size;
        wants.push_back(std::move(want));
    }

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
            failure_ = cancel ? std::string() : file.LastFailureText(want.name);
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
