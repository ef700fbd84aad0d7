#include <orvik/KeyProtection.h>

#include <syslog.h>

#include <atomic>
#include <mutex>

#include <winuser.h>

#include "../crypt/KeyContainer.h"
#include "Notices.h"
#include "SecretStore.h"

namespace orvik {

namespace {

std::mutex& handlerLock() {
    static std::mutex lock;
    return lock;
}

PlatformLogHandler& installed() {
    static PlatformLogHandler handler;
    return handler;
}

}  // namespace

PlatformLogHandler setPlatformLogHandler(PlatformLogHandler handler) {
    std::lock_guard guard(handlerLock());
    PlatformLogHandler previous = std::move(installed());
    installed() = std::move(handler);
    return previous;
}

KeyStorageState keyStorage() {
    KeyStorageState state;
    switch (secret::secretStore().find("", false, nullptr, state.detail)) {
    // A service without the key yet makes one when the first key is saved.
    case secret::Outcome::Ok:
    case secret::Outcome::NotFound: state.storage = KeyStorage::Sealed; break;
    case secret::Outcome::Absent: state.storage = KeyStorage::Plain; break;
    case secret::Outcome::Locked: state.storage = KeyStorage::Locked; break;
    case secret::Outcome::Failed: state.storage = KeyStorage::Unavailable; break;
    }
    if (state.storage != KeyStorage::Unavailable) state.detail.clear();
    const crypt::KeyContainer::Census census = crypt::KeyContainer::census();
    state.sealedContainers = census.sealed;
    state.plainContainers = census.plain;
    return state;
}

bool sealKeyContainers(int& sealed, std::string& problem) {
    std::string detail;
    switch (crypt::KeyContainer::sealAll(sealed, detail)) {
    case crypt::KeyContainer::Sealing::Done: return true;
    case crypt::KeyContainer::Sealing::NoService: problem = "there is no Secret Service in this session"; break;
    case crypt::KeyContainer::Sealing::Locked: problem = "the keyring is locked; unlock it and try again"; break;
    case crypt::KeyContainer::Sealing::Failed: problem = "a key container could not be sealed: " + detail; break;
    }
    return false;
}

namespace secret {

void logLine(const std::string& line) {
    PlatformLogHandler handler;
    {
        std::lock_guard guard(handlerLock());
        handler = installed();
    }
    if (handler)
        handler(line);
    else
        syslog(LOG_USER | LOG_NOTICE, "%s", line.c_str());
}

void noteKeysStayPlain() {
    static std::atomic<bool> noted{false};
    if (noted.exchange(true)) return;
    logLine(
        "No Secret Service in this session: private keys are kept in plain key container files that only "
        "the user may read (mode 0600).");
}

void tellUser(const char* text) { MessageBoxA(nullptr, text, "证书助手", MB_OK | MB_ICONWARNING); }

}  // namespace secret

}  // namespace orvik
