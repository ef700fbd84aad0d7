#include "FoxmailFixture.h"

#include <FoxContact.h>
#include <orvik/CodePage.h>

#include "support/TempHome.h"

namespace orvik::test {

namespace {

std::string le32(uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(v >> (8 * i));
    return s;
}

CfbNode streamNode(const std::string& name, const std::string& bytes) {
    CfbNode n;
    n.name = name;
    n.storage = false;
    n.bytes = bytes;
    return n;
}

CfbNode storageNode(const std::string& name, std::vector<CfbNode> children) {
    CfbNode n;
    n.name = name;
    n.storage = true;
    n.children = std::move(children);
    return n;
}

std::string indexRecord(const FoxRecord& r) {
    std::string rec(176, '\0');
    rec[4] = r.hidden ? 1 : 0;
    rec.replace(5, 4, le32(r.offset));
    rec.replace(9, 4, le32(r.length));
    std::string name = toCp936(r.name);
    rec[18] = static_cast<char>(r.nameLength >= 0 ? r.nameLength : static_cast<int>(name.size()));
    rec.replace(19, std::min<size_t>(name.size(), 32), name.substr(0, 32));
    rec[51] = static_cast<char>(r.email.size());
    rec.replace(52, std::min<size_t>(r.email.size(), 64), r.email.substr(0, 64));
    rec[132] = static_cast<char>(r.marker);
    return rec;
}

}  // namespace

const std::string kFoxBlockMarker = std::string(7, '\x10') + std::string(6, '\x13') + "S\r\n";

void writeVer30(const std::string& path, const std::string& streamName, const std::string& bytes) {
    CfbNode root = storageNode("Root Entry",
                               {storageNode("Ver30", {streamNode(streamName, bytes), streamNode("Other", "keep me")}),
                                streamNode("Top", std::string(5000, 'T'))});
    root.clsid[0] = 0x42;
    writeCompoundFile(path, root);
}

const CfbNode* childNamed(const CfbNode& node, const std::string& name) {
    for (const CfbNode& c : node.children)
        if (c.name == name) return &c;
    return nullptr;
}

std::string ver30Stream(const std::string& path, const std::string& name) {
    CfbNode root = readCompoundFile(path);
    const CfbNode* ver30 = childNamed(root, "Ver30");
    const CfbNode* s = ver30 ? childNamed(*ver30, name) : nullptr;
    return s ? s->bytes : std::string("<missing>");
}

std::string foxAccountList(const std::vector<FoxAccount>& accounts) {
    std::string bytes(64, '\0');
    bytes += static_cast<char>(accounts.size());
    bytes += std::string(3, '\0');
    for (const FoxAccount& a : accounts) {
        std::string name = toCp936(a.name), dir = toCp936(a.directory);
        bytes += std::string(4, '\x01');
        bytes +=
            le32(a.nameLength < 0 ? static_cast<uint32_t>(name.size()) : static_cast<uint32_t>(a.nameLength)) + name;
        bytes += le32(static_cast<uint32_t>(dir.size())) + dir;
        bytes += le32(3) + "xyz";
        bytes += std::string(20, '\x02');
    }
    return bytes;
}

void writeFoxBook(const std::string& dir, const std::string& stem, std::vector<FoxRecord> records,
                  const std::vector<std::string>& blocks) {
    std::string box;
    for (size_t i = 0; i < blocks.size(); ++i) {
        box += kFoxBlockMarker;
        if (records[i].offset == 0) records[i].offset = static_cast<uint32_t>(box.size());
        if (records[i].length == 0) records[i].length = static_cast<uint32_t>(blocks[i].size());
        box += blocks[i];
    }
    std::string index(64, 'H');
    for (const FoxRecord& r : records) index += indexRecord(r);
    writeFile(dir + "/Address/" + stem + ".IND", index);
    writeFile(dir + "/Address/" + stem + ".BOX", box);
}

std::string foxStoredCert(const IssuedCert& cert) {
    CDigitalCertificate c(cert.der.data(), static_cast<int>(cert.der.size()), CDigitalCertificate::ENC_DER);
    std::string stored;
    size_t pos = 0;
    while (pos < cert.pem.size()) {
        size_t nl = cert.pem.find('\n', pos);
        std::string line = cert.pem.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) stored += (stored.empty() ? "" : "\r\n ") + line;
        if (nl == std::string::npos) break;
        pos = nl + 1;
    }
    return CFoxContact::GroupedThumbprint(&c) + ": " + stored;
}

}  // namespace orvik::test
