// A home with the NSS databases of browsers and mail programs, made with NSS's own tools.
#pragma once

#include <map>
#include <string>

#include "support/Shell.h"
#include "support/TempHome.h"

namespace orvik::test {

class MozillaHome {
public:
    // HOME points here, and XDG_CONFIG_HOME is unset, while the object lives.
    MozillaHome();
    ~MozillaHome();
    MozillaHome(const MozillaHome&) = delete;
    MozillaHome& operator=(const MozillaHome&) = delete;

    const std::string& path() const { return dir_.path(); }
    // A profile listed in `root`/profiles.ini, with an empty sql: database unless told otherwise.
    std::string profile(const std::string& root, const std::string& name, bool withDatabase = true);
    // ~/.pki/nssdb, as certutil makes it.
    std::string sharedDatabase();

    // One of NSS's tools, which loads the (instrumented) module when a database lists it.
    static ShellRun tool(const std::string& command);
    static std::string modules(const std::string& dir) { return tool("modutil -list -dbdir sql:" + dir).out; }
    // The profile open in a running program: its "lock" link names this process.
    static void lock(const std::string& dir);
    static void unlock(const std::string& dir);

private:
    TempDir dir_;
    std::map<std::string, std::string> ini_;
    std::string home_, config_;
    bool hadConfig_ = false;
};

}  // namespace orvik::test
