#include "CaCertStore.h"

CCaCertStore::~CCaCertStore() = default;

int CCaCertStore::OpenCertStore() { return OpenSystemStore("CA", __FILE__); }

int CCaCertStore::ImportCert(const char* path) { return ImportCertFile("CA", path, __FILE__); }
