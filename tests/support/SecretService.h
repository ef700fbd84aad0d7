// A Secret Service of the test's own: a private session bus (dbus-daemon with a configuration
// that activates nothing) and gnome-keyring-daemon on it, its login keyring made and unlocked
// with a password. While one lives, DBUS_SESSION_BUS_ADDRESS names its bus, so the platform and
// every child process find it as they would a desktop's; one not exported is found only by the
// children given address().
#pragma once

#include <sys/types.h>

#include <string>

#include "TempHome.h"

namespace orvik::test {

class SecretService {
public:
    enum class Start { Keyring, BusOnly };
    explicit SecretService(Start start = Start::Keyring, bool exported = true);
    ~SecretService();  // stops both and restores the environment
    SecretService(const SecretService&) = delete;
    SecretService& operator=(const SecretService&) = delete;

    bool ready() const { return ready_; }
    const std::string& address() const { return address_; }
    // DBUS_SESSION_BUS_ADDRESS=<address>, for a child's environment.
    std::string environment() const { return "DBUS_SESSION_BUS_ADDRESS=" + address_; }
    // Locks the login keyring, as a user's screen lock or a timeout does.
    bool lockKeyring() const;

private:
    TempDir dir_;
    std::string address_, previous_;
    bool hadPrevious_ = false;
    bool ready_ = false;
    bool busSet_ = false;
    pid_t bus_ = -1, keyring_ = -1;
};

// No session bus at all while it lives, as on a server or in a bare session.
class NoSessionBus {
public:
    NoSessionBus();
    ~NoSessionBus();
    NoSessionBus(const NoSessionBus&) = delete;
    NoSessionBus& operator=(const NoSessionBus&) = delete;

    // The value that names no bus, for a child's environment.
    static std::string address();

private:
    std::string previous_;
    bool hadPrevious_ = false;
};

}  // namespace orvik::test
