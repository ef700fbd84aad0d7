// A Thunderbird profile's certificate and key database (cert9.db, key4.db), opened through NSS
// as a token of its own beside whatever else of the process uses NSS.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "OrvikCryptApi.h"

typedef struct PK11SlotInfoStr PK11SlotInfo;
typedef struct NSSInitContextStr NSSInitContext;

class ORVIKCRYPT_API CNssDatabase {
public:
    enum Result { Ok = 0, WrongPassword = 3, Failed = 4, Cancelled = 5 };
    struct Entry {
        std::string nickname;
        std::string der;
        bool hasKey = false;
    };

    CNssDatabase() = default;
    ~CNssDatabase();
    CNssDatabase(const CNssDatabase&) = delete;
    CNssDatabase& operator=(const CNssDatabase&) = delete;

    // Opens the sql: database of the folder. 0, or 4.
    int Open(const std::string& dir);
    void Close();

    // Logs in when the database has a primary password, asking for it (empty: the user gave
    // up). 0, 3 when the password is wrong, 5 when none was given, 4.
    int Login(const std::function<std::string()>& askPassword);

    // A certificate with its private key (PKCS #8 DER) under the nickname. 0, or 4.
    int ImportWithKey(const std::string& certDer, const std::string& pkcs8Der, const std::string& nickname);
    // A certificate under the nickname; `emailCa` also trusts it to issue e-mail certificates.
    int ImportCert(const std::string& certDer, const std::string& nickname, bool emailCa);

    // Whether the database already trusts the certificate to issue e-mail certificates.
    bool TrustedForEmail(const std::string& certDer);
    // The certificates of the database.
    std::vector<Entry> List();
    // The nickname the database keeps the certificate under; empty when it has none.
    std::string NicknameOf(const std::string& certDer);
    // A nickname for a subject that no other subject uses in the database.
    std::string FreeNickname(const std::string& wanted, const std::string& certDer);

    // Whether the folder's module list (pkcs11.txt) names the module and its library file is
    // there; read without opening the database or loading any module.
    static bool ListsModule(const std::string& dir, const std::string& moduleName);

private:
    NSSInitContext* context_ = nullptr;
    PK11SlotInfo* slot_ = nullptr;
};
