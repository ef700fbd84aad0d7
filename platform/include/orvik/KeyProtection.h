// How the private keys of the user's key containers are kept at rest: sealed with a per-user key
// that the desktop's Secret Service (GNOME Keyring, KWallet, KeePassXC) keeps, or, where a session
// has none, as plain files only the user may read.
#pragma once

#include <functional>
#include <string>

#include "../windef.h"

namespace orvik {

enum class KeyStorage {
    Sealed,       // sealed with the Secret Service's key (made there on first use)
    Plain,        // no Secret Service in this session: plain files of mode 0600
    Locked,       // the Secret Service is there, its keyring locked: keys cannot be used
    Unavailable,  // the Secret Service is there and fails: keys cannot be used
};

struct KeyStorageState {
    KeyStorage storage = KeyStorage::Plain;
    std::string detail;  // the service's own words when it fails; empty otherwise
    // The user's key containers as they lie on the disk now.
    int sealedContainers = 0;
    int plainContainers = 0;
};

// Asks the Secret Service now, without unlocking anything or asking the user anything, and
// counts the containers.
ORVIK_PLATFORM_API KeyStorageState keyStorage();

// Seals every plain key container now, as its first use would. False, with `problem` saying why
// (no Secret Service, its keyring locked, a file that cannot be written), when one could not be;
// `sealed` counts those that were.
ORVIK_PLATFORM_API bool sealKeyContainers(int& sealed, std::string& problem);

// The platform's notices (keys kept plain for want of a Secret Service, once per process) go to
// this handler; with none installed, to the system log.
using PlatformLogHandler = std::function<void(const std::string& line)>;

// Installs the handler for the whole process and returns the one it replaces.
ORVIK_PLATFORM_API PlatformLogHandler setPlatformLogHandler(PlatformLogHandler handler);

}  // namespace orvik
