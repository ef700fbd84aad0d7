// One contact of the address book: its 39 properties in a fixed order, the e-mail address and
// display name that identify its entry, and the thumbprints of its default certificates.
#pragma once

#include <string>
#include <vector>

#include "DigitalCertificate.h"
#include "OEWABProperty.h"
#include "OrvikCryptApi.h"

class COtherCertStore;

class ORVIKCRYPT_API CContact {
public:
    enum { PROPERTY_COUNT = 39 };

    CContact();
    CContact(const CContact& other);
    CContact& operator=(const CContact& other);
    virtual ~CContact();

    // Appends pointers to the 39 properties, in table order.
    void getFields(std::vector<COEWABProperty*>& out);
    COEWABProperty* getField(int index);
    // The first of the 39 that carries the tag; null when none does.
    COEWABProperty* findField(ULONG tag);

    // The first default certificate found in `store` whose e-mail address is exactly the
    // contact's PR_EMAIL_ADDRESS; borrowed from the store.
    CDigitalCertificate* getDefaultCert(COtherCertStore* store);
    // The default-certificate list becomes the certificate's thumbprint (empty for null). 0.
    int SetDefaultCert(CDigitalCertificate* certificate);

    int getNewEntry() const { return newEntry; }
    void setNewEntry(int value) { newEntry = value; }
    int getWriteCerts() const { return writeCerts; }
    void setWriteCerts(int value) { writeCerts = value; }
    COEWABProperty* getKeyEmail() { return &keyEmail; }
    COEWABProperty* getKeyDisplayName() { return &keyDisplayName; }
    COEWABProperty* getDefaultCertList() { return &defaultCerts; }

    // The values a list shows: PR_EMAIL_ADDRESS and PR_DISPLAY_NAME.
    std::string getEmail() const;
    std::string getDisplayName() const;

private:
    int newEntry;
    COEWABProperty keyEmail;
    COEWABProperty keyDisplayName;
    COEWABProperty properties[PROPERTY_COUNT];
    COEWABProperty defaultCerts;
    int writeCerts;
};
