#include "CaCertStore.h"

CCaCertStore::~CCaCertStore() = default;

int CCaCertStore::OpenCertStore() { return OpenSystemStore("CA", __FILE__); }

CCaCertStore::Code CCaCertStore::ImportCert(const char* path) {
    return static_cast<Code>(ImportCertFile("CA", path, __FILE__));
}
