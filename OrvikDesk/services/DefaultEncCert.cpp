#include "services/DefaultEncCert.h"

#include "MyCertStore.h"
#include "app/Profile.h"

namespace orvikdesk::defaultcert {

std::unique_ptr<CDigitalCertificate> load() {
    std::string thumbprint = profile::read(kSection, kEntry);
    if (thumbprint.find_first_not_of(' ') == std::string::npos) return nullptr;
    CMyCertStore store;
    if (store.OpenCertStore() != 0) return nullptr;
    CDigitalCertificate* found = store.FindByThumb(thumbprint);
    return found ? std::make_unique<CDigitalCertificate>(*found) : nullptr;
}

bool store(CDigitalCertificate* certificate) {
    std::string thumbprint;
    if (certificate && certificate->getThumbPrint(thumbprint) != 0) return false;
    return profile::write(kSection, kEntry, thumbprint);
}

}  // namespace orvikdesk::defaultcert
