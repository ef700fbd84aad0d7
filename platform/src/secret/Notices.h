// What the key containers tell the user and the log about the Secret Service.
#pragma once

#include <string>

namespace orvik::secret {

// One line to the platform's log.
void logLine(const std::string& line);

// Logs, once per process, that keys stay plain files for want of a Secret Service.
void noteKeysStayPlain();

// A message box for the user: the keyring keeps a key from being used or saved.
void tellUser(const char* text);

}  // namespace orvik::secret
