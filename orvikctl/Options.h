// Option parsing shared by the commands: "--name value" pairs and bare flags among positionals;
// and the one way every command takes a password.
#pragma once

#include <initializer_list>
#include <map>
#include <set>
#include <string>

#include <orvik/Secret.h>

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

// `withValue` and, for each password option NAME, NAME, NAME-fd and NAME-env.
std::set<std::string> withPasswords(std::set<std::string> withValue, std::initializer_list<const char*> passwords);

struct PasswordQuestion {
    const char* option;    // "password", "old", "new"
    const char* prompt;    // shown on the terminal
    bool required = true;  // optional ones come only from an option
    bool confirm = false;  // a new password is typed twice on the terminal
};

// A password from the first source given: --NAME PW (which other users can read in the process
// list), --NAME-fd N (up to the first line end), --NAME-env VARIABLE; for a required one then
// ORVIK_PASSWORD (for "password" only) and the terminal, without echo, when standard input is
// one. The option's own copy is wiped. False with `error` when a source fails or a required
// password has none.
bool takePassword(Parsed& p, const PasswordQuestion& question, orvik::SecretString& out, std::string& error);

// Reads one line from the controlling terminal with echo off; false when there is none or the
// line is empty.
bool readFromTerminal(const std::string& prompt, orvik::SecretString& out);

}  // namespace orvikctl
