#include "app/CommandLine.h"

#include <sys/stat.h>

namespace orvikdesk {

namespace {

// In the order the switches are tried.
struct Switch {
    const char* text;
    LaunchAction action;
};
constexpr Switch kSwitches[] = {
    {"/E", LaunchAction::Encrypt},    {"/D", LaunchAction::Decrypt},        {"/C", LaunchAction::Configure},
    {"/P", LaunchAction::Properties}, {"/M", LaunchAction::EncryptAndMail},
};

const Switch* switchOf(const std::string& text) {
    for (const auto& s : kSwitches)
        if (text.compare(0, 2, s.text) == 0) return &s;
    return nullptr;
}

std::string joined(const std::vector<std::string>& args, size_t from) {
    std::string line;
    for (size_t i = from; i < args.size(); ++i) line += (i > from ? " " : "") + args[i];
    return line;
}

Launch launch(LaunchAction action, std::string path) {
    // The configuration dialog takes no file: anything after its switch is ignored.
    if (action == LaunchAction::Configure) path.clear();
    return {action, std::move(path)};
}

}  // namespace

std::string trimPath(const std::string& text) {
    size_t begin = text.find_first_not_of(' ');
    if (begin == std::string::npos) return {};
    while (begin < text.size() && text[begin] == '"') ++begin;
    size_t end = text.size();
    while (end > begin && text[end - 1] == '"') --end;
    return text.substr(begin, end - begin);
}

bool isExistingFile(const std::string& path) {
    struct stat st {};
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

Launch parseCommandLine(const std::vector<std::string>& args, const std::function<bool(const std::string&)>& isFile) {
    if (args.empty()) return {};
    const Switch* own = args[0].size() == 2 ? switchOf(args[0]) : nullptr;
    if (own) {
        if (args.size() == 1) return launch(own->action, {});
        if (args.size() == 2) return launch(own->action, args[1]);
        return launch(own->action, trimPath(joined(args, 1)));
    }
    const std::string line = joined(args, 0);
    if (args.size() == 1 && isFile(line)) return {LaunchAction::Decrypt, line};
    if (const Switch* glued = switchOf(line); glued && !isFile(line))
        return launch(glued->action, trimPath(line.substr(2)));
    return {LaunchAction::Decrypt, args.size() == 1 ? line : trimPath(line)};
}

}  // namespace orvikdesk
