// A Thunderbird profile's prefs.js: the user_pref lines read as keys and values, and written
// back with only the changed lines touched, through a temporary file and a rename.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "OrvikCryptApi.h"

class ORVIKCRYPT_API CThunderbirdPrefs {
public:
    // 0; 3 when the file cannot be read (a missing file is an empty one).
    int Load(const std::string& path);
    // 0; 3 when the file cannot be written (it is then as it was).
    int Save();

    // The value of a string preference; nothing when it is missing or not a string.
    std::optional<std::string> Get(const std::string& key) const;
    // Replaces the key's line in place, or appends one at the end.
    void Set(const std::string& key, const std::string& value);
    // Keys that start with the prefix, in file order.
    std::vector<std::string> KeysWithPrefix(const std::string& prefix) const;

    // A JavaScript string literal of the text, and back; nothing for a line that is no string pref.
    static std::string Quote(const std::string& text);
    struct Pref {
        std::string key;
        std::optional<std::string> text;  // the value when it is a string
    };
    static std::optional<Pref> ParseLine(const std::string& line);

private:
    std::string path_;
    std::vector<std::string> lines_;
    bool endsWithNewline_ = true;
};
