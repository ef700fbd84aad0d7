// Points the system at test servers: deployment values in HKLM of the current ORVIK_HOME.
#pragma once

#include <string>

namespace orvik::test {

// A REG_SZ under HKLM\Software\Orvikon\Deployment; throws std::runtime_error when it cannot be written.
void setDeploymentValue(const std::string& name, const std::string& value);

}  // namespace orvik::test
