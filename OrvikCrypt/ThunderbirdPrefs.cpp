#include "ThunderbirdPrefs.h"

#include <sys/stat.h>

#include <cerrno>
#include <fstream>
#include <iterator>

#include "Pkcs12Archive.h"

namespace {

void skipBlanks(const std::string& s, size_t& i) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
}

// A string literal at s[i] ('"' or '\''), unescaped; i ends after its closing quote.
std::optional<std::string> readString(const std::string& s, size_t& i) {
    if (i >= s.size() || (s[i] != '"' && s[i] != '\'')) return std::nullopt;
    const char quote = s[i++];
    std::string out;
    while (i < s.size() && s[i] != quote) {
        char c = s[i++];
        if (c != '\\') {
            out += c;
            continue;
        }
        if (i >= s.size()) return std::nullopt;
        char e = s[i++];
        switch (e) {
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'r': out += '\r'; break;
        default: out += e; break;  // \" \\ \' and anything else as itself
        }
    }
    if (i >= s.size()) return std::nullopt;
    ++i;
    return out;
}

}  // namespace

std::string CThunderbirdPrefs::Quote(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        default: out += c; break;
        }
    }
    return out + "\"";
}

std::optional<CThunderbirdPrefs::Pref> CThunderbirdPrefs::ParseLine(const std::string& line) {
    size_t i = 0;
    skipBlanks(line, i);
    static const std::string kStart = "user_pref(";
    if (line.compare(i, kStart.size(), kStart) != 0) return std::nullopt;
    i += kStart.size();
    skipBlanks(line, i);
    std::optional<std::string> key = readString(line, i);
    if (!key) return std::nullopt;
    skipBlanks(line, i);
    if (i >= line.size() || line[i] != ',') return std::nullopt;
    ++i;
    skipBlanks(line, i);
    Pref pref{*key, std::nullopt};
    if (i < line.size() && (line[i] == '"' || line[i] == '\'')) pref.text = readString(line, i);
    return pref;
}

int CThunderbirdPrefs::Load(const std::string& path) {
    path_ = path;
    lines_.clear();
    // Thunderbird writes one when it first runs: none means no preferences, but a file that is
    // there and cannot be read must not be replaced by an empty one.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return errno == ENOENT ? 0 : 3;
    if (!S_ISREG(st.st_mode)) return 3;
    std::ifstream in(path, std::ios::binary);
    if (!in) return 3;
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad() || (st.st_size > 0 && text.empty())) return 3;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines_.push_back(text.substr(start));
            endsWithNewline_ = false;
            return 0;
        }
        lines_.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    endsWithNewline_ = true;
    return 0;
}

std::optional<std::string> CThunderbirdPrefs::Get(const std::string& key) const {
    std::optional<std::string> value;
    // The last line for a key wins, as when Thunderbird reads the file.
    for (const std::string& line : lines_)
        if (auto pref = ParseLine(line); pref && pref->key == key) value = pref->text;
    return value;
}

void CThunderbirdPrefs::Set(const std::string& key, const std::string& value) {
    const std::string line = "user_pref(" + Quote(key) + ", " + Quote(value) + ");";
    bool replaced = false;
    for (auto it = lines_.begin(); it != lines_.end();) {
        auto pref = ParseLine(*it);
        if (!pref || pref->key != key) {
            ++it;
            continue;
        }
        if (replaced) {
            it = lines_.erase(it);  // a second line for the key would win over the new value
            continue;
        }
        // A line ending in CR keeps it.
        *it = !it->empty() && it->back() == '\r' ? line + "\r" : line;
        replaced = true;
        ++it;
    }
    if (!replaced) {
        if (!endsWithNewline_ && !lines_.empty()) endsWithNewline_ = true;
        lines_.push_back(line);
    }
}

std::vector<std::string> CThunderbirdPrefs::KeysWithPrefix(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const std::string& line : lines_)
        if (auto pref = ParseLine(line); pref && pref->key.compare(0, prefix.size(), prefix) == 0)
            out.push_back(pref->key);
    return out;
}

int CThunderbirdPrefs::Save() {
    std::string text;
    for (size_t i = 0; i < lines_.size(); ++i) {
        text += lines_[i];
        if (i + 1 < lines_.size() || endsWithNewline_) text += '\n';
    }
    return orvik::crypt::replaceFile(path_, text) ? 0 : 3;
}
