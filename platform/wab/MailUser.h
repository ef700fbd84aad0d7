// One entry of the book, opened or newly created. Changes stay in the object until SaveChanges
// writes them in one transaction.
#pragma once

#include <memory>
#include <set>

#include "ComObject.h"
#include "EntryStore.h"

namespace orvik::wab {

class MailUser : public PropObject<IMailUser> {
public:
    // An entry read from the store.
    MailUser(std::shared_ptr<EntryStore> store, const EntryKey& key, ULONG type, PropertyMap props, bool writable);
    // A new entry, stored on the first SaveChanges.
    MailUser(std::shared_ptr<EntryStore> store, ULONG createFlags);

    HRESULT WINAPI SaveChanges(ULONG flags) override;
    HRESULT WINAPI GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count, LPSPropValue* values) override;
    HRESULT WINAPI GetPropList(ULONG flags, LPSPropTagArray* tags) override;
    HRESULT WINAPI SetProps(ULONG count, LPSPropValue values, LPSPropProblemArray* problems) override;
    HRESULT WINAPI DeleteProps(LPSPropTagArray tags, LPSPropProblemArray* problems) override;

private:
    // The values GetProps shows that the store does not keep: they follow from the entry.
    PropertyMap computed() const;
    static bool isComputed(ULONG tag);

    std::shared_ptr<EntryStore> store_;
    EntryKey key_;
    ULONG type_;
    PropertyMap props_;
    std::set<ULONG> changed_, deleted_;
    bool writable_;
    bool isNew_;
    ULONG createFlags_ = 0;
    bool closed_ = false;
};

}  // namespace orvik::wab
