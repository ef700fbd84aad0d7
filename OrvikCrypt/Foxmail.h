// Foxmail 3.x's own files: its folder (from the registry), its accounts' compound files, and its
// address books' index and data files. Text on disk is GBK; everything here is UTF-8.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "EmailAccount.h"
#include "FoxContact.h"
#include "OrvikCryptApi.h"
#include "SecLog.h"

class ORVIKCRYPT_API CFoxmail {
public:
    struct AccountEntry {
        std::string name;       // as accounts.cfg has it
        std::string directory;  // as accounts.cfg has it: a Windows path, usually
    };

    CFoxmail();
    CFoxmail(const CFoxmail&) = delete;
    CFoxmail& operator=(const CFoxmail&) = delete;
    virtual ~CFoxmail();

    // 0 and the folder (empty when no "V3.1" key names one), or -1 without Foxmail's key.
    static int FindFoxmailDir(std::string& dir);
    // Points "FoxmailPath" at a Foxmail folder: 0, or 4 when the registry fails.
    static int SetFoxmailDir(const std::string& dir);
    // A path of Foxmail's files (a Windows one, or relative) as a file of the folder `base`:
    // the longest tail of it that exists there, each name matched without regard to case.
    static std::string ResolvePath(const std::string& base, const std::string& path);

    // The account list of `dir`/accounts.cfg: 0, or -1 when the file, its storage or its stream
    // cannot be opened. A record whose lengths run past the stream ends the list.
    int ReadAccountList(const std::string& dir, std::vector<AccountEntry>& out);

    // The accounts of the Foxmail folder found in the registry (or `dir` when given); an account
    // whose file cannot be read is left out. 0, or -1 when there is no account list.
    int LoadAccounts(const std::string& dir = {});
    // Writes the account's signing certificate (its grouped thumbprint) into its "AccInfo.cfg",
    // changing only that line. 0, or -1 when the file cannot be opened, read or written.
    int SaveAccountSignCert(CEmailAccount* account);

    // The contacts of every address book of the folder; 0, or -1 when a data file cannot be
    // opened (the contacts read before it stay).
    int LoadAddressBooks(const std::string& dir = {});
    // Appends the contact's new block to its data file and points its index record at it. 0, or
    // -1 when either file cannot be written (the old block stays in use).
    int SaveContact(CFoxContact* contact);

    const std::vector<std::unique_ptr<CEmailAccount>>& accounts() const { return accounts_; }
    const std::vector<std::unique_ptr<CFoxContact>>& contacts() const { return contacts_; }

    // A value of "AccInfo.cfg": the first line that starts with the key and "="; empty when none.
    static std::string ConfigValue(const std::string& text, const std::string& key);
    // The text with the key's line set to `value`: in place, or before "SMTPHost=" when the key
    // has no line, or at the end.
    static std::string WithConfigValue(const std::string& text, const std::string& key, const std::string& value);

private:
    std::string folder(const std::string& dir) const;
    int readBook(const std::string& indexPath, const std::string& dataPath);

    std::vector<std::unique_ptr<CEmailAccount>> accounts_;
    std::vector<std::unique_ptr<CFoxContact>> contacts_;
    CSecLog log;
};
