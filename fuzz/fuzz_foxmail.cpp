// Foxmail's files: an address book's contact block, an account's settings text, and the account
// list in its compound file.
#include <cstdint>
#include <string>
#include <vector>

#include <FoxContact.h>
#include <Foxmail.h>

#include "FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    CFoxContact contact;
    contact.ParseBlock(bytes);
    (void)contact.BuildBlock();
    (void)CFoxmail::ConfigValue(bytes, "SignCertHash");
    (void)CFoxmail::WithConfigValue(bytes, "SignCertHash", "00");
    const std::string path = orvik::fuzz::asFile(data, size, "accounts.cfg");
    const std::string dir = path.substr(0, path.find_last_of('/'));
    std::vector<CFoxmail::AccountEntry> accounts;
    CFoxmail().ReadAccountList(dir, accounts);
    return 0;
}
