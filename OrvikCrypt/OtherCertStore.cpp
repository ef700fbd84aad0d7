#include "OtherCertStore.h"

COtherCertStore::~COtherCertStore() = default;

int COtherCertStore::OpenCertStore() { return OpenSystemStore("ADDRESSBOOK", __FILE__); }

int COtherCertStore::ImportCert(const char* path) { return ImportCertFile("ADDRESSBOOK", path, __FILE__); }

int COtherCertStore::ImportCert(CDigitalCertificate* certificate) {
    if (!certificate || !certificate->getPCCERT()) return 1;
    return AddToSystemStore("ADDRESSBOOK", certificate->getPCCERT(), __FILE__);
}
