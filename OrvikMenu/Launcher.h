// Starting the assistant for a menu item: the program found through the profile's "InstallDir"
// or, without one, beside this program; started detached, with an argument vector.
#pragma once

#include <string>
#include <vector>

#include "OrvikMenuApi.h"

namespace orvikmenu {

// The assistant program to start; empty when none can be found (nothing is then started).
ORVIKMENU_API std::string assistantProgram();

// Starts argv[0] with argv, not waiting for it; false when it could not be started.
ORVIKMENU_API bool startDetached(const std::vector<std::string>& argv);

}  // namespace orvikmenu
