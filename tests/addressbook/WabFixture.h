// The address book module as the library loads it, for tests: DLLPath pointed at the built
// module in a fresh ORVIK_HOME, and a direct session for looking at raw entries.
#pragma once

#include <string>
#include <vector>

#include <windows.h>
#include <wab.h>

#include "support/TempHome.h"

namespace orvik::test {

// Writes the default value of HKLM\...\WAB\DLLPath; an empty path removes the key's value.
void setWabPath(const std::string& path);

// One WABOpen session with the container open for writing.
class WabSession {
public:
    WabSession();
    ~WabSession();
    WabSession(const WabSession&) = delete;
    WabSession& operator=(const WabSession&) = delete;

    bool ok() const { return container != nullptr; }
    // Entry ids of the contents table, in order.
    std::vector<std::string> entryIds();
    // A new mail user with these values, saved; its entry id, or "" when the save failed (hr).
    std::string create(const std::vector<SPropValue>& values, HRESULT* hr = nullptr);
    IMailUser* open(const std::string& entryId, ULONG flags = MAPI_MODIFY);
    // One value of an entry as its raw stored form: the strings of a multi-valued binary, or the
    // string of a PT_STRING8; nothing when the entry lacks it.
    std::vector<std::string> binaries(const std::string& entryId, ULONG tag);
    std::string string(const std::string& entryId, ULONG tag, bool* present = nullptr);

    HMODULE module = nullptr;
    IAddrBook* book = nullptr;
    IWABObject* wab = nullptr;
    IABContainer* container = nullptr;
};

SPropValue stringProp(ULONG tag, const char* value);

}  // namespace orvik::test
