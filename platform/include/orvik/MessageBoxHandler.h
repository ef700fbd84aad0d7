// Where MessageBoxA goes. A program installs its own handler (the GUI shows a dialog, tests record
// and answer); with none installed the text goes to standard error and the default button is the
// answer, as if the user had pressed Enter.
#pragma once

#include <functional>

#include "../windef.h"

namespace orvik {

using MessageBoxHandler = std::function<int(HWND owner, const char* text, const char* caption, UINT type)>;

// Installs the handler for the whole process and returns the one it replaces; an empty handler
// restores the default.
ORVIK_PLATFORM_API MessageBoxHandler setMessageBoxHandler(MessageBoxHandler handler);

// The button a user who pressed Enter would have chosen for this type of box.
ORVIK_PLATFORM_API int defaultMessageBoxAnswer(UINT type);

}  // namespace orvik
