// orvikctl: the assistant's state and services from the command line, for scripts and servers.
#include <cstdio>
#include <cstring>
#include <string>

#include "Command.h"

namespace {

void printHelp() {
    std::printf("usage: orvikctl COMMAND [ARGUMENTS]\n\ncommands:\n");
    for (const auto& c : orvikctl::commands()) std::printf("  %-14s %s\n", c.name, c.summary);
    std::printf("\n'orvikctl help COMMAND' shows a command's arguments. State lives in $ORVIK_HOME.\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || !std::strcmp(argv[1], "help") || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
        if (argc >= 3) {
            for (const auto& c : orvikctl::commands())
                if (std::string(c.name) == argv[2]) {
                    std::printf("orvikctl %s %s\n  %s\n", c.name, c.usage, c.summary);
                    return orvikctl::Ok;
                }
            return orvikctl::fail(std::string("no command ") + argv[2]);
        }
        printHelp();
        return argc < 2 ? orvikctl::Usage : orvikctl::Ok;
    }
    for (const auto& c : orvikctl::commands())
        if (std::string(c.name) == argv[1]) return c.run(orvikctl::Args(argv + 2, argv + argc));
    std::fprintf(stderr, "orvikctl: no command %s; 'orvikctl help' lists them\n", argv[1]);
    return orvikctl::Usage;
}
