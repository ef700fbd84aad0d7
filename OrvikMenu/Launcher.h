// Starting the assistant for a menu item: the program found through the profile's "InstallDir"
// or, without one, beside this program; started detached, with an argument vector.
#pragma once

#include <string>
#include <vector>

#include "OrvikMenuApi.h"

namespace orvikmenu {

// The assistant program to start; empty when none can be found (nothing is then started).
ORVIKMENU_API std::string assistantProgram();

// Starts argv[0] with argv, not waiting for it; false (errno set) when it could not be started.
ORVIKMENU_API bool startDetached(const std::vector<std::string>& argv);

// Which entry the user chose: one that fits the file's kind (the file manager told them apart),
// or one shown for files only or secure files only, where the file manager cannot tell them apart.
enum class Asked { Either, File, Secure };

// Starts the assistant for item `offset` (0, 1, 2) on `path`. Anything that keeps it from
// starting is told to the user in a message box (MessageBoxA); false then.
ORVIKMENU_API bool invoke(int offset, const std::string& path, Asked asked = Asked::Either);

inline constexpr const char* kCaption = "Orvik数字证书助手";

}  // namespace orvikmenu
