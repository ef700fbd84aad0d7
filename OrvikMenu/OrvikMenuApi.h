// Export macro of the context-menu library.
#pragma once

#if defined(ORVIKMENU_BUILD)
#define ORVIKMENU_API __attribute__((visibility("default")))
#else
#define ORVIKMENU_API
#endif
