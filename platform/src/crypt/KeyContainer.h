// Named key containers, kept per user under ORVIK_HOME/keys in files only the user can read.
// Each holds at most one key pair per key kind (exchange, signature) as a PRIVATEKEYBLOB.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <wincrypt.h>

namespace orvik::crypt {

// One key of a container: its CryptImportKey flags (CRYPT_EXPORTABLE) and its PRIVATEKEYBLOB.
struct StoredKey {
    DWORD flags = 0;
    std::vector<BYTE> blob;
};

class KeyContainer {
public:
    // The file of a container name. Names are stored hex-encoded, so any name is a safe file name.
    static std::string pathOf(const std::string& name, bool machine);

    static bool exists(const std::string& name, bool machine);
    // Writes the container file atomically (temporary file, fsync, rename).
    static bool save(const std::string& name, bool machine, const std::map<DWORD, StoredKey>& keys);
    // False (last error NTE_BAD_KEYSET) when there is no such container or it is damaged.
    static bool load(const std::string& name, bool machine, std::map<DWORD, StoredKey>& keys);
    static bool remove(const std::string& name, bool machine);
};

}  // namespace orvik::crypt
