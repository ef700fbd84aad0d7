// The PIN question, answered by the handler the program installed.
#pragma once

#include <string>

#include <orvik/Tokens.h>

namespace orvik::token {

// False when no handler is installed or the user declines.
bool askPin(const PinRequest& request, std::string& pin);

}  // namespace orvik::token
