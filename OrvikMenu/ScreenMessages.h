// orvikmenu runs from a file manager with no terminal to read: its message boxes are dialogs on
// the user's screen whenever there is one.
#pragma once

namespace orvikmenu {

// A display the process may use: X11, Wayland, or a Qt platform named explicitly.
bool haveScreen();

// Routes MessageBoxA to a Qt dialog (made with the process's QApplication, or one made for it).
void showMessagesOnScreen();

}  // namespace orvikmenu
