// Path and text helpers of the dialogs. Paths use "/"; comparisons are UTF-8 aware.
#pragma once

#include <string>

namespace orvikdesk::pathtext {

// The path as it is when it already ends in suffix (any case), else with suffix appended.
std::string ensureSuffix(const std::string& path, const std::string& suffix);
// From the last "." of the file name to the end, dot included; empty without one.
std::string extension(const std::string& path);
// The path without its extension.
std::string stripExtension(const std::string& path);
// Without leading and trailing white space.
std::string trim(const std::string& text);

}  // namespace orvikdesk::pathtext
