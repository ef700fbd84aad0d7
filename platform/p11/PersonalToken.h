// The one token of the module: the user's personal certificates whose keys lie in key containers
// on the disk, with their key pairs, and the intermediate authorities for building chains. Read
// again from the registry whenever a session or a search starts, so another process's import or
// deletion is seen; only entries that changed are parsed again.
#pragma once

#include <p11-kit/pkcs11.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <orvik/RegisteredCertificates.h>

namespace orvik::p11 {

struct Object {
    CK_OBJECT_HANDLE handle = 0;
    CK_OBJECT_CLASS cls = 0;
    std::map<CK_ATTRIBUTE_TYPE, std::vector<unsigned char>> attributes;
    // Private keys: where the key lives, and the certificate's public key it must match.
    std::string container;
    bool machineKeyset = false;
    unsigned long keySpec = 0;
    std::shared_ptr<EVP_PKEY> publicKey;
    bool canSign = false, canDecrypt = false;
    CK_ULONG modulusBits = 0;

    bool matches(const CK_ATTRIBUTE* templ, CK_ULONG count) const;
};

// Whether a private key attribute is one that never leaves the token.
bool isSensitive(CK_OBJECT_CLASS cls, CK_ATTRIBUTE_TYPE type);

class PersonalToken {
public:
    // Reads the stores again; cheap when nothing changed.
    void refresh();
    // Forgets every object and every key held in memory.
    void clear();
    std::vector<CK_OBJECT_HANDLE> find(const CK_ATTRIBUTE* templ, CK_ULONG count);
    // Null for a handle that names nothing now (deleted, or never given out).
    std::shared_ptr<const Object> object(CK_OBJECT_HANDLE handle);
    // The private key of a key object, loaded from its container once and kept.
    std::shared_ptr<EVP_PKEY> privateKey(const Object& key, CK_RV& rv);

private:
    struct Entry {
        std::vector<unsigned char> blob;
        std::vector<std::shared_ptr<const Object>> objects;
    };
    CK_OBJECT_HANDLE handleFor(const std::string& key, CK_OBJECT_CLASS cls);
    Entry build(const RegisteredCertificate& entry, const std::string& key, bool personal);

    std::mutex lock_;
    std::map<std::string, Entry> entries_;  // by store and thumbprint
    std::map<CK_OBJECT_HANDLE, std::shared_ptr<const Object>> objects_;
    std::map<std::string, CK_OBJECT_HANDLE> handles_;  // stable across refreshes
    CK_OBJECT_HANDLE next_ = 1;
    std::mutex keysLock_;
    std::map<CK_OBJECT_HANDLE, std::pair<std::shared_ptr<const Object>, std::shared_ptr<EVP_PKEY>>> keys_;
};

}  // namespace orvik::p11
