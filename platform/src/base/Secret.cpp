#include <orvik/Secret.h>

#include <openssl/crypto.h>

namespace orvik {

void wipeMemory(void* p, size_t size) {
    if (p && size) OPENSSL_cleanse(p, size);
}

}  // namespace orvik
