// What a secure file says of itself, read without decrypting it: the six fields of its property
// page, as texts. A file that is none says "文件格式错误!" in its type.
#pragma once

#include <string>
#include <vector>

#include "OrvikMenuApi.h"

namespace orvikmenu {

struct SecureFileSummary {
    std::string type, extension, size, algorithm, protection;
    std::vector<std::string> recipients;  // as shown: the last record first
};

ORVIKMENU_API SecureFileSummary summarize(const std::string& path);

}  // namespace orvikmenu
