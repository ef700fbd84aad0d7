#include "app/FirstStart.h"

#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <BuiltinAuthorities.h>
#include <CertStore.h>
#include <Registration.h>
#include <SecLog.h>
#include <orvik/AtomicFile.h>
#include <orvik/ReadFile.h>
#include <windows.h>

#include "app/Profile.h"

namespace orvikdesk::firststart {

namespace {

constexpr const char* kSection = "FirstStart";

Cause causeOfRegistry(unsigned long code) {
    if (code == ERROR_DISK_FULL) return Cause::DiskFull;
    if (code == ERROR_ACCESS_DENIED) return Cause::NotWritable;
    return Cause::Other;
}

Cause causeOfErrno(int code) {
    if (code == ENOSPC || code == EDQUOT) return Cause::DiskFull;
    if (code == EACCES || code == EPERM || code == EROFS) return Cause::NotWritable;
    return Cause::Other;
}

// profile::write without the code: the message says why a value could not be kept.
LONG writeProfile(const std::string& section, const std::string& entry, const std::string& value) {
    HKEY key = nullptr;
    const std::string path = std::string(profile::kRoot) + "\\" + section;
    LONG rc = RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegSetValueExA(key, entry.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
    return rc;
}

// Changes whenever the set DoInstallCerts would install changes, the deployment's own included.
std::string authoritiesDigest() {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    bool ok = ctx && EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) == 1;
    for (const auto& list : {orvik::builtin::roots(), orvik::builtin::intermediates()}) {
        for (const std::string& text : list) ok = ok && EVP_DigestUpdate(ctx, text.c_str(), text.size() + 1) == 1;
        ok = ok && EVP_DigestUpdate(ctx, "|", 1) == 1;
    }
    ok = ok && EVP_DigestFinal_ex(ctx, hash, &size) == 1;
    EVP_MD_CTX_free(ctx);
    if (!ok) return {};
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < size; ++i) {
        hex.push_back(digits[hash[i] >> 4]);
        hex.push_back(digits[hash[i] & 15]);
    }
    return hex;
}

bool makeFolders(const std::string& file) {
    for (size_t at = file.find('/', 1); at != std::string::npos; at = file.find('/', at + 1))
        if (mkdir(file.substr(0, at).c_str(), 0755) != 0 && errno != EEXIST) return false;
    return true;
}

// Thunar keeps custom actions in the user's uca.xml only; the user's own actions stay.
bool registerThunar(const std::string& helper, std::string& what) {
    const std::string path = orvikmenu::Folders::ofUser().config + "/Thunar/uca.xml";
    what = path;
    std::string before;
    if (!orvik::readRegularFile(path, before, size_t{1} << 20)) {
        if (errno != ENOENT) return false;
        before.clear();
    }
    return makeFolders(path) && orvik::writeFileAtomically(path, orvikmenu::mergedThunarActions(before, helper), 0644);
}

bool isExecutable(const std::string& path) { return access(path.c_str(), X_OK) == 0; }

}  // namespace

std::string version() { return ORVIK_VERSION; }

bool systemWideMenus(const std::string& helper) {
    const char* env = std::getenv("XDG_DATA_DIRS");
    std::string dirs = env && *env ? env : "/usr/local/share/:/usr/share/";
    size_t at = 0;
    while (at <= dirs.size()) {
        size_t end = dirs.find(':', at);
        if (end == std::string::npos) end = dirs.size();
        std::string dir = dirs.substr(at, end - at);
        at = end + 1;
        while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
        if (dir.empty() || dir[0] != '/') continue;
        bool all = true;
        for (const orvikmenu::GeneratedFile& file : orvikmenu::generatedFiles({dir, ""}, helper))
            all = all && access(file.path.c_str(), F_OK) == 0;
        if (all) return true;
    }
    return false;
}

Outcome run(const std::string& programDir, bool force) {
    Outcome out;
    const std::string digest = authoritiesDigest();
    const bool newProgram =
        force || profile::read(kSection, "Version") != version() || profile::read(kSection, "ProgramDir") != programDir;
    const bool newAuthorities = force || digest.empty() || profile::read(kSection, "Authorities") != digest;
    out.due = newProgram || newAuthorities;
    if (!out.due) return out;

    CSecLog log;
    auto problem = [&](Step step, Cause cause, unsigned long code, const std::string& what) {
        out.problems.push_back({step, cause, code, what});
        log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, __FILE__, "first start: %s Error: 0x%lx", what.c_str(), code);
    };

    bool programDone = true;
    if (newProgram) {
        // Where the file managers' entries find the assistant.
        if (LONG rc = writeProfile("Common", "InstallDir", programDir); rc != ERROR_SUCCESS) {
            problem(Step::InstallDir, causeOfRegistry(static_cast<unsigned long>(rc)), static_cast<unsigned long>(rc),
                    "the installation folder");
            programDone = false;
        }
        const std::string helper = programDir + "/orvikmenu";
        if (isExecutable(helper)) {
            std::string what;
            bool ok;
            errno = 0;
            if (systemWideMenus(helper)) {
                out.menus = Menus::ThunarOnly;
                ok = registerThunar(helper, what);
            } else {
                out.menus = Menus::User;
                what = orvikmenu::registerMenus(orvikmenu::Folders::ofUser(), helper);
                ok = what.empty();
            }
            if (!ok) {
                const int code = errno;
                problem(Step::Menus, causeOfErrno(code), static_cast<unsigned long>(code), what);
                out.menus = Menus::Skipped;
                programDone = false;
            }
        }
    }

    bool authoritiesDone = true;
    if (newAuthorities) {
        if (DoInstallCerts() == CCertStore::Ok) {
            out.authorities = true;
        } else {
            const unsigned long code = GetLastError();
            problem(Step::Authorities, causeOfRegistry(code), code, "the built-in authorities");
            authoritiesDone = false;
        }
    }

    // Each half of the marker only once its steps went through, so a failed one is tried again.
    LONG rc = ERROR_SUCCESS;
    if (newProgram && programDone) {
        rc = writeProfile(kSection, "Version", version());
        if (rc == ERROR_SUCCESS) rc = writeProfile(kSection, "ProgramDir", programDir);
    }
    if (rc == ERROR_SUCCESS && newAuthorities && authoritiesDone && !digest.empty())
        rc = writeProfile(kSection, "Authorities", digest);
    if (rc != ERROR_SUCCESS)
        problem(Step::Marker, causeOfRegistry(static_cast<unsigned long>(rc)), static_cast<unsigned long>(rc),
                "the first-start record");
    return out;
}

}  // namespace orvikdesk::firststart
