#include "P11Registration.h"

#include <nss.h>
#include <pk11pub.h>
#include <prprf.h>
#include <secmod.h>
// Without C linkage of its own.
extern "C" {
#include <utilpars.h>
}
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include <orvik/PersonalModule.h>
#include <windows.h>

#include "MozillaProfiles.h"
#include "NssDatabase.h"
#include "Pkcs12Archive.h"
#include "Thunderbird.h"

namespace {

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool makeFolders(const std::string& dir, mode_t mode) {
    for (size_t at = dir.find('/', 1);; at = dir.find('/', at + 1)) {
        const std::string part = dir.substr(0, at);
        if (::mkdir(part.c_str(), mode) != 0 && errno != EEXIST) return false;
        if (at == std::string::npos) return true;
    }
}

std::string envOr(const char* name, const std::string& fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::string(v) : fallback;
}

// A string NSS allocated.
struct NssString {
    char* text = nullptr;
    ~NssString() {
        if (text) PORT_Free(text);
    }
    std::string str() const { return text ? text : ""; }
};

// The module list (pkcs11.txt) of one sql: database, opened as a module database of its own in an
// NSS context of its own, so whichever database the process opened first is never the one
// written. Opening it loads none of the modules it lists.
class ModuleList {
public:
    ~ModuleList() {
        if (list_) SECMOD_DestroyModule(list_);
        if (context_) NSS_ShutdownContext(context_);
    }

    bool open(const std::string& dir, bool writable) {
        // The module parameters have no escape for a quote.
        if (dir.find('\'') != std::string::npos || dir.find('"') != std::string::npos) return false;
        context_ = NSS_InitContext("", "", "", "", nullptr,
                                   NSS_INIT_NOCERTDB | NSS_INIT_NOMODDB | NSS_INIT_NOROOTINIT | NSS_INIT_FORCEOPEN);
        if (!context_) return false;
        std::string entry = "name=\"Orvik module list\" parameters=\"configdir='sql:" + dir + "'" +
                            (writable ? "" : " flags=readOnly") + "\" NSS=\"flags=internal,moduleDB,moduleDBOnly\"";
        list_ = SECMOD_LoadModule(entry.data(), nullptr, PR_FALSE);
        return list_ && list_->loaded && list_->moduleDBFunc;
    }

    // The entry under our name: true with its line and library; false when there is none or the
    // list cannot be read (`readable` says which).
    bool find(std::string& entry, std::string& library, bool& readable) {
        readable = false;
        char** specs = SECMOD_GetModuleSpecList(list_);
        if (!specs) return false;
        readable = true;
        bool found = false;
        for (char** s = specs; *s && !found; ++s) {
            NssString lib, name, parameters, nss;
            if (NSSUTIL_ArgParseModuleSpec(*s, &lib.text, &name.text, &parameters.text, &nss.text) != SECSuccess)
                continue;
            if (name.str() != orvik::p11::kNssModuleName) continue;
            entry = *s;
            library = lib.str();
            found = true;
        }
        SECMOD_FreeModuleSpecList(list_, specs);
        return found;
    }

    // As modutil -add does, with this list as the one written. NSS loads the module to add it:
    // one that does not initialise is refused.
    bool add(const std::string& library) {
        char* entry = NSSUTIL_MkModuleSpec(const_cast<char*>(library.c_str()),
                                           const_cast<char*>(orvik::p11::kNssModuleName), nullptr, nullptr);
        if (!entry) return false;
        SECMODModule* module = SECMOD_LoadUserModule(entry, list_, PR_FALSE);
        PR_smprintf_free(entry);
        if (!module) return false;
        // A library this process had loaded already comes back as that module, with its own list.
        const bool ours = module->parent == list_;
        const bool added = ours && module->loaded && SECMOD_UpdateModule(module) == SECSuccess;
        // Written down, not needed here: out of this process again.
        if (ours) SECMOD_UnloadUserModule(module);
        SECMOD_DestroyModule(module);
        return added;
    }

    // The entry as it is listed, deleted the way modutil -delete does: loaded (a library that is
    // gone still yields a module that names it) and deleted from the list it came from.
    bool remove(std::string entry) {
        SECMODModule* module = SECMOD_LoadUserModule(entry.data(), list_, PR_FALSE);
        if (!module) return false;
        bool removed = false;
        if (module->parent == list_) {
            int type = 0;
            removed = SECMOD_DeleteModuleEx(nullptr, module, &type, PR_TRUE) == SECSuccess;
        }
        SECMOD_DestroyModule(module);
        return removed;
    }

private:
    NSSInitContext* context_ = nullptr;
    SECMODModule* list_ = nullptr;
};

bool hasSqlDatabase(const std::string& dir) { return exists(dir + "/cert9.db"); }

// ~/.pki/nssdb as Chromium makes it: a folder only the user may enter, and an sql: database with
// an empty password.
bool createSharedDatabase(const std::string& dir) {
    if (!makeFolders(dir, 0700)) return false;
    CNssDatabase db;
    return db.Open(dir) == CNssDatabase::Ok && db.Login({}) == CNssDatabase::Ok;
}

std::string moduleLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("module:", 0) != 0) continue;
        size_t b = line.find_first_not_of(" \t", 7);
        size_t e = line.find_last_not_of(" \t\r");
        return b == std::string::npos ? std::string() : line.substr(b, e - b + 1);
    }
    return {};
}

