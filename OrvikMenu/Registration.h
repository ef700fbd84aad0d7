// The file managers' own files that show the submenu: Dolphin service menus, a Nautilus
// extension, Nemo actions and Thunar custom actions, all calling `orvikmenu`. Registering writes
// them into the user's folders; a registration that fails halfway removes what it wrote.
#pragma once

#include <string>
#include <vector>

#include "OrvikMenuApi.h"

namespace orvikmenu {

// orvikmenu under this name (a link beside it) exits 0 for one local file that gets the file
// commands: Nemo's actions cannot exclude a type, only run a condition program on the selection.
inline constexpr const char* kPlainFileCheck = "orvikmenu-plain-file";

struct ORVIKMENU_API Folders {
    std::string data;    // $XDG_DATA_HOME, else ~/.local/share
    std::string config;  // $XDG_CONFIG_HOME, else ~/.config
    static Folders ofUser();
};

struct GeneratedFile {
    std::string path;  // below Folders::data or Folders::config
    std::string text;
    bool executable;
};

// The files for a helper program at `helper` (an absolute path), in the order they are written.
// Thunar's uca.xml is not among them: it is merged.
ORVIKMENU_API std::vector<GeneratedFile> generatedFiles(const Folders& folders, const std::string& helper);

// uca.xml with our actions in place of any earlier ones of ours; the user's own stay as they are.
ORVIKMENU_API std::string mergedThunarActions(const std::string& existing, const std::string& helper);
// uca.xml without our actions.
ORVIKMENU_API std::string withoutThunarActions(const std::string& existing);

// Empty on success, else what failed (everything written is then removed again).
ORVIKMENU_API std::string registerMenus(const Folders& folders, const std::string& helper);
// Removes our files and our Thunar actions, nothing else; empty on success.
ORVIKMENU_API std::string unregisterMenus(const Folders& folders);

}  // namespace orvikmenu
