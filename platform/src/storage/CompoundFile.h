// A compound file held whole in memory: its tree of storages and streams, the open file that
// carries the sharing lock, and the commit that writes the tree anew.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <objidl.h>
#include <orvik/UniqueFd.h>

namespace orvik::storage {

// Files and streams larger than this are refused: the files these calls meet are small, and all of
// one is kept in memory.
inline constexpr size_t kMaxCompoundFileBytes = size_t{64} << 20;

// Names are at most 31 UTF-16 units, as the directory entries hold them.
inline constexpr size_t kMaxElementName = 31;

struct Element {
    std::u16string name;
    bool storage = false;
    std::vector<uint8_t> bytes;       // a stream's contents
    std::array<uint8_t, 16> clsid{};  // a storage's class id, as the file stores it
    std::vector<std::unique_ptr<Element>> children;
    bool open = false;  // an IStorage or IStream is open on it

    // The child of that name, compared as Windows compares element names (case-insensitively).
    Element* child(std::u16string_view childName) const;
};

// Element names compare equal when their upper-case forms do.
bool sameElementName(std::u16string_view a, std::u16string_view b);

CLSID clsidFromBytes(const std::array<uint8_t, 16>& bytes);

class CompoundFile {
public:
    // mode is a validated StgOpenStorage mode. On failure the STG_E_* code.
    static HRESULT open(const std::string& path, std::u16string shownName, DWORD mode,
                        std::shared_ptr<CompoundFile>& out) noexcept;

    CompoundFile(const CompoundFile&) = delete;
    CompoundFile& operator=(const CompoundFile&) = delete;

    Element& root() { return root_; }
    const std::u16string& shownName() const { return shownName_; }
    bool writable() const;
    // Serialises every method of the storages and streams on this file.
    std::mutex& mutex() { return mutex_; }

    // Writes the whole tree to a new file beside the original and puts it in the original's place;
    // on failure the original is as it was. The caller holds mutex().
    HRESULT commit() noexcept;

private:
    CompoundFile() = default;

    Element root_;
    std::u16string shownName_;
    DWORD mode_ = 0;
    std::optional<UniqueFd> fd_;     // holds the flock for as long as the file is open
    std::optional<UniqueFd> dirFd_;  // the folder a commit writes into, however the path changes meanwhile
    std::string baseName_;
    std::mutex mutex_;
};

}  // namespace orvik::storage
