// The texts a certificate list shows for each row, read from an open store; the sum of their
// lengths keeps the work from being optimised away.
#pragma once

#include <CertStore.h>
#include <cstddef>
#include <string>

namespace bench {

inline size_t readRowTexts(CCertStore& store) {
    size_t checksum = 0;
    for (int i = 0; i < store.GetCertCount(); ++i) {
        CDigitalCertificate* c = store.getCert(i);
        std::string name, issuer, until, friendly;
        c->getDisplayName(name);
        c->getIssuerCN(issuer);
        c->getValidToDate(until);
        c->getFriendlyName(friendly);
        checksum += name.size() + issuer.size() + until.size() + friendly.size();
    }
    return checksum;
}

}  // namespace bench
