// The mail client's accounts in the current user's registry, and the writing of their
// certificate thumbprints.
#pragma once

#include <vector>

#include "EmailAccount.h"
#include "OrvikCryptApi.h"
#include "SecLog.h"

#define OE_ACCOUNTS_KEY "software\\Microsoft\\Internet Account Manager\\Accounts"

class ORVIKCRYPT_API COEEmailAcc {
public:
    COEEmailAcc() = default;
    // The copy shares the account objects; only the original frees them.
    COEEmailAcc(const COEEmailAcc& other);
    COEEmailAcc& operator=(const COEEmailAcc& other);
    virtual ~COEEmailAcc();

    // 0, or 20 when the accounts key cannot be opened (the list is then empty).
    int getEmailAcc();
    // Writes both certificate values of the account's key. 0; 20 when the key cannot be opened
    // (it is not made again: the account was deleted); 4 when a write fails. Both logged.
    int SaveEmailAcc(CEmailAccount* account);
    void Clear();

    int GetCount() const { return static_cast<int>(accounts.size()); }
    CEmailAccount* getAccount(int index);

private:
    std::vector<CEmailAccount*> accounts;
    bool owner = true;
    CSecLog log;
};
