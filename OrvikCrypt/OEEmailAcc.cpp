#include "OEEmailAcc.h"

#include <string>

#include <windows.h>

namespace {

constexpr DWORD kValueBuffer = 256;

// Reads one value into a bounded buffer; false when it is missing or longer than the buffer.
// String values lose their terminator here.
bool readValue(HKEY key, const char* name, CRegProperty& out) {
    BYTE buffer[kValueBuffer + 1] = {};
    DWORD size = kValueBuffer;  // reset for every read: the previous read's size is not the buffer's
    DWORD type = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, buffer, &size) != ERROR_SUCCESS) return false;
    if (type == REG_SZ || type == REG_EXPAND_SZ)
        while (size > 0 && buffer[size - 1] == '\0') --size;
    out.setBytes(buffer, static_cast<int>(size));
    return true;
}

}  // namespace

COEEmailAcc::COEEmailAcc(const COEEmailAcc& other) : accounts(other.accounts), owner(false), log(other.log) {}

COEEmailAcc& COEEmailAcc::operator=(const COEEmailAcc& other) {
    if (this == &other) return *this;
    Clear();
    accounts = other.accounts;
    owner = false;
    log = other.log;
    return *this;
}

COEEmailAcc::~COEEmailAcc() { Clear(); }

void COEEmailAcc::Clear() {
    if (owner)
        for (CEmailAccount* a : accounts) delete a;
    accounts.clear();
    owner = true;
}

CEmailAccount* COEEmailAcc::getAccount(int index) {
    return index >= 0 && index < GetCount() ? accounts[static_cast<size_t>(index)] : nullptr;
}

int COEEmailAcc::getEmailAcc() {
    Clear();
    HKEY root = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, OE_ACCOUNTS_KEY, 0, KEY_READ, &root) != ERROR_SUCCESS) return 20;
    for (DWORD index = 0;; ++index) {
        char name[256] = {};
        DWORD nameSize = sizeof name;
        if (RegEnumKeyExA(root, index, name, &nameSize, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        HKEY sub = nullptr;
        if (RegOpenKeyExA(root, name, 0, KEY_READ, &sub) != ERROR_SUCCESS) continue;
        auto* account = new CEmailAccount();
        // Only mail accounts have a server for sending: news and directory accounts are skipped.
        if (!readValue(sub, "SMTP Server", *account->getSmtpServer())) {
            delete account;
            RegCloseKey(sub);
            continue;
        }
        account->getAccountKey()->setBytes(name, static_cast<int>(nameSize));
        readValue(sub, "Account Name", *account->getAccountName());
        readValue(sub, "SMTP Email Address", *account->getEmailAddress());
        readValue(sub, "SMTP Certificate", *account->getSignBuffer());
        readValue(sub, "SMTP Encryption Certificate", *account->getCryptBuffer());
        accounts.push_back(account);
        RegCloseKey(sub);
    }
    RegCloseKey(root);
    return 0;
}

int COEEmailAcc::SaveEmailAcc(CEmailAccount* account) {
    if (!account) return 20;
    std::string path = std::string(OE_ACCOUNTS_KEY) + "\\" + account->getAccountKey()->getText();
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_ALL_ACCESS, &key);
    if (rc != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(rc));
        SEC_LOG_FAILURE(log, "RegOpenKeyEx");
        return 20;
    }
    int result = 0;
    for (CRegProperty* value : {account->getSignBuffer(), account->getCryptBuffer()}) {
        CBBuffer* bytes = value->getBuf();
        // An empty buffer writes an empty value: "none", which the mail client reads as such.
        rc =
            RegSetValueExA(key, value->getName(), 0, REG_BINARY, bytes->GetBuffer(), static_cast<DWORD>(bytes->size()));
        if (rc != ERROR_SUCCESS) {
            SetLastError(static_cast<DWORD>(rc));
            SEC_LOG_FAILURE(log, "RegSetValueEx");
            result = 4;
        }
    }
    RegCloseKey(key);
    return result;
}
