// vCard files of every version, and what is written back from what was read.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <VCard.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<CVCard::Entry> entries;
    std::string error;
    if (CVCard::Parse(std::string_view(reinterpret_cast<const char*>(data), size), entries, error))
        (void)CVCard::Write(entries, CVCard::V30);
    return 0;
}
