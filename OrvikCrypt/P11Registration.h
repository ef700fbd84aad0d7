// Makes the personal store's PKCS#11 module known to the user's other programs: p11-kit's module
// list, the shared NSS database ~/.pki/nssdb, and the NSS database of every Firefox and
// Thunderbird profile. Unregistering takes out that module and nothing else.
#pragma once

#include <string>
#include <vector>

#include "OrvikCryptApi.h"

class ORVIKCRYPT_API CP11Registration {
public:
    enum Result {
        Ok = 0,
        NoModule = 1,    // the module's file is not there: nothing was changed
        Incomplete = 2,  // some targets were in use or failed; the others were changed
    };
    enum State {
        Registered = 0,
        NotRegistered = 1,
        InUse = 2,  // the program has the profile open: left alone
        Failed = 3,
        NoDatabase = 4,  // a profile without an NSS sql: database (cert9.db)
    };
    enum Kind { P11Kit = 0, SharedNssDb = 1, Firefox = 2, Thunderbird = 3 };
    struct Target {
        Kind kind = P11Kit;
        std::string name;       // for scripts: "p11-kit", "nssdb", "firefox/default", "thunderbird-snap/work"
        std::string profile;    // the profile's name; empty for p11-kit and ~/.pki/nssdb
        std::string packaging;  // "", "snap" or "flatpak"
        std::string path;       // the module file, or the database's folder
        State state = NotRegistered;
    };

    // An empty `home` means $HOME; an empty `modulePath` the module beside the running program.
    explicit CP11Registration(const std::string& home = {}, const std::string& modulePath = {});

    // The module's file in the folder of the running program.
    static std::string DefaultModulePath();
    const std::string& ModulePath() const { return module_; }

    // Every target with its state; nothing is written.
    std::vector<Target> Status() const;
    // The module into every target that is not in use; ~/.pki/nssdb is made when missing.
    // `out` receives every target with its state afterwards.
    int Register(std::vector<Target>& out) const;
    // The module out of every target that is not in use; `out` as for Register.
    int Unregister(std::vector<Target>& out) const;

    // Whether any target has the module.
    static bool AnyRegistered(const std::vector<Target>& targets);
    // "registered", "not-registered", "in-use", "failed", "no-database".
    static const char* StateName(State state);

private:
    std::vector<Target> targets() const;
    State stateOf(const Target& target) const;
    State apply(const Target& target, bool add) const;

    std::string home_;
    std::string module_;
};
