// Contacts in and out of the address book as vCard files: how a Linux user fills the book from
// the address books and mail programs they come from.
#pragma once

#include <string>
#include <vector>

#include "Contact.h"
#include "OEAddrBook.h"
#include "OrvikCryptApi.h"
#include "OtherCertStore.h"
#include "VCard.h"

class ORVIKCRYPT_API CContactCards {
public:
    struct Result {
        int imported = 0;      // new entries
        int duplicates = 0;    // cards whose name and address the book had, or an earlier card of the file
                               // (which then takes their addresses and certificates)
        int certificates = 0;  // certificates added to "ADDRESSBOOK"
        std::vector<CVCard::Problem> damaged;  // cards left out, in file order
        std::string error;                     // what went wrong, for the user
    };

    // Every good card of the file into the book as a new contact; a card's certificates go into
    // "ADDRESSBOOK" and become the contact's default certificates. A damaged card is left out and
    // listed in `damaged`, the others are imported. One transaction: the contacts and certificates
    // all go in, or (on failure, or when the process dies) none. 0; 3 when the file cannot be
    // read; 8 when it is not a vCard file or none of its cards is good; the book's code (14 to 19)
    // when saving fails; 4 when a certificate cannot be stored.
    static int Import(const std::string& path, COEAddrBook& book, COtherCertStore& store, Result& result);
    // The book's contacts (as GetContacts read them) as a vCard file, with each contact's
    // default certificates found in `store`. 0, or 3 when the file cannot be written.
    static int Export(const std::string& path, COEAddrBook& book, COtherCertStore& store, CVCard::Version version);

    static CContact ToContact(const CVCard::Entry& entry);
    static CVCard::Entry ToEntry(CContact& contact, COtherCertStore& store);
};
