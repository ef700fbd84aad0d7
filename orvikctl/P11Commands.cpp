// p11: the personal store's PKCS#11 module in p11-kit and the NSS databases of browsers and mail.
#include <cstdio>
#include <string>
#include <vector>

#include <P11Registration.h>

#include "Command.h"
#include "Options.h"

namespace orvikctl {
namespace {

void print(const std::vector<CP11Registration::Target>& targets) {
    // name, state
    for (const auto& t : targets) std::printf("%s\t%s\n", t.name.c_str(), CP11Registration::StateName(t.state));
}

// The targets left as they were, for the one line of a failure.
std::string leftAlone(const std::vector<CP11Registration::Target>& targets) {
    std::string out;
    for (const auto& t : targets) {
        if (t.state != CP11Registration::InUse && t.state != CP11Registration::Failed) continue;
        if (!out.empty()) out += ", ";
        out +=
            t.name + (t.state == CP11Registration::InUse ? " (in use: close the program and try again)" : " (failed)");
    }
    return out;
}

int p11(const Args& args) {
    Parsed p = parseOptions(args, {"module"});
    if (!p.ok) return fail(p.error);
    if (p.positional.size() != 1) return usage("p11");
    const std::string& what = p.positional[0];
    CP11Registration registration({}, p.value("module"));
    if (what == "status") {
        print(registration.Status());
        return Ok;
    }
    if (what != "register" && what != "unregister") return usage("p11");
    std::vector<CP11Registration::Target> targets;
    const int rc = what == "register" ? registration.Register(targets) : registration.Unregister(targets);
    if (rc == CP11Registration::NoModule) return fail("no PKCS#11 module at " + registration.ModulePath());
    print(targets);
    if (rc != CP11Registration::Ok) return fail("not changed: " + leftAlone(targets));
    return Ok;
}

const bool added = registered({
    {"p11", "[--module PATH] status | register | unregister",
     "the personal store as a PKCS#11 module for p11-kit, ~/.pki/nssdb and the Firefox and Thunderbird profiles", p11},
});

}  // namespace
}  // namespace orvikctl
