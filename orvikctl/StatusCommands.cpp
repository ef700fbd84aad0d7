// status, seal-keys: where the user's state lives and how the private keys in it are kept.
#include <cstdio>
#include <string>

#include <orvik/Home.h>
#include <orvik/KeyProtection.h>

#include "Command.h"

namespace orvikctl {
namespace {

std::string keysText(const orvik::KeyStorageState& state) {
    switch (state.storage) {
    case orvik::KeyStorage::Sealed: return "sealed by the Secret Service";
    case orvik::KeyStorage::Plain: return "stored plain, readable by the user only (no Secret Service in this session)";
    case orvik::KeyStorage::Locked:
        return "sealed by the Secret Service, whose keyring is locked: unlock it to use them";
    case orvik::KeyStorage::Unavailable: return "not usable: the Secret Service fails (" + state.detail + ")";
    }
    return "";
}

int status(const Args& args) {
    if (!args.empty()) return usage("status");
    const std::string home = orvik::homeDir();
    if (home.empty()) return fail("no home folder: set ORVIK_HOME or HOME");
    const orvik::KeyStorageState state = orvik::keyStorage();
    std::printf("Home\t%s\n", home.c_str());
    std::printf("Keys\t%s\n", keysText(state).c_str());
    std::printf("Containers\t%d sealed, %d plain\n", state.sealedContainers, state.plainContainers);
    // Plain containers beside a working service are sealed when next used.
    if (state.storage == orvik::KeyStorage::Sealed && state.plainContainers > 0)
        std::printf("Note\tplain containers are sealed the next time their key is used\n");
    return Ok;
}

int sealKeys(const Args& args) {
    if (!args.empty()) return usage("seal-keys");
    int sealed = 0;
    std::string problem;
    const bool ok = orvik::sealKeyContainers(sealed, problem);
    std::printf("Sealed\t%d\n", sealed);
    return ok ? Ok : fail(problem);
}

const bool added = registered({
    {"status", "", "where the state lives and whether private keys are sealed by the Secret Service or plain", status},
    {"seal-keys", "",
     "seal every plain key container with the Secret Service's key now (otherwise done when a key is next used)",
     sealKeys},
});

}  // namespace
}  // namespace orvikctl
