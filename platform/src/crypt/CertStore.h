// Certificate stores: memory stores and the system stores kept in the registry.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <wincrypt.h>

#include "CertContext.h"

namespace orvik::crypt {

// Shared by a store's handles and (weakly) by its elements.
struct StoreCore {
    std::mutex lock;
    std::vector<CertCtx*> elements;  // one reference each
    std::string systemName;          // empty for a memory store
    std::vector<HKEY> hives;         // where a system store is read from; the first is written
    bool readOnly = false;
    ~StoreCore();
};

struct StoreHandle {
    uint32_t magic = kMagic;
    std::atomic<int> refs{1};
    std::shared_ptr<StoreCore> core;
    static constexpr uint32_t kMagic = 0x53544F52;  // "STOR"
};

StoreHandle* storeOf(HCERTSTORE store);

std::shared_ptr<ElementSink> makeRegistrySink(HKEY hive, const std::string& storeKey);

// The registry key under which a system store keeps its entries.
std::string systemStoreKey(const std::string& name);

}  // namespace orvik::crypt
