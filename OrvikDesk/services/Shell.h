// Opening documents and addresses with the desktop's programs.
#pragma once

#include <string>

class QWidget;

namespace orvikdesk::shell {

// Opens a file with its associated program; tells the user when there is none. False on failure.
bool openDocument(const std::string& path, QWidget* owner = nullptr);
// Opens an http, https or mailto address; false (nothing opened) for any other scheme or on failure.
bool openAddress(const std::string& url, int* code = nullptr);

}  // namespace orvikdesk::shell
