// Foxmail's files as Windows leaves them, made at test time: compound files with a "Ver30"
// storage, the account list, and address books of index records and data blocks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/CompoundFile.h"
#include "support/TestPki.h"

namespace orvik::test {

// The 14-byte marker and CR LF that start every data block.
extern const std::string kFoxBlockMarker;

// A compound file whose "Ver30" storage holds `streamName` (and a stream "Other"), beside a
// large stream "Top" of the root; the root's class id starts with 0x42.
void writeVer30(const std::string& path, const std::string& streamName, const std::string& bytes);
// The bytes of "Ver30"/`name`, read back independently; "<missing>" when it is not there.
std::string ver30Stream(const std::string& path, const std::string& name);
const CfbNode* childNamed(const CfbNode& node, const std::string& name);

struct FoxAccount {
    std::string name{}, directory{};  // UTF-8; written as GBK
    int64_t nameLength = -1;          // the true length unless set
};
std::string foxAccountList(const std::vector<FoxAccount>& accounts);

struct FoxRecord {
    std::string name{}, email{};
    uint32_t offset = 0, length = 0;  // 0: the block's own
    bool hidden = false;
    unsigned char marker = 0;
    int nameLength = -1;  // the true length unless set
};
// Writes dir/Address/stem.IND and .BOX: one block per record (the text after its marker).
void writeFoxBook(const std::string& dir, const std::string& stem, std::vector<FoxRecord> records,
                  const std::vector<std::string>& blocks);
// A certificate as a data block stores it: grouped thumbprint, ": ", PEM with continuation breaks.
std::string foxStoredCert(const IssuedCert& cert);

}  // namespace orvik::test
