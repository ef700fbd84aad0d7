// The assistant's submenu in the file managers: which items a selection gets, and the argument
// vector each item starts the assistant with. Every file-manager integration is made from this.
#pragma once

#include <string>
#include <vector>

#include "OrvikMenuApi.h"

namespace orvikmenu {

inline constexpr const char* kSubmenu = "Orvik数字证书助手";

struct MenuItem {
    int offset;               // 0, 1, 2: the position in the submenu
    const char* id;           // stable name for the integrations' files
    const char* plainText;    // for a file that is not a secure file
    const char* secureText;   // for a secure file
    const char* plainSwitch;  // the assistant's switch
    const char* secureSwitch;
    bool takesPath;
};

// The three items, in submenu order.
ORVIKMENU_API const std::vector<MenuItem>& menuItems();

// A name ending in ".ovk", in any case.
ORVIKMENU_API bool isSecureFile(const std::string& path);

// The texts offered for a selection: none unless it is exactly one local file that is not a folder.
ORVIKMENU_API std::vector<std::string> itemTexts(const std::vector<std::string>& selection);

// [program, switch, path] (no path for "/C"); the path passes exactly as given. Empty for an
// offset that names no item.
ORVIKMENU_API std::vector<std::string> commandFor(int offset, const std::string& path, const std::string& program);

}  // namespace orvikmenu
