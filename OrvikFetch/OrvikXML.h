// The reader of the update's XML files: every non-empty leaf as (path, text), in document order.
// A path is the start tags from the root down, each as written between "<" and ">" (attributes
// included), joined by backslashes: Orvikon\OrvikDesk\UpdateFileList\File id="1"\FileName.
#pragma once

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "UpdateApi.h"

class ORVIKUPDATE_API OrvikXML {
public:
    // Why the last ReadXML gave 108: the two are told apart because only a broken list is
    // worth a word to the user.
    enum class Failure { None, NotGb2312, Malformed };

    OrvikXML() = default;
    OrvikXML(const OrvikXML& other) = default;
    OrvikXML& operator=(const OrvikXML& other) = default;
    virtual ~OrvikXML();

    // 100 when read; 108 when the declaration does not name gb2312, the file is over 1 MiB, its
    // bytes are not code page 936, or its elements do not nest. Throws std::runtime_error when
    // the file cannot be read. Values and paths are UTF-8.
    int ReadXML(std::string path);
    Failure GetFailure() const { return failure; }

    // The value of the first leaf with exactly this path; empty when there is none.
    std::string GetElementValue(std::string path) const;
    int GetElementCount() const { return static_cast<int>(entries.size()); }
    // Empty when `index` is out of range.
    std::string GetElementPath(int index) const;

    // Largest file read, in bytes.
    static constexpr size_t kMaxFileSize = size_t{1} << 20;

private:
    bool parse(const std::string& text, size_t pos);

    std::vector<std::pair<std::string, std::string>> entries;
    std::unordered_map<std::string, size_t> firstByPath;
    Failure failure = Failure::None;
};
