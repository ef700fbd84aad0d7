// Compound files for tests, made and read with libgsf, independently of the platform's own code:
// a tree of storages and streams is written to a file, and a file is read back into a tree that
// compares with the one that described it.
#pragma once

#include <array>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace orvik::test {

using CfbClassId = std::array<uint8_t, 16>;  // as the file stores it

struct CfbNode {
    std::string name;  // UTF-8; the root's is not stored (the file always calls it "Root Entry")
    bool storage = false;
    std::string bytes;   // a stream's contents
    CfbClassId clsid{};  // a storage's class id
    std::vector<CfbNode> children;

    // The element at a path of names separated by '/', compared exactly; null when there is none.
    const CfbNode* find(std::string_view path) const;
    CfbNode* find(std::string_view path);
};

// Trees are equal when their elements are, whatever the order of each storage's children; the
// root's name is not compared.
bool operator==(const CfbNode& a, const CfbNode& b);
// Names, kinds, sizes, class ids and a digest of the bytes, one element a line: for failure messages.
std::ostream& operator<<(std::ostream& out, const CfbNode& node);

CfbNode cfbRoot(std::vector<CfbNode> children, CfbClassId clsid = {});
CfbNode cfbStorage(std::string name, std::vector<CfbNode> children, CfbClassId clsid = {});
CfbNode cfbStream(std::string name, std::string bytes);

// Throw std::runtime_error when libgsf fails.
void writeCompoundFile(const std::string& path, const CfbNode& root);
CfbNode readCompoundFile(const std::string& path);

}  // namespace orvik::test
