// The address book's contacts: loads the book's module, lists its mail users, saves and deletes
// them. Every operation opens and releases its own connection to the book.
#pragma once

#include <string>
#include <vector>

#include <wab.h>

#include "Contact.h"
#include "OrvikCryptApi.h"
#include "SecLog.h"

class ORVIKCRYPT_API COEAddrBook {
public:
    COEAddrBook();
    // A copy holds copies of the contacts and loads the module again when it needs it.
    COEAddrBook(const COEAddrBook& other);
    COEAddrBook& operator=(const COEAddrBook& other);
    ~COEAddrBook();

    // 0 when the module is loaded, 14 when it cannot be (no path, no file, no "WABOpen").
    int OpenLib();
    // 0, or 14 to 18; the list then holds the book's mail users in the order of its contents.
    int GetContacts();
    // 0, or 14 to 19: updates the entry with the contact's key e-mail and display name, or
    // creates one for a new contact.
    int SaveContact(CContact* contact);
    // 1 when the matching entry was deleted, 0 when none matched, or 14 to 18.
    int DeleteContact(CContact* contact);

    void SetManagedValue(CContact* contact, ULONG tag, const SPropValue& value);
    int SetUnmanagedProperies(CContact* contact, IMailUser* entry);
    void ClearContactVector();

    int GetContactCount() const { return static_cast<int>(contacts.size()); }
    CContact* getContact(int index);
    const std::vector<CContact*>& getContacts() const { return contacts; }

    // The module installed beside the programs in `programDir`, registered under DLLPath when the
    // value is missing or names a file that is not there. 0, or 4 when the registry fails.
    static int RegisterLibrary(const std::string& programDir);
    static const char* LibraryFileName() { return "libOrvikWab.so"; }

private:
    class Session;
    int open(Session& session, ULONG flags);
    // The rows of the container's contents table; 18 when there is none.
    int readRows(Session& session, ULONG flags, LPSRowSet& rows);
    // The first row whose entry has the contact's key e-mail and display name, opened for
    // writing; -1 when none has.
    int findEntry(Session& session, LPSRowSet rows, CContact* contact, IMailUser*& entry);
    void broken(int line);

    HMODULE library;
    LPWABOPEN wabOpen;
    std::vector<CContact*> contacts;
    CSecLog log;
};
