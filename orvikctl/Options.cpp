#include "Options.h"

namespace orvikctl {

Parsed parseOptions(const Args& args, const std::set<std::string>& withValue, const std::set<std::string>& bare) {
    Parsed p;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.rfind("--", 0) != 0 || a == "--") {
            p.positional.push_back(a);
            continue;
        }
        std::string name = a.substr(2);
        if (withValue.count(name)) {
            if (i + 1 >= args.size()) {
                p.ok = false;
                p.error = a + " needs a value";
                return p;
            }
            p.values[name] = args[++i];
        } else if (bare.count(name)) {
            p.flags.insert(name);
        } else {
            p.ok = false;
            p.error = "unknown option " + a;
            return p;
        }
    }
    return p;
}

}  // namespace orvikctl
