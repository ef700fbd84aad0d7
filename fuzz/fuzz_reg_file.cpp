// .reg files exported from Windows, in both dialects and encodings.
#include <cstdint>
#include <string_view>

#include <orvik/RegFile.h>

#include "FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool home = (orvik::fuzz::asFile(nullptr, 0, "input.reg"), true);
    (void)home;
    orvik::importRegFile(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
