// The benchmarks' reference: searches made raw with libldap on one anonymously bound connection.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace bench {

// One subtree search per address ("(mail=*ADDRESS*)") under `base`; the certificate values found.
size_t rawSearches(const std::string& host, const std::string& base, const std::vector<std::string>& emails);

}  // namespace bench
