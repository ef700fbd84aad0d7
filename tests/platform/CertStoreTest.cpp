#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <windows.h>

#include "support/ChildProcess.h"
#include "support/CertHandles.h"
#include "support/TempHome.h"
#include "support/TestPki.h"

using orvik::test::CertPtr;
using orvik::test::contextOf;
using orvik::test::IssuedCert;
using orvik::test::StorePtr;
using orvik::test::TempHome;
using orvik::test::TestPki;

namespace {

IssuedCert issue(const std::string& cn) { return TestPki::instance().issue({.cn = cn}); }

StorePtr memoryStore() { return StorePtr(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr)); }
StorePtr systemStore(const char* name) { return StorePtr(CertOpenSystemStoreA(0, name)); }

bool add(void* store, const std::string& der, DWORD disposition = CERT_STORE_ADD_NEW) {
    return CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                            static_cast<DWORD>(der.size()), disposition, nullptr);
}

std::string sha1Of(PCCERT_CONTEXT ctx) {
    BYTE hash[20];
    DWORD size = sizeof hash;
    if (!CertGetCertificateContextProperty(ctx, CERT_SHA1_HASH_PROP_ID, hash, &size)) return "<none>";
    return std::string(reinterpret_cast<char*>(hash), size);
}

// Thumbprints in enumeration order; every previous context goes back through the enumeration.
std::vector<std::string> thumbprints(void* store) {
    std::vector<std::string> out;
    for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(store, c));) out.push_back(sha1Of(c));
    return out;
}

std::string hexOf(const std::string& sha1) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char b : sha1) out += {digits[b >> 4], digits[b & 15]};
    return out;
}

std::string entryKey(const std::string& store, const std::string& sha1) {
    return "Software\\Microsoft\\SystemCertificates\\" + store + "\\Certificates\\" + hexOf(sha1);
}

bool setFriendlyName(PCCERT_CONTEXT ctx, const std::u16string& name) {
    CRYPT_DATA_BLOB blob{static_cast<DWORD>((name.size() + 1) * 2),
                         reinterpret_cast<BYTE*>(const_cast<char16_t*>(name.c_str()))};
    return CertSetCertificateContextProperty(ctx, CERT_FRIENDLY_NAME_PROP_ID, 0, &blob);
}

std::u16string friendlyName(PCCERT_CONTEXT ctx) {
    char16_t buf[64] = {};
    DWORD size = sizeof buf - 2;
    if (!CertGetCertificateContextProperty(ctx, CERT_FRIENDLY_NAME_PROP_ID, buf, &size)) return u"<none>";
    return buf;
}

std::u16string firstFriendlyName(void* store) {
    CertPtr first(CertEnumCertificatesInStore(store, nullptr));
    return first ? friendlyName(first.get()) : u"<empty store>";
}

// Sets the friendly name of the store's first element; false when there is none or it fails.
bool renameFirst(void* store, const std::u16string& name) {
    CertPtr first(store ? CertEnumCertificatesInStore(store, nullptr) : nullptr);
    return first && setFriendlyName(first.get(), name);
}

std::string le32(DWORD v) { return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }

std::string record(DWORD id, const std::string& bytes) {
    return le32(id) + le32(1) + le32(static_cast<DWORD>(bytes.size())) + bytes;
}

std::string utf16le(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) out += {char(c & 0xFF), char(c >> 8)};
    return out + std::string(2, '\0');
}

// The records of a serialized element by id; a malformed element fails the test.
std::map<DWORD, std::string> records(const std::string& blob) {
    auto get32 = [&](size_t at) {
        DWORD v = 0;
        for (size_t i = 4; i-- > 0;) v = v << 8 | static_cast<unsigned char>(blob[at + i]);
        return v;
    };
    std::map<DWORD, std::string> out;
    for (size_t at = 0; at < blob.size(); at += 12 + get32(at + 8)) {
        if (blob.size() - at < 12 || get32(at + 8) > blob.size() - at - 12) {
            ADD_FAILURE() << "a record runs off the end at " << at;
            break;
        }
        out[get32(at)] = blob.substr(at + 12, get32(at + 8));
    }
    return out;
}

