// A loaded, filterable list of the certificates of one of the user's system stores. The store
// owns the certificate objects it lists; the pointers it hands out are borrowed.
#pragma once

#include <string>
#include <vector>

#include <wincrypt.h>

#include "BBuffer.h"
#include "DigitalCertificate.h"
#include "OrvikCryptApi.h"
#include "SecLog.h"

class ORVIKCRYPT_API CCertStore {
public:
    // Result codes of the stores, with the values of the certificate's own.
    enum Code : int {
        Ok = 0,
        NothingDone = 1,  // no certificate given
        FileError = 3,    // the file cannot be read
        PlatformFailed = 4,
        NotACertificate = 8,  // the bytes hold no certificate (or too many of them)
    };

    CCertStore();
    // Copies own copies of the certificate objects and their own handle on the store.
    CCertStore(const CCertStore& other);
    CCertStore& operator=(const CCertStore& other);
    virtual ~CCertStore();

    // Reloads the list from the system store; Ok, or PlatformFailed when the store cannot be
    // opened (an int, the type the personal store's override has). The list is empty then, which
    // is all most callers show, so the code may be left unread.
    virtual int OpenCertStore() = 0;

    int GetCertCount() const { return static_cast<int>(certificates.size()); }
    CDigitalCertificate* getCert(int index);
    // Narrows the list: "KeyUsage" with "Sign" or "Crypt", or a GetCertInfo key and the exact text.
    void SetFilter(const char* key, const char* value);
    // Deletes the certificate from the system store and the list.
    bool Remove(int index);
    CDigitalCertificate* FindByThumb(CBBuffer* thumbprint);
    // With or without spaces, in any case; the caller's text loses its spaces.
    CDigitalCertificate* FindByThumb(std::string& thumbprint);
    void CloseStore();

protected:
    // These give the values of Code as int, as the stores' own results of every kind take them.
    [[nodiscard]] int OpenSystemStore(const char* name, const char* sourceFile);
    // Adds a certificate to a system store, replacing an equal one; Ok, or PlatformFailed (logged).
    int AddToSystemStore(const char* name, PCCERT_CONTEXT context, const char* sourceFile);
    // Imports one DER certificate file (at most 1 MiB) into a system store: Ok, FileError,
    // NotACertificate or PlatformFailed.
    [[nodiscard]] int ImportCertFile(const char* name, const char* path, const char* sourceFile);

    HCERTSTORE store;
    CSecLog log;
    std::vector<CDigitalCertificate*> certificates;

private:
    void copyFrom(const CCertStore& other);
};

// Installs the built-in trusted authorities: the roots into the Root store, the intermediate
// authorities into CA. Running it again changes nothing. Ok, or PlatformFailed when the registry
// fails.
[[nodiscard]] ORVIKCRYPT_API CCertStore::Code DoInstallCerts();
