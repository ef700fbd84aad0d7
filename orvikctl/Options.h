// Option parsing shared by the commands: "--name value" pairs and bare flags among positionals.
#pragma once

#include <map>
#include <set>
#include <string>

#include "Command.h"

namespace orvikctl {

struct Parsed {
    Args positional;
    std::map<std::string, std::string> values;  // --name value
    std::set<std::string> flags;                // --name
    bool ok = true;
    std::string error;

    std::string value(const std::string& name, const std::string& fallback = {}) const {
        auto it = values.find(name);
        return it == values.end() ? fallback : it->second;
    }
    bool has(const std::string& name) const { return flags.count(name) || values.count(name); }
};

// `withValue` names the options that take a value, `bare` those that do not; anything else
// starting with "--" is an error.
Parsed parseOptions(const Args& args, const std::set<std::string>& withValue, const std::set<std::string>& bare = {});

}  // namespace orvikctl