std::string readBlob(HKEY hive, const std::string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(hive, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return "<no key>";
    DWORD type = 0, size = 0;
    RegQueryValueExA(key, "Blob", nullptr, &type, nullptr, &size);
    std::string out(size, '\0');
    RegQueryValueExA(key, "Blob", nullptr, &type, reinterpret_cast<BYTE*>(out.data()), &size);
    RegCloseKey(key);
    return type == REG_BINARY ? out : "<no binary Blob>";
}

void writeBlob(HKEY hive, const std::string& path, const std::string& blob) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(hive, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(key, "Blob", 0, REG_BINARY, reinterpret_cast<const BYTE*>(blob.data()),
                             static_cast<DWORD>(blob.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

int setFriendlyNameInChild(const std::vector<std::string>&) {
    return renameFirst(systemStore("MY").get(), u"来自子进程") ? 0 : 1;
}

ORVIK_CHILD_ENTRY("store-set-friendly-name", setFriendlyNameInChild);

}  // namespace

TEST(CertStore, MemoryStoreAddDispositions) {
    IssuedCert cert = issue("Bob");
    StorePtr store = memoryStore();
    ASSERT_TRUE(store);
    CertPtr a = contextOf(cert.der);
    ASSERT_TRUE(setFriendlyName(a.get(), u"A"));
    PCCERT_CONTEXT added = nullptr;
    ASSERT_TRUE(CertAddCertificateContextToStore(store.get(), a.get(), CERT_STORE_ADD_NEW, &added));
    ASSERT_NE(added, nullptr);
    EXPECT_EQ(friendlyName(added), u"A") << "the added copy carries the source's properties";
    CertFreeCertificateContext(added);

    SetLastError(0);
    EXPECT_FALSE(add(store.get(), cert.der, CERT_STORE_ADD_NEW)) << "an equal certificate is already there";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_EXISTS));
    EXPECT_EQ(thumbprints(store.get()).size(), 1u);

    // USE_EXISTING keeps the element and takes the properties it lacks.
    CertPtr b = contextOf(cert.der);
    const std::string extra = "\x01\x02\x03";
    CRYPT_DATA_BLOB extraBlob{3, reinterpret_cast<BYTE*>(const_cast<char*>(extra.data()))};
    ASSERT_TRUE(CertSetCertificateContextProperty(b.get(), CERT_FIRST_USER_PROP_ID, 0, &extraBlob));
    ASSERT_TRUE(CertAddCertificateContextToStore(store.get(), b.get(), CERT_STORE_ADD_USE_EXISTING, &added));
    EXPECT_EQ(friendlyName(added), u"A") << "the existing element's own property";
    DWORD size = 0;
    EXPECT_TRUE(CertGetCertificateContextProperty(added, CERT_FIRST_USER_PROP_ID, nullptr, &size));
    EXPECT_EQ(size, 3u) << "merged from the new context";
    CertFreeCertificateContext(added);
    EXPECT_EQ(thumbprints(store.get()).size(), 1u);

    // REPLACE_EXISTING puts the new context, with only its own properties, in the old one's place.
    CertPtr c = contextOf(cert.der);
    ASSERT_TRUE(setFriendlyName(c.get(), u"C"));
    ASSERT_TRUE(CertAddCertificateContextToStore(store.get(), c.get(), CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
    EXPECT_EQ(thumbprints(store.get()).size(), 1u);
    {
        CertPtr only(CertEnumCertificatesInStore(store.get(), nullptr));
        ASSERT_TRUE(only);
        EXPECT_EQ(friendlyName(only.get()), u"C");
        EXPECT_FALSE(CertGetCertificateContextProperty(only.get(), CERT_FIRST_USER_PROP_ID, nullptr, &size));
    }

    EXPECT_TRUE(add(store.get(), cert.der, CERT_STORE_ADD_ALWAYS));
    EXPECT_EQ(thumbprints(store.get()).size(), 2u) << "ALWAYS keeps both";

    PCCERT_CONTEXT first = CertEnumCertificatesInStore(store.get(), nullptr);
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(CertDeleteCertificateFromStore(first));
    EXPECT_EQ(thumbprints(store.get()).size(), 1u);
}

TEST(CertStore, SystemStoresKeepEntriesInTheRegistryLayout) {
    TempHome home;
    for (const char* name : {"MY", "ADDRESSBOOK", "CA", "Root"}) {
        IssuedCert cert = issue(std::string("in ") + name);
        {
            StorePtr store = systemStore(name);
            ASSERT_TRUE(store) << name << ": 0x" << std::hex << GetLastError();
            ASSERT_TRUE(add(store.get(), cert.der)) << name;
        }
        StorePtr again = systemStore(name);
        ASSERT_TRUE(again) << name;
        EXPECT_EQ(thumbprints(again.get()), std::vector<std::string>{cert.sha1}) << "a new handle reads " << name;

        EXPECT_TRUE(
            readBlob(HKEY_CURRENT_USER, entryKey(name, cert.sha1)).ends_with(record(CERT_CERT_PROP_ID, cert.der)))
            << "the entry of " << name << " ends with the certificate";
    }
}

TEST(CertStore, FriendlyNameSetOnAnEnumeratedContextPersists) {
    TempHome home;
    IssuedCert cert = issue("Bob");
    ASSERT_TRUE(add(systemStore("MY").get(), cert.der));
    ASSERT_TRUE(renameFirst(systemStore("MY").get(), u"工作证书"));
    EXPECT_EQ(firstFriendlyName(systemStore("MY").get()), u"工作证书");
    EXPECT_EQ(records(readBlob(HKEY_CURRENT_USER, entryKey("MY", cert.sha1)))[CERT_FRIENDLY_NAME_PROP_ID],
              utf16le(u"工作证书"))
        << "UTF-16LE with its NUL";
}

TEST(CertStore, UnknownPropertyRecordsSurviveAnUpdateByteForByte) {
    TempHome home;
    IssuedCert cert = issue("Bob");
    const std::string opaque("\x00\xFF\x10 opaque \x00", 11);
    const std::string odd("\x7F", 1);
    writeBlob(HKEY_CURRENT_USER, entryKey("MY", cert.sha1),
              record(0x7E, opaque) + record(CERT_FIRST_USER_PROP_ID + 5, odd) + record(CERT_CERT_PROP_ID, cert.der));
    ASSERT_TRUE(renameFirst(systemStore("MY").get(), u"renamed"))
        << "an entry written into the registry is a store entry";
    const std::string blob = readBlob(HKEY_CURRENT_USER, entryKey("MY", cert.sha1));
    auto recs = records(blob);
    EXPECT_EQ(recs[0x7E], opaque);
    EXPECT_EQ(recs[CERT_FIRST_USER_PROP_ID + 5], odd);
    EXPECT_EQ(recs[CERT_FRIENDLY_NAME_PROP_ID], utf16le(u"renamed"));
    EXPECT_TRUE(blob.ends_with(record(CERT_CERT_PROP_ID, cert.der)));
}

TEST(CertStore, DamagedEntryIsSkippedAndTheOthersLoad) {
    TempHome home;
    IssuedCert good = issue("good"), bad = issue("bad");
    writeBlob(HKEY_CURRENT_USER, entryKey("MY", good.sha1), record(CERT_CERT_PROP_ID, good.der));
    const std::string whole = record(CERT_FRIENDLY_NAME_PROP_ID, utf16le(u"x")) + record(CERT_CERT_PROP_ID, bad.der);
    writeBlob(HKEY_CURRENT_USER, entryKey("MY", bad.sha1), whole.substr(0, whole.size() - 40));
    StorePtr store = systemStore("MY");
    ASSERT_TRUE(store) << "one damaged entry must not close the store";
    EXPECT_EQ(thumbprints(store.get()), std::vector<std::string>{good.sha1});
}

TEST(CertStore, TrustStoresReadTheMachineHiveAndWriteTheUsers) {
    TempHome home;
    for (const char* name : {"Root", "CA"}) {
        IssuedCert machine = issue(std::string("machine ") + name), user = issue(std::string("user ") + name);
        writeBlob(HKEY_LOCAL_MACHINE, entryKey(name, machine.sha1), record(CERT_CERT_PROP_ID, machine.der));
        {
            StorePtr store = systemStore(name);
            ASSERT_TRUE(store) << name;
            EXPECT_EQ(thumbprints(store.get()), std::vector<std::string>{machine.sha1}) << name;
            ASSERT_TRUE(add(store.get(), user.der)) << name;
        }
        EXPECT_NE(readBlob(HKEY_CURRENT_USER, entryKey(name, user.sha1)), "<no key>") << name;
        EXPECT_EQ(readBlob(HKEY_LOCAL_MACHINE, entryKey(name, user.sha1)), "<no key>") << name;
        EXPECT_EQ(thumbprints(systemStore(name).get()).size(), 2u) << name;
    }
    IssuedCert machineOnly = issue("machine MY");
    writeBlob(HKEY_LOCAL_MACHINE, entryKey("MY", machineOnly.sha1), record(CERT_CERT_PROP_ID, machineOnly.der));
    EXPECT_TRUE(thumbprints(systemStore("MY").get()).empty()) << "the user's MY is the user's alone";
}

TEST(CertStore, EnumerationFollowsTheThumbprintKeys) {
    TempHome home;
    std::vector<IssuedCert> certs{issue("one"), issue("two"), issue("three")};
    // Added in descending order, so insertion order cannot pass for key order.
    std::sort(certs.begin(), certs.end(), [](auto& a, auto& b) { return hexOf(a.sha1) > hexOf(b.sha1); });
    for (auto& c : certs) ASSERT_TRUE(add(systemStore("MY").get(), c.der));
    std::vector<std::string> keys;
    for (const std::string& t : thumbprints(systemStore("MY").get())) keys.push_back(hexOf(t));
    ASSERT_EQ(keys.size(), 3u);
    EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end())) << keys[0] << " " << keys[1] << " " << keys[2];
}

TEST(CertStore, DeleteRemovesTheRegistryEntryAndFreesItsArgument) {
    TempHome home;
    IssuedCert keep = issue("keep"), drop = issue("drop");
    {
        StorePtr store = systemStore("MY");
        ASSERT_TRUE(add(store.get(), keep.der));
        ASSERT_TRUE(add(store.get(), drop.der));
    }
    StorePtr store = systemStore("MY");
    PCCERT_CONTEXT target = nullptr;
    while ((target = CertEnumCertificatesInStore(store.get(), target)) && sha1Of(target) != drop.sha1) {
    }
    ASSERT_NE(target, nullptr);
    PCCERT_CONTEXT dup = CertDuplicateCertificateContext(target);
    EXPECT_TRUE(CertDeleteCertificateFromStore(target));
    EXPECT_EQ(readBlob(HKEY_CURRENT_USER, entryKey("MY", drop.sha1)), "<no key>");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(dup->pbCertEncoded), dup->cbCertEncoded), drop.der)
        << "the caller's other reference stays valid";
    EXPECT_TRUE(CertFreeCertificateContext(dup));
    EXPECT_EQ(thumbprints(store.get()), std::vector<std::string>{keep.sha1});
    EXPECT_EQ(thumbprints(systemStore("MY").get()), std::vector<std::string>{keep.sha1});
}

