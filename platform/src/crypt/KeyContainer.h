// Named key containers, kept per user under ORVIK_HOME/keys in files only the user can read.
// Each holds at most one key pair per key kind (exchange, signature) as a PRIVATEKEYBLOB. Where the
// session has a Secret Service the files are sealed with the user's key kept there (plain ones
// are sealed on first use); without one they stay plain. Every reader of a key comes through here.
#pragma once

#include <map>
#include <string>
#include <orvik/Secret.h>
#include <wincrypt.h>

namespace orvik::crypt {

// One key of a container: its CryptImportKey flags (CRYPT_EXPORTABLE) and its PRIVATEKEYBLOB.
struct StoredKey {
    DWORD flags = 0;
    SecretBytes blob;
};

class KeyContainer {
public:
    // The file of a container name. Names are stored hex-encoded, so any name is a safe file name.
    static std::string pathOf(const std::string& name, bool machine);

    static bool exists(const std::string& name, bool machine);
    // Writes the container file atomically, sealed when there is a Secret Service. A locked or
    // failing keyring tells the user and fails (NTE_PERM, NTE_FAIL); nothing is written then.
    static bool save(const std::string& name, bool machine, const std::map<DWORD, StoredKey>& keys);
    // False (last error NTE_BAD_KEYSET) when there is no such container or it is damaged; a sealed
    // one the keyring cannot open tells the user why (locked: NTE_PERM; no service: NTE_FAIL).
    static bool load(const std::string& name, bool machine, std::map<DWORD, StoredKey>& keys);
    static bool remove(const std::string& name, bool machine);

    // How many of the user's containers are sealed and how many plain.
    struct Census {
        int sealed = 0;
        int plain = 0;
    };
    static Census census();

    enum class Sealing { Done, NoService, Locked, Failed };
    // Seals every plain container now, as its first use would; stops at the first that cannot be
    // (`problem` says why) and counts those it sealed.
    static Sealing sealAll(int& sealed, std::string& problem);
};

}  // namespace orvik::crypt
