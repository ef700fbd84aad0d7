// update-status, update-check, update-get, update-install, filelist: the updater without its windows.
#include <cstdio>
#include <string>

#include <orvik/Deployment.h>
#include <orvik/Process.h>

#include "Command.h"
#include "Common.h"
#include "FileList.h"
#include "Installer.h"
#include "Options.h"
#include "UpdateFile.h"

namespace orvikctl {
namespace {

std::string folderOf(const Parsed& p) { return p.has("dir") ? p.value("dir") : Common().GetWorkDir(); }

int updateStatus(const Args& args) {
    Parsed p = parseOptions(args, {"dir"});
    if (!p.ok) return fail(p.error);
    if (!p.positional.empty()) return usage("update-status");
    Common common(folderOf(p));
    Config root, config;
    common.ReadConfigFromReg(root, kUpdateRootKey);
    const std::string key = root.GetConfigPath().empty() ? kAssistantUpdateKey : root.GetConfigPath();
    common.ReadConfigFromReg(config, key);
    std::printf("Key\t%s\n", key.c_str());
    std::printf(
        "Version\t%s\nStartUpCheckNew\t%s\nServerName\t%s\nServerPath\t%s\nProcessID\t%s\n"
        "CurrentOperation\t%s\n",
        config.GetVersion().c_str(), config.GetStartUpCheckNew().c_str(), config.GetServer().c_str(),
        config.GetServerPath().c_str(), config.GetProcessID().c_str(), config.GetCurrentOperation().c_str());
    std::printf("Folder\t%s\t%s\n", common.GetWorkDir().c_str(),
                orvik::folderIsUpdatable(common.GetWorkDir()) ? "updatable" : "read-only");
    std::printf("UpdateHost\t%s\nUpdatePath\t%s\n", orvik::deployment::text(orvik::deployment::kUpdateHost).c_str(),
                orvik::deployment::text(orvik::deployment::kUpdatePath).c_str());
    return Ok;
}

int updateCheck(const Args& args) {
    Parsed p = parseOptions(args, {"dir", "host", "path"});
    if (!p.ok) return fail(p.error);
    if (!p.positional.empty()) return usage("update-check");
    const std::string host = p.has("host") ? p.value("host") : orvik::deployment::text(orvik::deployment::kUpdateHost);
    const std::string path = p.has("path") ? p.value("path") : orvik::deployment::text(orvik::deployment::kUpdatePath);
    Common common(folderOf(p));
    Config config;
    config.SetCurrentOperation("1");
    common.SaveConfigtoReg(config, kAssistantUpdateKey);
    int rc = common.CheckForUpdate(kAssistantUpdateKey, host, path);
    switch (rc) {
    case UPDATE_DONE: std::printf("100\ta newer list: the fetcher was started\n"); return Ok;
    case UPDATE_NOTHING: std::printf("101\tno update available\n"); return Ok;
    default: std::printf("%d\tthe update server or its list cannot be reached\n", rc); return Failed;
    }
}

int updateGet(const Args& args) {
    Parsed p = parseOptions(args, {"host", "size", "sha256"});
    if (!p.ok) return fail(p.error);
    if (p.positional.size() != 2) return usage("update-get");
    UpdateFile file(p.has("host") ? p.value("host") : orvik::deployment::text(orvik::deployment::kUpdateHost), 0, "",
                    "");
    if (!file.OpenConnection()) return fail("not a server address");
    file.SetQuiet(true);
    UpdateFile::Expect expect;
    if (p.has("size")) {
        const std::string size = p.value("size");
        if (size.empty() || size.size() > 18 || size.find_first_not_of("0123456789") != std::string::npos)
            return fail("--size takes a number of bytes");
        expect.size = std::stoll(size);
    }
    if (p.has("sha256")) expect.sha256 = p.value("sha256");
    expect.mode = 0644;
    long long bytes = file.GetFile(p.positional[0], p.positional[1], expect);
    if (bytes <= 0)
        return fail(file.LastTransportFailed() ? "the server cannot be reached"
                                               : "no complete file at " + file.UrlOf(p.positional[0]));
    std::printf("%lld\t%s\n", bytes, file.UrlOf(p.positional[0]).c_str());
    return Ok;
}

int filelist(const Args& args) {
    if (args.size() != 1) return usage("filelist");
    FileList list;
    if (Common().ReadFileListFromXml(args[0], list) != UPDATE_DONE) return fail("not a file list this system reads");
    // depart: name, display name, version, description; then its files indented
    for (int i = 0; i < list.GetDepartCount(); ++i) {
        OrvikDepart d = list.GetDepart(i);
        std::printf("%s\t%s\t%s\t%s\n", d.GetDepartName().c_str(), d.GetDepartNameCH().c_str(),
                    d.GetDepartVersion().c_str(), d.GetDepartDesc().c_str());
        for (int f = 0; f < d.GetDepartFileCount(); ++f) {
            OrvikFile file = d.GetDepartFile(f);
            std::printf("\t%s\t%s\t%s\t%s\t%s\t%s\n", file.GetFileName().c_str(), file.GetFileVersion().c_str(),
                        file.GetFilePath().empty() ? "-" : file.GetFilePath().c_str(),
                        file.GetFileReg().empty() ? "-" : file.GetFileReg().c_str(),
                        file.GetFileSize().empty() ? "-" : file.GetFileSize().c_str(),
                        file.GetFileSHA256().empty() ? "-" : file.GetFileSHA256().c_str());
        }
    }
    return Ok;
}

// What Handover does once the fetcher has left the files in <program>/temp, without its window.
int updateInstall(const Args& args) {
    Parsed p = parseOptions(args, {"dir", "system"});
    if (!p.ok) return fail(p.error);
    if (!p.positional.empty()) return usage("update-install");
    const std::string dir = folderOf(p);
    const std::string system = p.has("system") ? p.value("system") : handover::Installer::systemFolder(dir);
    std::string said;
    handover::Installer installer(dir, system, [&said](const std::string& text) { said = text; });
    handover::Installer::Result r = installer.run();
    if (!r.ok) return fail(said.empty() ? "nothing was installed" : said);
    std::printf("%d\tinstalled\n", r.installed);
    return Ok;
}

const bool kRegistered = registered({
    {"update-status", "[--dir DIR]", "the update key, the program folder and the update server", updateStatus},
    {"update-check", "[--dir DIR] [--host HOST] [--path PATH]",
     "look for a newer file list; start the fetcher when there is one", updateCheck},
    {"update-get", "REMOTE OUT [--host HOST] [--size N] [--sha256 HEX]",
     "download one file from the update server, whole or not at all", updateGet},
    {"filelist", "FILE", "the components and files of a FileList.xml", filelist},
    {"update-install", "[--dir DIR] [--system DIR]",
     "put the files the fetcher left in DIR/temp in place, all or none, as Handover does", updateInstall},
});

}  // namespace
}  // namespace orvikctl
