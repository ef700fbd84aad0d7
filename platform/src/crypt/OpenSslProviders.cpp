#include <openssl/provider.h>

#include <mutex>

#include <orvik/OpenSslProviders.h>

namespace orvik {

bool loadOpenSslProviders() {
    static std::once_flag once;
    // Kept for the life of the process: they serve it until it ends.
    static OSSL_PROVIDER* loaded[2] = {nullptr, nullptr};
    std::call_once(once, [] {
        loaded[0] = OSSL_PROVIDER_load(nullptr, "default");
        loaded[1] = OSSL_PROVIDER_load(nullptr, "legacy");
    });
    return loaded[1] != nullptr;
}

}  // namespace orvik
