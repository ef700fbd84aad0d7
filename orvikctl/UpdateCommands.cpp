// update-status, update-check, update-get, update-install, filelist, update-sign, update-verify:
// the updater without its windows, and what a publisher needs to sign a list.
#include <cctype>
#include <cstdio>
#include <string>

#include <orvik/Deployment.h>
#include <orvik/Process.h>
#include <orvik/Secret.h>

#include "Command.h"
#include "Common.h"
#include "FileList.h"
#include "Installer.h"
#include "Options.h"
#include "UpdateFile.h"
#include "UpdateTrust.h"

namespace orvikctl {
namespace {

std::string lowered(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

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

// Every file of the list found in `dir` must be what the list says; a file not there is left to
// the publisher (it may be published elsewhere). Prints one line per mismatch.
bool filesMatch(const FileList& list, const std::string& dir) {
    bool ok = true;
    for (int i = 0; i < list.GetDepartCount(); ++i) {
        OrvikDepart d = list.GetDepart(i);
        for (int f = 0; f < d.GetDepartFileCount(); ++f) {
            OrvikFile file = d.GetDepartFile(f);
            long long size = 0;
            std::string sha;
            if (!updatetrust::hashFile(dir + "/" + file.GetFileName(), size, sha)) continue;
            if (std::to_string(size) != file.GetFileSize() || sha != lowered(file.GetFileSHA256())) {
                std::fprintf(stderr, "orvikctl: %s is %lld bytes, SHA-256 %s; the list says %s, %s\n",
                             file.GetFileName().c_str(), size, sha.c_str(), file.GetFileSize().c_str(),
                             file.GetFileSHA256().c_str());
                ok = false;
            }
        }
    }
    return ok;
}

// The list as the updater reads it, every file with its size and hash, and those in --files DIR
// as listed.
bool checkList(const std::string& path, const Parsed& p) {
    FileList list;
    if (Common().ReadFileListFromXml(path, list) != UPDATE_DONE) {
        fail(path + " is not a file list this system reads");
        return false;
    }
    const std::string uncovered = updatetrust::uncoveredFile(list);
    if (!uncovered.empty()) {
        fail("the list gives no FileSize and FileSHA256 for " + uncovered);
        return false;
    }
    if (p.has("files") && !filesMatch(list, p.value("files"))) {
        fail("files in " + p.value("files") + " differ from the list");
        return false;
    }
    return true;
}

int updateSign(const Args& args) {
    Parsed p = parseOptions(args, {"chain", "out", "files"});
    if (!p.ok) return fail(p.error);
    if (p.positional.size() != 3) return usage("update-sign");
    const std::string& listPath = p.positional[0];
    std::string list, cert, key, chain, signature, error;
    if (!readAll(listPath, list, Limit{static_cast<size_t>(updatetrust::kMaxListBytes), "a file list"}) ||
        !readAll(p.positional[1], cert, kCertificateFile) || !readAll(p.positional[2], key, kKeyFile) ||
        (p.has("chain") && !readAll(p.value("chain"), chain, kCertificateFile)))
        return Failed;
    if (!checkList(listPath, p)) return Failed;
    const bool signedOk = updatetrust::signList(list, cert, key, chain, signature, error);
    orvik::wipe(key);
    if (!signedOk) return fail(error);
    const std::string out = p.value("out", listPath + ".p7s");
    if (!writeAll(out, signature, Readers::Umask, error)) return fail(error);
    std::printf("%s\t%s\n", out.c_str(), updatetrust::listDate(list).c_str());
    return Ok;
}

int updateVerify(const Args& args) {
    Parsed p = parseOptions(args, {"authority", "files"});
    if (!p.ok) return fail(p.error);
    if (p.positional.empty() || p.positional.size() > 2) return usage("update-verify");
    const std::string& listPath = p.positional[0];
    const std::string sigPath = p.positional.size() == 2 ? p.positional[1] : listPath + ".p7s";
    std::string list, signature, authority = orvik::deployment::text(orvik::deployment::kUpdateAuthority);
    if (!readAll(listPath, list, Limit{static_cast<size_t>(updatetrust::kMaxListBytes), "a file list"}) ||
        !readAll(sigPath, signature, Limit{static_cast<size_t>(updatetrust::kMaxSignatureBytes), "a list signature"}))
        return Failed;
    // A file of PEM certificates, or a fingerprint as it is.
    if (p.has("authority")) {
        authority = p.value("authority");
        std::string pem, error;
        if (regularFile(authority, error) && readAll(authority, pem, kCertificateFile)) authority = pem;
    }
    std::string signer;
    switch (updatetrust::verifyList(list, signature, authority, &signer)) {
    case updatetrust::Verdict::Good: break;
    case updatetrust::Verdict::Missing: return fail(sigPath + " is empty");
    case updatetrust::Verdict::Invalid: return fail("the signature is not one over " + listPath);
    case updatetrust::Verdict::Untrusted: return fail("the signer does not chain to the update-signing authority");
    case updatetrust::Verdict::NoAuthority: return fail("no usable update-signing authority (UpdateAuthority)");
    }
    if (!checkList(listPath, p)) return Failed;
    std::printf("good\t%s\t%s\n", updatetrust::listDate(list).c_str(), signer.c_str());
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
    {"update-sign", "LIST CERT KEY [--chain PEM] [--out SIG] [--files DIR]",
     "sign a FileList.xml (PEM certificate and unencrypted key) into LIST.p7s, for publishing", updateSign},
    {"update-verify", "LIST [SIG] [--authority PEM|SHA256] [--files DIR]",
     "check a FileList.xml and its signature as the updater does", updateVerify},
});

}  // namespace
}  // namespace orvikctl