std::string targetName(const char* program, const std::string& packaging, const std::string& profile) {
    return std::string(program) + (packaging.empty() ? "" : "-" + packaging) + "/" + profile;
}

}  // namespace

CP11Registration::CP11Registration(const std::string& home, const std::string& modulePath)
    : home_(home.empty() ? envOr("HOME", "") : home), module_(modulePath.empty() ? DefaultModulePath() : modulePath) {}

std::string CP11Registration::DefaultModulePath() {
    char path[4096];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    if (n == 0 || n >= sizeof path) return orvik::p11::kModuleFile;
    std::string self(path, n);
    return self.substr(0, self.find_last_of('/') + 1) + orvik::p11::kModuleFile;
}

std::vector<CP11Registration::Target> CP11Registration::targets() const {
    std::vector<Target> out;
    // No home, no user's files: nothing to name.
    if (home_.empty()) return out;
    // p11-kit reads ~/.config through XDG_CONFIG_HOME as well.
    const std::string config =
        envOr("XDG_CONFIG_HOME", home_ + "/.config") + "/pkcs11/modules/" + orvik::p11::kP11KitModuleName + ".module";
    out.push_back({P11Kit, "p11-kit", "", "", config});
    out.push_back({SharedNssDb, "nssdb", "", "", home_ + "/.pki/nssdb"});
    for (const auto& p : CMozillaProfiles::Find(home_, CMozillaProfiles::FirefoxRoots()))
        out.push_back({Firefox, targetName("firefox", p.packaging, p.name), p.name, p.packaging, p.dir});
    for (const auto& p : CMozillaProfiles::Find(home_, CMozillaProfiles::ThunderbirdRoots()))
        out.push_back({Thunderbird, targetName("thunderbird", p.packaging, p.name), p.name, p.packaging, p.dir});
    return out;
}

CP11Registration::State CP11Registration::stateOf(const Target& target) const {
    if (target.kind == P11Kit) return moduleLine(target.path) == module_ ? Registered : NotRegistered;
    if (!hasSqlDatabase(target.path)) return NoDatabase;
    if (target.kind != SharedNssDb && CThunderbird::IsLocked(target.path)) return InUse;
    ModuleList list;
    if (!list.open(target.path, false)) return Failed;
    std::string entry, library;
    bool readable = false;
    const bool found = list.find(entry, library, readable);
    if (!readable) return Failed;
    return found && library == module_ ? Registered : NotRegistered;
}

CP11Registration::State CP11Registration::apply(const Target& target, bool add) const {
    if (target.kind == P11Kit) {
        if (!add) return ::unlink(target.path.c_str()) == 0 || errno == ENOENT ? NotRegistered : Failed;
        const std::string dir = target.path.substr(0, target.path.find_last_of('/'));
        const std::string text =
            "# The personal certificate store of the Orvik certificate assistant.\nmodule: " + module_ +
            "\ncritical: no\n";
        return makeFolders(dir, 0755) && orvik::crypt::replaceFile(target.path, text) ? Registered : Failed;
    }
    if (!hasSqlDatabase(target.path)) {
        if (!add || target.kind != SharedNssDb) return NoDatabase;
        if (!createSharedDatabase(target.path)) return Failed;
    }
    if (target.kind != SharedNssDb && CThunderbird::IsLocked(target.path)) return InUse;
    ModuleList list;
    if (!list.open(target.path, true)) return Failed;
    std::string entry, library;
    bool readable = false;
    bool found = list.find(entry, library, readable);
    if (!readable) return Failed;
    if (add && found && library == module_) return Registered;
    // Every entry under our name goes, also one of a module that has since moved.
    for (int tries = 0; found; ++tries) {
        if (tries == 8 || !list.remove(entry)) return Failed;
        found = list.find(entry, library, readable);
        if (!readable) return Failed;
    }
    if (!add) return NotRegistered;
    if (!list.add(module_)) return Failed;
    return list.find(entry, library, readable) && library == module_ ? Registered : Failed;
}

std::vector<CP11Registration::Target> CP11Registration::Status() const {
    std::vector<Target> out = targets();
    for (Target& t : out) t.state = stateOf(t);
    return out;
}

int CP11Registration::Register(std::vector<Target>& out) const {
    out = targets();
    if (!exists(module_)) {
        for (Target& t : out) t.state = stateOf(t);
        return NoModule;
    }
    int result = Ok;
    for (Target& t : out) {
        t.state = apply(t, true);
        if (t.state == InUse || t.state == Failed) result = Incomplete;
    }
    return result;
}

int CP11Registration::Unregister(std::vector<Target>& out) const {
    out = targets();
    int result = Ok;
    for (Target& t : out) {
        t.state = apply(t, false);
        if (t.state == InUse || t.state == Failed) result = Incomplete;
    }
    return result;
}

bool CP11Registration::AnyRegistered(const std::vector<Target>& targets) {
    for (const Target& t : targets)
        if (t.state == Registered) return true;
    return false;
}

const char* CP11Registration::StateName(State state) {
    switch (state) {
    case Registered: return "registered";
    case NotRegistered: return "not-registered";
    case InUse: return "in-use";
    case Failed: return "failed";
    case NoDatabase: return "no-database";
    }
    return "failed";
}
