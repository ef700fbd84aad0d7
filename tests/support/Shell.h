// Runs a command line through /bin/sh and keeps what it printed, for tests of the programs as
// scripts use them.
#pragma once

#include <string>

namespace orvik::test {

struct ShellRun {
    int code;  // the exit status; -1 when it did not end normally
    std::string out;
};

// Standard output only; a command that wants standard error says "2>&1" itself.
ShellRun runShell(const std::string& command);
// A word for the shell, in single quotes.
std::string shellQuoted(const std::string& text);

}  // namespace orvik::test
