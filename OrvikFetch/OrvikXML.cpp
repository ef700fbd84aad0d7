#include "OrvikXML.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string_view>

#include <orvik/CodePage.h>

namespace {

// A real list's paths come to a few times its size.
constexpr size_t kMaxPathBytes = 16 * OrvikXML::kMaxFileSize;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
    return s;
}

std::string_view tagName(std::string_view tag) {
    size_t end = 0;
    while (end < tag.size() && !isBlank(tag[end])) ++end;
    return tag.substr(0, end);
}

// At most `limit` + 1 bytes, so that an oversized file is known without reading all of it.
std::string readLimited(const std::string& path, size_t limit) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!f) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    std::string bytes;
    char buf[65536];
    while (bytes.size() <= limit) {
        size_t n = std::fread(buf, 1, sizeof buf, f.get());
        bytes.append(buf, n);
        if (n < sizeof buf) break;
    }
    if (std::ferror(f.get())) throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
    return bytes;
}

bool namesGb2312(std::string_view declaration) {
    static constexpr std::string_view kName = "gb2312";
    for (size_t i = 0; i + kName.size() <= declaration.size(); ++i) {
        size_t k = 0;
        while (k < kName.size() && std::tolower(static_cast<unsigned char>(declaration[i + k])) == kName[k]) ++k;
        if (k == kName.size()) return true;
    }
    return false;
}

}  // namespace

OrvikXML::~OrvikXML() = default;

int OrvikXML::ReadXML(std::string path) {
    entries.clear();
    firstByPath.clear();
    failure = Failure::None;

    std::string raw = readLimited(path, kMaxFileSize);
    if (raw.size() > kMaxFileSize) {
        failure = Failure::Malformed;
        return 108;
    }
    // "?>" may be looked for in the raw bytes: no byte of it can be a GBK trail byte (0x40 up).
    size_t declEnd = raw.find("?>");
    if (declEnd == std::string::npos || !namesGb2312(std::string_view(raw).substr(0, declEnd))) {
        failure = Failure::NotGb2312;
        return 108;
    }
    // All at once and before any search for "<", ">" or "\": GBK trail bytes include them.
    std::string text;
    if (!orvik::cp936ToUtf8(raw, text)) {
        failure = Failure::Malformed;
        return 108;
    }
    if (!parse(text, text.find("?>") + 2)) {
        entries.clear();
        firstByPath.clear();
        failure = Failure::Malformed;
        return 108;
    }
    return 100;
}

// One pass with the open elements on a stack. An element's value is its own text with its
// children taken out, so a container whose own text is blank gives no entry, and a leaf comes
// out when its end tag is met: document order of the leaves.
bool OrvikXML::parse(const std::string& text, size_t pos) {
    struct Open {
        std::string_view name;
        size_t parentPathLength;
        std::string ownText;
    };
    std::vector<Open> open;
    std::string path;
    size_t storedPathBytes = 0;

    while (true) {
        size_t lt = text.find('<', pos);
        if (!open.empty()) {
            open.back().ownText.append(text, pos, (lt == std::string::npos ? text.size() : lt) - pos);
        }
        if (lt == std::string::npos) break;
        std::string_view rest = std::string_view(text).substr(lt);
        if (rest.starts_with("<!--")) {
            size_t end = text.find("-->", lt + 4);
            if (end == std::string::npos) return false;
            pos = end + 3;
            continue;
        }
        if (rest.starts_with("<?")) {
            size_t end = text.find("?>", lt + 2);
            if (end == std::string::npos) return false;
            pos = end + 2;
            continue;
        }
        size_t gt = text.find('>', lt + 1);
        if (gt == std::string::npos) return false;
        std::string_view tag = std::string_view(text).substr(lt + 1, gt - lt - 1);
        pos = gt + 1;

        if (tag.starts_with('/')) {
            // A stray or crossed end tag leaves nothing sensible to read on from.
            if (open.empty() || trim(tag.substr(1)) != open.back().name) return false;
            std::string_view value = trim(open.back().ownText);
            if (!value.empty()) {
                // Every entry holds its whole path: without a bound, deep or long tags over many
                // leaves would grow far past the document.
                storedPathBytes += path.size();
                if (storedPathBytes > kMaxPathBytes) return false;
                firstByPath.try_emplace(path, entries.size());
                entries.emplace_back(path, std::string(value));
            }
            path.resize(open.back().parentPathLength);
            open.pop_back();
        } else if (tag.ends_with('/')) {
            // An empty element: nothing to store.
        } else {
            std::string_view name = tagName(tag);
            if (name.empty()) return false;
            size_t parentLength = path.size();
            if (!path.empty()) path += '\\';
            path += tag;
            open.push_back({name, parentLength, {}});
        }
    }
    return open.empty();
}

std::string OrvikXML::GetElementValue(std::string path) const {
    auto it = firstByPath.find(path);
    return it == firstByPath.end() ? std::string() : entries[it->second].second;
}

std::string OrvikXML::GetElementPath(int index) const {
    if (index < 0 || static_cast<size_t>(index) >= entries.size()) return std::string();
    return entries[static_cast<size_t>(index)].first;
}
