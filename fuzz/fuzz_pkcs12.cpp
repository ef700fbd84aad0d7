// PKCS #12 files as the import dialog opens them.
#include <cstdint>
#include <string>

#include <PFXFile.h>

#include "FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string algorithm;
    const std::string path = orvik::fuzz::asFile(data, size, "input.pfx");
    InspectPkcs12(path.c_str(), "pw", algorithm);
    return 0;
}
