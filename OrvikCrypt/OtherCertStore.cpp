#include "OtherCertStore.h"

COtherCertStore::~COtherCertStore() = default;

int COtherCertStore::OpenCertStore() { return OpenSystemStore("ADDRESSBOOK", __FILE__); }

COtherCertStore::Code COtherCertStore::ImportCert(const char* path) {
    return static_cast<Code>(ImportCertFile("ADDRESSBOOK", path, __FILE__));
}

COtherCertStore::Code COtherCertStore::ImportCert(CDigitalCertificate* certificate) {
    if (!certificate || !certificate->getPCCERT()) return NothingDone;
    return static_cast<Code>(AddToSystemStore("ADDRESSBOOK", certificate->getPCCERT(), __FILE__));
}
