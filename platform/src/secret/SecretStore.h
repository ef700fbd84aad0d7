// Where the key that seals the user's key containers is kept: the desktop's Secret Service
// (GNOME Keyring, KWallet, KeePassXC), reached through libsecret.
#pragma once

#include <string>

#include <orvik/Secret.h>

namespace orvik::secret {

enum class Outcome {
    Ok,
    NotFound,  // the service answers but keeps no such key
    Absent,    // no session bus, or no Secret Service on it
    Locked,    // the key is there but its collection stays locked (the user declined to unlock)
    Failed,    // the service is there and failed; `detail` says how
};

// A key that seals containers, and the id the containers name it by.
struct SealingKey {
    std::string id;
    SecretBytes bytes;
};

class SecretStore {
public:
    virtual ~SecretStore() = default;
    // The key with this id; with an empty id, the one new containers are sealed with. With
    // `unlock` a locked collection is unlocked the service's way (it may ask the user); without
    // it, and with `key` null, this only finds out whether the key could be had.
    virtual Outcome find(const std::string& id, bool unlock, SealingKey* key, std::string& detail) = 0;
    // Keeps a new key in the user's default collection.
    virtual Outcome add(const SealingKey& key, std::string& detail) = 0;
};

// The process's store: the Secret Service of the session bus named by the environment, looked up
// afresh on every call, so a service started or stopped since is seen as it is now.
SecretStore& secretStore();

}  // namespace orvik::secret
