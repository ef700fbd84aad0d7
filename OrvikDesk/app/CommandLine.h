// What a start of the assistant was asked to do, from its argument vector.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace orvikdesk {

enum class LaunchAction { Window, Encrypt, EncryptAndMail, Decrypt, Properties, Configure };

struct Launch {
    LaunchAction action = LaunchAction::Window;
    std::string path;  // the file the workflow works on; empty for the window and for "/C"
};

// args are the arguments after the program name. A switch is args[0] being exactly "/E", "/M",
// "/D", "/P" or "/C", and then args[1] is the path as it stands. One argument that begins with a
// switch and is not an existing file is the glued form ("/E/home/a.txt"); an existing file, and
// anything else, is a path to decrypt. Glued and joined forms (several arguments, joined with single
// blanks) are trimmed as trimPath does. isFile says whether a path names an existing file.
Launch parseCommandLine(const std::vector<std::string>& args, const std::function<bool(const std::string&)>& isFile);

// Leading blanks, then leading double quotes, then trailing double quotes removed; trailing blanks stay.
std::string trimPath(const std::string& text);

// True for a regular file (or a link to one) that exists.
bool isExistingFile(const std::string& path);

}  // namespace orvikdesk
