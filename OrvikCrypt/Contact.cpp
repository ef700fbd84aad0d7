#include "Contact.h"

#include <cstring>

#include <wabtags.h>

#include "OtherCertStore.h"

namespace {

struct FieldSpec {
    ULONG tag;
    const char* kind;
};

// The order is the order of reading, writing and getFields.
const FieldSpec kFields[CContact::PROPERTY_COUNT] = {
    {PR_GIVEN_NAME, "STRING"},
    {PR_SURNAME, "STRING"},
    {PR_EMAIL_ADDRESS, "STRING"},
    {PR_CONTACT_EMAIL_ADDRESSES, "VECTOR"},
    {PR_DISPLAY_NAME, "STRING"},
    {PR_SURNAME, "STRING"},  // a second slot with the same tag; reading fills only the first
    {PR_NICKNAME, "STRING"},
    {PR_MIDDLE_NAME, "STRING"},
    {PR_COMPANY_NAME, "STRING"},
    {PR_HOME_TELEPHONE_NUMBER, "STRING"},
    {PR_HOME_FAX_NUMBER, "STRING"},
    {PR_MOBILE_TELEPHONE_NUMBER, "STRING"},
    {PR_BUSINESS_FAX_NUMBER, "STRING"},
    {PR_BUSINESS_TELEPHONE_NUMBER, "STRING"},
    {PR_INITIALS, "STRING"},
    {PR_HOME_ADDRESS_STREET, "STRING"},
    {PR_HOME_ADDRESS_STATE_OR_PROVINCE, "STRING"},
    {PR_HOME_ADDRESS_POSTAL_CODE, "STRING"},
    {PR_HOME_ADDRESS_COUNTRY, "STRING"},
    {PR_HOME_ADDRESS_CITY, "STRING"},
    {PR_PERSONAL_HOME_PAGE, "STRING"},
    {PR_BUSINESS_ADDRESS_STREET, "STRING"},
    {PR_BUSINESS_ADDRESS_STATE_OR_PROVINCE, "STRING"},
    {PR_BUSINESS_ADDRESS_POSTAL_CODE, "STRING"},
    {PR_BUSINESS_ADDRESS_COUNTRY, "STRING"},
    {PR_BUSINESS_ADDRESS_CITY, "STRING"},
    {PR_BUSINESS_HOME_PAGE, "STRING"},
    {PR_TITLE, "STRING"},
    {PR_PAGER_TELEPHONE_NUMBER, "STRING"},
    {PR_SPOUSE_NAME, "STRING"},
    {PR_CHILDRENS_NAMES, "VECTOR"},
    {PR_DEPARTMENT_NAME, "STRING"},
    {PR_GENDER, "GENDER"},
    {PR_BIRTHDAY, "TIME"},
    {PR_WEDDING_ANNIVERSARY, "TIME"},
    {PR_OFFICE_LOCATION, "STRING"},
    {PR_COMMENT, "STRING"},
    {PROP_TAG(PT_STRING8, 0x800A), "STRING"},
    {PR_USER_X509_CERTIFICATE, "VECTOR"},
};

}  // namespace

CContact::CContact() : newEntry(0), writeCerts(1) {
    keyEmail.setTag(PR_EMAIL_ADDRESS, "STRING");
    keyDisplayName.setTag(PR_DISPLAY_NAME, "STRING");
    for (int i = 0; i < PROPERTY_COUNT; ++i) properties[i].setTag(kFields[i].tag, kFields[i].kind);
    defaultCerts.setTag(PR_USER_X509_CERTIFICATE, "VECTOR");
}

CContact::CContact(const CContact& other) = default;
CContact& CContact::operator=(const CContact& other) = default;
CContact::~CContact() = default;

void CContact::getFields(std::vector<COEWABProperty*>& out) {
    for (auto& p : properties) out.push_back(&p);
}

COEWABProperty* CContact::getField(int index) {
    return index >= 0 && index < PROPERTY_COUNT ? &properties[index] : nullptr;
}

COEWABProperty* CContact::findField(ULONG tag) {
    for (auto& p : properties)
        if (p.getTagValue() == tag) return &p;
    return nullptr;
}

std::string CContact::getEmail() const { return properties[2].getStrValue(); }
std::string CContact::getDisplayName() const { return properties[4].getStrValue(); }

CDigitalCertificate* CContact::getDefaultCert(COtherCertStore* store) {
    if (!store) return nullptr;
    const std::string address = getEmail();
    for (int i = 0; i < defaultCerts.getVSize(); ++i) {
        CDigitalCertificate* found = store->FindByThumb(defaultCerts.getVValue(i));
        if (!found) continue;
        std::string email;
        // Byte for byte, letter case included: a certificate for another address is not this one's.
        if (found->getEmail(email) == 0 && email == address) return found;
    }
    return nullptr;
}

int CContact::SetDefaultCert(CDigitalCertificate* certificate) {
    defaultCerts.ClearVector();
    if (!certificate) return 0;
    CBBuffer thumbprint;
    if (certificate->getThumbPrint(&thumbprint) == 0 && thumbprint.size() == 20)
        defaultCerts.pushVector(thumbprint.GetBuffer(), thumbprint.size());
    return 0;
}