TEST(CertStore, DeletingWhileEnumeratingReachesEveryCertificate) {
    TempHome home;
    for (const char* name : {"memory", "MY"}) {
        StorePtr store = std::string(name) == "MY" ? systemStore(name) : memoryStore();
        for (const char* cn : {"a", "b", "c"}) ASSERT_TRUE(add(store.get(), issue(cn).der));
        // The pattern Windows documents: delete a duplicate and go on from the enumerated context.
        int seen = 0;
        for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(store.get(), c));) {
            ++seen;
            EXPECT_TRUE(CertDeleteCertificateFromStore(CertDuplicateCertificateContext(c))) << name;
        }
        EXPECT_EQ(seen, 3) << name << ": the enumeration goes on past a deleted context";
        EXPECT_TRUE(thumbprints(store.get()).empty()) << name;
    }
}

TEST(CertStore, AnotherProcessSeesAndChangesTheSameEntries) {
    TempHome home;
    ASSERT_TRUE(add(systemStore("MY").get(), issue("shared").der));
    orvik::test::ChildProcess child("store-set-friendly-name", {});
    ASSERT_TRUE(child.started());
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(firstFriendlyName(systemStore("MY").get()), u"来自子进程");
}

// Found by fuzzing: a key-provider property whose parameter table lies past its end.
TEST(CertStore, AStoredKeyProviderPropertyIsReadOnlyWithinItsBytes) {
    IssuedCert user = TestPki::instance().issue({.cn = "kpi"});
    auto record = [](DWORD id, const std::string& bytes) {
        std::string out(12, '\0');
        for (int i = 0; i < 4; ++i) {
            out[i] = static_cast<char>(id >> (8 * i));
            out[4 + i] = static_cast<char>(1 >> (8 * i));
            out[8 + i] = static_cast<char>(bytes.size() >> (8 * i));
        }
        return out + bytes;
    };
    for (DWORD table : {0x1Cu, 0x200u, 0x7FFFFFF0u, 0xFFFFFFF0u}) {
        std::string info(28, '\0');
        info[16] = 1;  // one parameter
        for (int i = 0; i < 4; ++i) info[20 + i] = static_cast<char>(table >> (8 * i));
        std::string element = record(CERT_KEY_PROV_INFO_PROP_ID, info) + record(32, user.der);
        StorePtr store(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
        const void* added = nullptr;
        ASSERT_TRUE(CertAddSerializedElementToStore(store.get(), reinterpret_cast<const BYTE*>(element.data()),
                                                    static_cast<DWORD>(element.size()), CERT_STORE_ADD_ALWAYS, 0, 0,
                                                    nullptr, &added));
        CertPtr cert(static_cast<PCCERT_CONTEXT>(added));
        DWORD size = 0;
        EXPECT_FALSE(CertGetCertificateContextProperty(cert.get(), CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size))
            << std::hex << table;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_BAD_ENCODE)) << std::hex << table;
    }
}
