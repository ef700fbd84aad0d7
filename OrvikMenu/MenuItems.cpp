#include "MenuItems.h"

#include <sys/stat.h>

namespace orvikmenu {

const std::vector<MenuItem>& menuItems() {
    static const std::vector<MenuItem> items = {
        {0, "encrypt", "文件加密...", "文件解密...", "/E", "/D", true},
        {1, "mail", "加密并发送...", "安全文件属性", "/M", "/P", true},
        {2, "configure", "配置", "配置", "/C", "/C", false},
    };
    return items;
}

bool isSecureFile(const std::string& path) {
    if (path.size() < 4) return false;
    std::string tail = path.substr(path.size() - 4);
    for (char& c : tail)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return tail == ".ovk";
}

std::vector<std::string> itemTexts(const std::vector<std::string>& selection) {
    std::vector<std::string> texts;
    if (selection.size() != 1) return texts;
    struct stat st {};
    if (stat(selection[0].c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return texts;
    const bool secure = isSecureFile(selection[0]);
    for (const MenuItem& item : menuItems()) texts.push_back(secure ? item.secureText : item.plainText);
    return texts;
}

std::vector<std::string> commandFor(int offset, const std::string& path, const std::string& program) {
    for (const MenuItem& item : menuItems()) {
        if (item.offset != offset) continue;
        std::vector<std::string> argv = {program, isSecureFile(path) ? item.secureSwitch : item.plainSwitch};
        if (item.takesPath) argv.push_back(path);
        return argv;
    }
    return {};
}

}  // namespace orvikmenu
