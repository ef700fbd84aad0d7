#include <orvik/RegisteredCertificates.h>

#include <openssl/sha.h>
#include <strings.h>

#include <orvik/CodePage.h>
#include <winbase.h>
#include <wincrypt.h>

#include "../registry/RegistryInternal.h"
#include "CertStore.h"
#include "KeyBlob.h"
#include "KeyContainer.h"
#include "KeyProvInfo.h"
#include "Provider.h"
#include "StoreEntry.h"

namespace orvik {

namespace {

// Fills the key fields when the property names a software provider's container that exists.
void readKeyProvInfo(const std::vector<BYTE>& stored, RegisteredCertificate& out) {
    DWORD size = crypt::keyProvInfoSize(stored);
    if (!size) return;
    std::vector<BYTE> buf(size);
    if (!crypt::decodeKeyProvInfo(stored, buf.data(), size)) return;
    const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buf.data());
    std::string provider = info->pwszProvName ? utf16ToUtf8(info->pwszProvName) : std::string();
    if (!provider.empty() && !crypt::knownProvider(provider.c_str())) return;
    out.container = info->pwszContainerName ? utf16ToUtf8(info->pwszContainerName) : std::string();
    out.machineKeyset = info->dwFlags & CRYPT_MACHINE_KEYSET;
    out.keySpec = info->dwKeySpec ? info->dwKeySpec : AT_KEYEXCHANGE;
    out.diskKey = crypt::KeyContainer::exists(out.container, out.machineKeyset);
}

void readHive(HKEY hive, const std::string& storeKey, std::vector<RegisteredCertificate>& out) {
    std::vector<std::pair<std::string, std::vector<BYTE>>> entries;
    if (registry::readSubKeyValues(hive, storeKey, "Blob", entries) != ERROR_SUCCESS) return;
    for (auto& [name, blob] : entries) {
        crypt::Properties props;
        std::vector<BYTE> der;
        if (blob.empty() || !crypt::decodeElement(blob.data(), blob.size(), props, der)) continue;
        RegisteredCertificate entry;
        entry.thumbprint = name;
        for (char& c : entry.thumbprint) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        entry.der = std::move(der);
        if (auto it = props.find(CERT_FRIENDLY_NAME_PROP_ID); it != props.end())
            entry.friendlyName = utf16LeBytesToUtf8(it->second.data(), it->second.size());
        if (auto it = props.find(CERT_KEY_PROV_INFO_PROP_ID); it != props.end()) readKeyProvInfo(it->second, entry);
        entry.blob = std::move(blob);
        out.push_back(std::move(entry));
    }
}

}  // namespace

std::vector<RegisteredCertificate> readRegisteredCertificates(const char* store) {
    std::vector<RegisteredCertificate> out;
    if (!store || !*store) return out;
    const std::string storeKey = crypt::systemStoreKey(store);
    readHive(HKEY_CURRENT_USER, storeKey, out);
    if (!strcasecmp(store, "Root") || !strcasecmp(store, "CA") || !strcasecmp(store, "Disallowed")) {
        std::vector<RegisteredCertificate> machine;
        readHive(HKEY_LOCAL_MACHINE, storeKey, machine);
        // The user's entry of a certificate stands for both, as when the store is opened.
        for (auto& entry : machine) {
            bool seen = false;
            for (const auto& mine : out) seen = seen || mine.thumbprint == entry.thumbprint;
            if (!seen) out.push_back(std::move(entry));
        }
    }
    return out;
}

std::set<std::string> distrustedThumbprints() {
    std::set<std::string> out;
    // Hashed anew: the entry's key name is only a name, the certificate is what is distrusted.
    for (const RegisteredCertificate& entry : readRegisteredCertificates("Disallowed")) {
        unsigned char hash[SHA_DIGEST_LENGTH];
        SHA1(entry.der.data(), entry.der.size(), hash);
        static const char digits[] = "0123456789ABCDEF";
        std::string hex;
        for (unsigned char b : hash) {
            hex.push_back(digits[b >> 4]);
            hex.push_back(digits[b & 15]);
        }
        out.insert(std::move(hex));
    }
    return out;
}

std::shared_ptr<EVP_PKEY> loadContainerKey(const std::string& container, bool machineKeyset, DWORD keySpec) {
    std::map<DWORD, crypt::StoredKey> stored;
    if (!crypt::KeyContainer::load(container, machineKeyset, stored)) return nullptr;
    std::shared_ptr<EVP_PKEY> key;
    if (auto it = stored.find(keySpec); it != stored.end()) {
        auto parsed = crypt::privateKeyFromBlob(it->second.blob.data(), it->second.blob.size());
        if (parsed) key.reset(parsed.release(), EVP_PKEY_free);
    }
    if (!key) SetLastError(static_cast<DWORD>(stored.count(keySpec) ? NTE_BAD_KEYSET : NTE_NO_KEY));
    return key;
}

}  // namespace orvik
