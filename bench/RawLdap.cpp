#include "RawLdap.h"

#include <ldap.h>

namespace bench {

size_t rawSearches(const std::string& host, const std::string& base, const std::vector<std::string>& emails) {
    size_t found = 0;
    LDAP* ld = nullptr;
    ldap_initialize(&ld, ("ldap://" + host).c_str());
    int version = LDAP_VERSION3;
    ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
    berval none{0, nullptr};
    ldap_sasl_bind_s(ld, "", LDAP_SASL_SIMPLE, &none, nullptr, nullptr, nullptr);
    for (const std::string& email : emails) {
        std::string filter = "(mail=*" + email + "*)";
        LDAPMessage* result = nullptr;
        ldap_search_ext_s(ld, base.c_str(), LDAP_SCOPE_SUBTREE, filter.c_str(), nullptr, 0, nullptr, nullptr, nullptr,
                          200, &result);
        for (LDAPMessage* e = ldap_first_entry(ld, result); e; e = ldap_next_entry(ld, e)) {
            berval** values = ldap_get_values_len(ld, e, "userCertificate;binary");
            found += static_cast<size_t>(ldap_count_values_len(values));
            ldap_value_free_len(values);
        }
        ldap_msgfree(result);
    }
    ldap_unbind_ext_s(ld, nullptr, nullptr);
    return found;
}

}  // namespace bench
