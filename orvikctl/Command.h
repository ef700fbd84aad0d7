// The subcommands of orvikctl. Each area of the library adds its commands in its own unit.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace orvikctl {

using Args = std::vector<std::string>;

struct Command {
    const char* name;
    const char* usage;    // arguments, shown after the name
    const char* summary;  // one line
    int (*run)(const Args& args);
};

// Exit codes of every command.
enum Exit { Ok = 0, Failed = 1, Usage = 2 };

void addCommands(const std::vector<Command>& commands);
const std::vector<Command>& commands();

// Prints "orvikctl: <message>" to standard error and returns Failed.
int fail(const std::string& message);
// Prints the usage of one command to standard error and returns Usage.
int usage(const char* name);

// Reads a whole file ("-" is standard input); false when it cannot be read.
bool readAll(const std::string& path, std::string& out);
// Writes a whole file; on failure a partial regular file is removed (a device never is).
bool writeAll(const std::string& path, const std::string& bytes);
// Hex digits (spaces and colons allowed between pairs) into bytes; false on anything else.
bool parseHex(const std::string& text, std::string& out);
std::string toHex(const std::string& bytes);

// What a token's result code means (no token, wrong or locked PIN, none given); empty for others.
std::string tokenProblem(unsigned long error);

// Registration run before main by each unit: static const bool x = orvikctl::registered({...}).
bool registered(const std::vector<Command>& commands);

}  // namespace orvikctl
