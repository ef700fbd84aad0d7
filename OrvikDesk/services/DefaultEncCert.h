// The user's default encryption certificate: the personal certificate whose thumbprint the
// profile keeps under "DefaultEncCert"/"CertHash". Every secure file is also encrypted for it.
#pragma once

#include <memory>
#include <string>

class CDigitalCertificate;

namespace orvikdesk::defaultcert {

inline constexpr const char* kSection = "DefaultEncCert";
inline constexpr const char* kEntry = "CertHash";

// An owned copy of the personal certificate the profile names (the stored text may have spaces
// and any case); null when none is set or it is no longer in the store.
std::unique_ptr<CDigitalCertificate> load();
// Stores the certificate's thumbprint text, or an empty text for null; false when the registry
// refused the write.
bool store(CDigitalCertificate* certificate);

}  // namespace orvikdesk::defaultcert
