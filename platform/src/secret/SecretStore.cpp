#include "SecretStore.h"

#include <libsecret/secret.h>
#include <sys/stat.h>

#include <cstdlib>

#include <algorithm>
#include <vector>

namespace orvik::secret {

namespace {

const char kAttribute[] = "key-id";
const char kContentType[] = "application/octet-stream";

const SecretSchema* schema() {
    static const SecretSchema s = [] {
        SecretSchema v{};
        v.name = "org.orvikon.KeyContainers";
        v.flags = SECRET_SCHEMA_NONE;
        v.attributes[0] = {kAttribute, SECRET_SCHEMA_ATTRIBUTE_STRING};
        return v;
    }();
    return &s;
}

struct ErrorRef {
    GError* error = nullptr;
    ~ErrorRef() {
        if (error) g_error_free(error);
    }
    const char* text() const { return error && error->message ? error->message : "no reason given"; }
};

template <class T>
struct ObjectRef {
    T* p = nullptr;
    ~ObjectRef() {
        if (p) g_object_unref(p);
    }
};

struct AttributesRef {
    GHashTable* p = nullptr;
    ~AttributesRef() {
        if (p) g_hash_table_unref(p);
    }
};

struct ItemsRef {
    GList* p = nullptr;
    ~ItemsRef() { g_list_free_full(p, g_object_unref); }
};

struct ValueRef {
    SecretValue* p = nullptr;
    ~ValueRef() {
        if (p) secret_value_unref(p);
    }
};

// Without a bus named by the session, GLib would start one of its own (dbus-launch) that outlives
// the program; a session without a bus has no keyring.
bool sessionHasBus() {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address && *address) return true;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat st {};
    return runtime && *runtime && ::stat((std::string(runtime) + "/bus").c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// A service that cannot be reached at all counts as none: the session has no keyring. One that
// answers late or wrongly is there and failing, and must not be taken for absent.
Outcome openFailure(const GError* error) {
    if (!error) return Outcome::Failed;
    if (error->domain == G_SPAWN_ERROR) return Outcome::Absent;
    if (error->domain == G_IO_ERROR) return error->code == G_IO_ERROR_TIMED_OUT ? Outcome::Failed : Outcome::Absent;
    if (error->domain == G_DBUS_ERROR) {
        switch (error->code) {
        case G_DBUS_ERROR_SERVICE_UNKNOWN:
        case G_DBUS_ERROR_NAME_HAS_NO_OWNER:
        case G_DBUS_ERROR_SPAWN_EXEC_FAILED:
        case G_DBUS_ERROR_SPAWN_FORK_FAILED:
        case G_DBUS_ERROR_SPAWN_CHILD_EXITED:
        case G_DBUS_ERROR_SPAWN_CHILD_SIGNALED:
        case G_DBUS_ERROR_SPAWN_FAILED:
        case G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND:
        case G_DBUS_ERROR_SPAWN_SERVICE_INVALID:
        case G_DBUS_ERROR_SPAWN_FILE_INVALID:
        case G_DBUS_ERROR_SPAWN_NO_MEMORY: return Outcome::Absent;
        default: break;
        }
    }
    return Outcome::Failed;
}

class LibsecretStore : public SecretStore {
public:
    Outcome find(const std::string& id, bool unlock, SealingKey* key, std::string& detail) override {
        ObjectRef<SecretService> service;
        if (Outcome o = open(service, detail); o != Outcome::Ok) return o;
        AttributesRef attributes{id.empty() ? secret_attributes_build(schema(), nullptr)
                                            : secret_attributes_build(schema(), kAttribute, id.c_str(), nullptr)};
        int flags = SECRET_SEARCH_ALL;
        if (unlock) flags |= SECRET_SEARCH_UNLOCK;
        if (key) flags |= SECRET_SEARCH_LOAD_SECRETS;
        ErrorRef error;
        ItemsRef items{secret_service_search_sync(service.p, schema(), attributes.p,
                                                  static_cast<SecretSearchFlags>(flags), nullptr, &error.error)};
        if (error.error) return failed("searching the keyring", error, detail);
        // Only asking whether a key could be had: a locked default collection would keep a new one
        // out as surely as an existing one.
        if (!items.p) return !unlock && !key && defaultLocked(service.p) ? Outcome::Locked : Outcome::NotFound;
        // Two first uses at once may each have added a key; every container opens with its own,
        // and the least id seals from then on, the same in every process.
        SecretItem* chosen = nullptr;
        std::string chosenId;
        bool locked = false;
        for (GList* l = items.p; l; l = l->next) {
            auto* item = static_cast<SecretItem*>(l->data);
            if (secret_item_get_locked(item)) {
                locked = true;
                continue;
            }
            AttributesRef found{secret_item_get_attributes(item)};
            const char* itemId = static_cast<const char*>(g_hash_table_lookup(found.p, kAttribute));
            if (!itemId || !*itemId) continue;
            if (!chosen || itemId < chosenId) {
                chosen = item;
                chosenId = itemId;
            }
        }
        if (!chosen) return locked ? Outcome::Locked : Outcome::NotFound;
        if (!key) return Outcome::Ok;
        ValueRef value{secret_item_get_secret(chosen)};
        gsize length = 0;
        const gchar* bytes = value.p ? secret_value_get(value.p, &length) : nullptr;
        if (!bytes || length == 0) {
            detail = "the keyring returned no secret";
            return Outcome::Failed;
        }
        key->id = chosenId;
        key->bytes.assign(reinterpret_cast<const unsigned char*>(bytes),
                          reinterpret_cast<const unsigned char*>(bytes) + length);
        return Outcome::Ok;
    }

    Outcome add(const SealingKey& key, std::string& detail) override {
        ObjectRef<SecretService> service;
        if (Outcome o = open(service, detail); o != Outcome::Ok) return o;
        AttributesRef attributes{secret_attributes_build(schema(), kAttribute, key.id.c_str(), nullptr)};
        ValueRef value{secret_value_new(reinterpret_cast<const gchar*>(key.bytes.data()),
                                        static_cast<gssize>(key.bytes.size()), kContentType)};
        for (int attempt = 0;; ++attempt) {
            ErrorRef error;
            if (secret_service_store_sync(service.p, schema(), attributes.p, SECRET_COLLECTION_DEFAULT,
                                          "Orvik 私钥容器密钥", value.p, nullptr, &error.error))
                return Outcome::Ok;
            const bool locked = !error.error || g_error_matches(error.error, SECRET_ERROR, SECRET_ERROR_IS_LOCKED);
            if (!locked) return failed("storing in the keyring", error, detail);
            // A locked default collection is unlocked the service's way, once; a user who
            // declines leaves it locked.
            if (attempt > 0 || !unlockDefault(service.p)) return Outcome::Locked;
        }
    }

private:
    static Outcome open(ObjectRef<SecretService>& service, std::string& detail) {
        if (!sessionHasBus()) {
            detail = "the session has no message bus";
            return Outcome::Absent;
        }
        ErrorRef error;
        // A service of its own each time: one cached for the process would keep talking to a bus
        // that has gone and never see one that came.
        service.p =
            secret_service_open_sync(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_OPEN_SESSION, nullptr, &error.error);
        if (service.p) return Outcome::Ok;
        detail = error.text();
        return openFailure(error.error);
    }

    static Outcome failed(const char* doing, const ErrorRef& error, std::string& detail) {
        detail = std::string(doing) + ": " + error.text();
        if (g_error_matches(error.error, SECRET_ERROR, SECRET_ERROR_IS_LOCKED)) return Outcome::Locked;
        return Outcome::Failed;
    }

    static void defaultCollection(SecretService* service, ObjectRef<SecretCollection>& collection) {
        ErrorRef error;
        collection.p = secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE,
                                                        nullptr, &error.error);
    }

    static bool defaultLocked(SecretService* service) {
        ObjectRef<SecretCollection> collection;
        defaultCollection(service, collection);
        return collection.p && secret_collection_get_locked(collection.p);
    }

    static bool unlockDefault(SecretService* service) {
        ObjectRef<SecretCollection> collection;
        defaultCollection(service, collection);
        if (!collection.p || !secret_collection_get_locked(collection.p)) return false;
        GList one{collection.p, nullptr, nullptr};
        return secret_service_unlock_sync(service, &one, nullptr, nullptr, nullptr) > 0;
    }
};

}  // namespace

SecretStore& secretStore() {
    static LibsecretStore store;
    return store;
}

}  // namespace orvik::secret
