#include "ContactCards.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>

#include <strings.h>

#include <orvik/AtomicFile.h>
#include <orvik/PlatformDatabase.h>
#include <orvik/ReadFile.h>
#include <wabtags.h>

namespace {

constexpr size_t kMaxFile = 16u << 20;

bool hasNonAscii(const std::string& s) {
    return std::any_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

bool hasType(const std::vector<std::string>& types, const char* type) {
    return std::find(types.begin(), types.end(), type) != types.end();
}

void setIfEmpty(CContact& c, ULONG tag, const std::string& value) {
    COEWABProperty* field = c.findField(tag);
    if (field && !*field->getStrValue()) field->setValue(value.c_str());
}

std::string text(CContact& c, ULONG tag) {
    COEWABProperty* field = c.findField(tag);
    return field ? field->getStrValue() : "";
}

std::string displayNameOf(const CVCard::Entry& e) {
    if (!e.formattedName.empty()) return e.formattedName;
    if (!e.family.empty() || !e.given.empty()) {
        // Chinese names read family name first, without a space.
        if (hasNonAscii(e.family) || hasNonAscii(e.given)) return e.family + e.given;
        if (e.given.empty() || e.family.empty()) return e.given + e.family;
        return e.given + " " + e.family;
    }
    return e.emails.empty() ? std::string() : e.emails.front();
}

}  // namespace

CContact CContactCards::ToContact(const CVCard::Entry& e) {
    CContact c;
    c.setNewEntry(1);
    c.findField(PR_GIVEN_NAME)->setValue(e.given.c_str());
    c.findField(PR_SURNAME)->setValue(e.family.c_str());
    c.findField(PR_MIDDLE_NAME)->setValue(e.middle.c_str());
    c.findField(PR_NICKNAME)->setValue(e.nickname.c_str());
    c.findField(PR_DISPLAY_NAME)->setValue(displayNameOf(e).c_str());
    if (!e.emails.empty()) c.findField(PR_EMAIL_ADDRESS)->setValue(e.emails.front().c_str());
    for (const auto& mail : e.emails) c.findField(PR_CONTACT_EMAIL_ADDRESSES)->pushVector(mail.c_str());
    for (const auto& phone : e.phones) {
        const auto& t = phone.types;
        ULONG tag = hasType(t, "cell")                        ? PR_MOBILE_TELEPHONE_NUMBER
                    : hasType(t, "pager")                     ? PR_PAGER_TELEPHONE_NUMBER
                    : hasType(t, "fax") && hasType(t, "work") ? PR_BUSINESS_FAX_NUMBER
                    : hasType(t, "fax")                       ? PR_HOME_FAX_NUMBER
                    : hasType(t, "work")                      ? PR_BUSINESS_TELEPHONE_NUMBER
                                                              : PR_HOME_TELEPHONE_NUMBER;
        // An untyped second number goes to the business line rather than being lost.
        if (tag == PR_HOME_TELEPHONE_NUMBER && !text(c, tag).empty() && !hasType(t, "home"))
            tag = PR_BUSINESS_TELEPHONE_NUMBER;
        setIfEmpty(c, tag, phone.number);
    }
    for (const auto& a : e.addresses) {
        bool work = hasType(a.types, "work") || (!hasType(a.types, "home") && !text(c, PR_HOME_ADDRESS_STREET).empty());
        std::string street;
        for (const std::string* part : {&a.poBox, &a.extended, &a.street}) {
            if (part->empty()) continue;
            if (!street.empty()) street += ", ";
            street += *part;
        }
        setIfEmpty(c, work ? PR_BUSINESS_ADDRESS_STREET : PR_HOME_ADDRESS_STREET, street);
        setIfEmpty(c, work ? PR_BUSINESS_ADDRESS_CITY : PR_HOME_ADDRESS_CITY, a.city);
        setIfEmpty(c, work ? PR_BUSINESS_ADDRESS_STATE_OR_PROVINCE : PR_HOME_ADDRESS_STATE_OR_PROVINCE, a.region);
        setIfEmpty(c, work ? PR_BUSINESS_ADDRESS_POSTAL_CODE : PR_HOME_ADDRESS_POSTAL_CODE, a.postalCode);
        setIfEmpty(c, work ? PR_BUSINESS_ADDRESS_COUNTRY : PR_HOME_ADDRESS_COUNTRY, a.country);
    }
    c.findField(PR_COMPANY_NAME)->setValue(e.organization.c_str());
    c.findField(PR_DEPARTMENT_NAME)->setValue(e.department.c_str());
    c.findField(PR_TITLE)->setValue(e.title.c_str());
    c.findField(PR_COMMENT)->setValue(e.note.c_str());
    if (e.urls.size() > 0) c.findField(PR_PERSONAL_HOME_PAGE)->setValue(e.urls[0].c_str());
    if (e.urls.size() > 1) c.findField(PR_BUSINESS_HOME_PAGE)->setValue(e.urls[1].c_str());
    // A birthday without a year has no date in the book.
    if (e.birthday && e.birthday->year > 0) {
        SYSTEMTIME st{};
        st.wYear = static_cast<WORD>(e.birthday->year);
        st.wMonth = static_cast<WORD>(e.birthday->month);
        st.wDay = static_cast<WORD>(e.birthday->day);
        c.findField(PR_BIRTHDAY)->setDate(st);
    }
    for (const auto& der : e.certificates) {
        CDigitalCertificate cert(der.data(), static_cast<int>(der.size()), CDigitalCertificate::ENC_DER);
        CBBuffer thumb;
        if (!cert.getPCCERT() || cert.getThumbPrint(&thumb) != 0 || thumb.size() != 20) continue;
        c.getDefaultCertList()->pushVector(thumb.GetBuffer(), thumb.size());
    }
    return c;
}

CVCard::Entry CContactCards::ToEntry(CContact& c, COtherCertStore& store) {
    CVCard::Entry e;
    e.formattedName = text(c, PR_DISPLAY_NAME);
    e.given = text(c, PR_GIVEN_NAME);
    e.family = text(c, PR_SURNAME);
    e.middle = text(c, PR_MIDDLE_NAME);
    e.nickname = text(c, PR_NICKNAME);
    std::string primary = text(c, PR_EMAIL_ADDRESS);
    if (!primary.empty()) e.emails.push_back(primary);
    COEWABProperty* all = c.findField(PR_CONTACT_EMAIL_ADDRESSES);
    for (int i = 0; i < all->getVSize(); ++i) {
        CBBuffer* b = all->getVValue(i);
        std::string mail(reinterpret_cast<const char*>(b->GetBuffer()), static_cast<size_t>(b->size()));
        if (!mail.empty() && mail != primary) e.emails.push_back(mail);
    }
    struct PhoneSlot {
        ULONG tag;
        std::vector<std::string> types;
    };
    const PhoneSlot phones[] = {
        {PR_HOME_TELEPHONE_NUMBER, {"home", "voice"}}, {PR_BUSINESS_TELEPHONE_NUMBER, {"work", "voice"}},
        {PR_MOBILE_TELEPHONE_NUMBER, {"cell"}},        {PR_HOME_FAX_NUMBER, {"home", "fax"}},
        {PR_BUSINESS_FAX_NUMBER, {"work", "fax"}},     {PR_PAGER_TELEPHONE_NUMBER, {"pager"}}};
    for (const auto& slot : phones)
        if (std::string n = text(c, slot.tag); !n.empty()) e.phones.push_back({n, slot.types});
    struct AddressSlot {
        const char* type;
        ULONG street, city, region, code, country;
    };
    const AddressSlot addresses[] = {
        {"home", PR_HOME_ADDRESS_STREET, PR_HOME_ADDRESS_CITY, PR_HOME_ADDRESS_STATE_OR_PROVINCE,
         PR_HOME_ADDRESS_POSTAL_CODE, PR_HOME_ADDRESS_COUNTRY},
        {"work", PR_BUSINESS_ADDRESS_STREET, PR_BUSINESS_ADDRESS_CITY, PR_BUSINESS_ADDRESS_STATE_OR_PROVINCE,
         PR_BUSINESS_ADDRESS_POSTAL_CODE, PR_BUSINESS_ADDRESS_COUNTRY}};
    for (const auto& slot : addresses) {
        CVCard::Address a;
        a.types = {slot.type};
        a.street = text(c, slot.street);
        a.city = text(c, slot.city);
        a.region = text(c, slot.region);
        a.postalCode = text(c, slot.code);
        a.country = text(c, slot.country);
        if (!(a.street + a.city + a.region + a.postalCode + a.country).empty()) e.addresses.push_back(a);
    }
    e.organization = text(c, PR_COMPANY_NAME);
    e.department = text(c, PR_DEPARTMENT_NAME);
    e.title = text(c, PR_TITLE);
    e.note = text(c, PR_COMMENT);
    for (ULONG tag : {PR_PERSONAL_HOME_PAGE, PR_BUSINESS_HOME_PAGE})
        if (std::string url = text(c, tag); !url.empty()) e.urls.push_back(url);
    SYSTEMTIME st = c.findField(PR_BIRTHDAY)->getTime();
    if (st.wYear && st.wMonth && st.wDay) e.birthday = CVCard::Date{st.wYear, st.wMonth, st.wDay};
    COEWABProperty* defaults = c.getDefaultCertList();
    for (int i = 0; i < defaults->getVSize(); ++i) {
        CDigitalCertificate* cert = store.FindByThumb(defaults->getVValue(i));
        if (cert && cert->getPCCERT())
            e.certificates.emplace_back(reinterpret_cast<const char*>(cert->getPCCERT()->pbCertEncoded),
                                        cert->getPCCERT()->cbCertEncoded);
    }
    return e;
}

namespace {

bool sameAddress(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

// The person a card stands for: its display name and first address, as the book tells contacts
// apart.
bool samePerson(const CVCard::Entry& a, const CVCard::Entry& b) {
    if (displayNameOf(a) != displayNameOf(b)) return false;
    if (a.emails.empty() || b.emails.empty()) return a.emails.empty() && b.emails.empty();
    return sameAddress(a.emails.front(), b.emails.front());
}

// A second card of the same person (phones export one per account) adds its addresses and
// certificates to the first.
void mergeInto(CVCard::Entry& first, const CVCard::Entry& second) {
    for (const auto& mail : second.emails)
        if (std::none_of(first.emails.begin(), first.emails.end(),
                         [&](const std::string& have) { return sameAddress(have, mail); }))
            first.emails.push_back(mail);
    for (const auto& der : second.certificates)
        if (std::find(first.certificates.begin(), first.certificates.end(), der) == first.certificates.end())
            first.certificates.push_back(der);
}

}  // namespace

int CContactCards::Import(const std::string& path, COEAddrBook& book, COtherCertStore& store, Result& result) {
    result = Result();
    std::string bytes;
    // Bounded as the parser is, and only a regular file: a FIFO would keep the reader waiting.
    if (!orvik::readRegularFile(path, bytes, kMaxFile)) {
        if (errno == EFBIG) {
            result.error = "the file is larger than 16 MiB";
            return 8;
        }
        result.error = errno == EINVAL ? path + " is not a regular file" : "cannot read " + path;
        return 3;
    }
    std::vector<CVCard::Entry> parsed;
    if (!CVCard::Parse(bytes, parsed, result.damaged, result.error)) return 8;
    if (parsed.empty()) {
        result.error = result.damaged.size() == 1 ? result.damaged.front().error : "no card of the file can be read";
        return 8;
    }
    std::vector<CVCard::Entry> entries;
    for (const auto& e : parsed) {
        auto same = std::find_if(entries.begin(), entries.end(),
                                 [&](const CVCard::Entry& have) { return samePerson(have, e); });
        if (same == entries.end()) {
            entries.push_back(e);
        } else {
            mergeInto(*same, e);
            ++result.duplicates;
        }
    }
    // The book as it is: a card whose name and address are there already is not added twice.
    int rc = book.GetContacts();
    if (rc != 0) {
        result.error = "the address book cannot be read";
        return rc;
    }
    // The whole file goes in as one transaction, the certificates with the contacts: a failure,
    // or the process dying on the way, leaves the book and the store as they were.
    orvik::DatabaseBatch batch;
    if (batch.rc() != ERROR_SUCCESS) {
        result.error = "the address book is busy or cannot be written";
        return 19;
    }
    auto fail = [&](int code, const char* error) {
        result.error = error;
        result.imported = result.certificates = 0;
        return code;
    };
    for (const auto& e : entries) {
        CContact c = ToContact(e);
        const bool known = std::any_of(book.getContacts().begin(), book.getContacts().end(), [&](CContact* have) {
            return have->getDisplayName() == c.getDisplayName() && sameAddress(have->getEmail(), c.getEmail());
        });
        if (known) {
            ++result.duplicates;
            continue;
        }
        rc = book.SaveContact(&c);
        if (rc != 0) return fail(rc, "the address book cannot be written");
        ++result.imported;
    }
    for (const auto& e : entries)
        for (const auto& der : e.certificates) {
            CDigitalCertificate cert(der.data(), static_cast<int>(der.size()), CDigitalCertificate::ENC_DER);
            if (!cert.getPCCERT()) continue;
            if (store.ImportCert(&cert) != 0) return fail(4, "a certificate cannot be stored in ADDRESSBOOK");
            ++result.certificates;
        }
    if (batch.commit() != ERROR_SUCCESS) return fail(19, "the address book cannot be written");
    return 0;
}

int CContactCards::Export(const std::string& path, COEAddrBook& book, COtherCertStore& store, CVCard::Version version) {
    std::vector<CVCard::Entry> entries;
    for (CContact* c : book.getContacts()) entries.push_back(ToEntry(*c, store));
    // Whole or not at all, through a temporary file of its own: never a fixed name beside the
    // target that another user could plant a link at.
    return orvik::writeFileAtomically(path, CVCard::Write(entries, version)) ? 0 : 3;
}
