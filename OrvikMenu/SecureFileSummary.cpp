#include "SecureFileSummary.h"

#include <cstdint>
#include <cstring>
#include <fstream>

#include <orvik/CodePage.h>

namespace orvikmenu {

namespace {

constexpr size_t kTag = 16, kHeader = 648, kRecord = 1688;
constexpr size_t kExtension = 1, kSize = 260, kAlgorithm = 520, kRecordName = 20;

std::string textAt(const std::string& block, size_t at, size_t limit) {
    size_t end = block.find('\0', at);
    if (end == std::string::npos || end > limit) end = limit;
    return orvik::fromCp936(block.substr(at, end - at));  // the file's texts are in code page 936
}

}  // namespace

SecureFileSummary summarize(const std::string& path) {
    SecureFileSummary s;
    std::ifstream in(path, std::ios::binary);
    std::string tag(kTag, '\0');
    if (!in || !in.read(tag.data(), kTag)) {
        s.type = "文件格式错误!";
        return s;
    }
    tag = tag.c_str();
    if (tag == "OrvikFileType=1;") {
        s.type = "加密文件(Version 1.0)";
        s.algorithm = "RSA-3DES";
        s.protection = "未设置密码保护";
        return s;
    }
    std::string header(kHeader, '\0');
    std::vector<std::string> records;
    if (in.read(header.data(), kHeader)) {
        std::string block(kRecord, '\0');
        while (in.read(block.data(), kRecord) && block.compare(0, 14, "OrvikEncStruct") == 0) records.push_back(block);
    }
    if (records.empty()) {
        s.type = "文件格式错误!";
        return s;
    }
    if (tag != "OrvikFileType=2;") return s;  // records behind a foreign tag: nothing to say
    s.type = "加密文件(Version 2.0)";
    s.extension = textAt(header, kExtension, kSize);
    int32_t size = 0;
    std::memcpy(&size, header.data() + kSize, 4);  // little-endian, as every machine it runs on
    s.size = std::to_string(size) + " Byte";
    s.algorithm = "RSA-" + textAt(header, kAlgorithm, kHeader);
    s.protection = header[0] == '1' ? "已设置密码保护" : "未设置密码保护";
    for (auto it = records.rbegin(); it != records.rend(); ++it) s.recipients.push_back(textAt(*it, kRecordName, 276));
    return s;
}

}  // namespace orvikmenu
