#include "ElementObject.h"

#include <cstring>
#include <mutex>

#include <objbase.h>

namespace orvik::storage {

ElementObject::ElementObject(std::shared_ptr<CompoundFile> file, Element& element, DWORD mode)
    : file_(std::move(file)), element_(element), mode_(mode) {
    element_.open = true;
}

ElementObject::~ElementObject() {
    std::lock_guard lock(file_->mutex());
    element_.open = false;
}

HRESULT ElementObject::stat(STATSTG* out, DWORD flags, std::u16string_view name, DWORD type) const {
    if (!out) return STG_E_INVALIDPOINTER;
    if (flags & ~static_cast<DWORD>(STATFLAG_NONAME | STATFLAG_NOOPEN)) return STG_E_INVALIDFLAG;
    STATSTG result{};
    result.type = type;
    result.grfMode = mode_;
    if (type == STGTY_STREAM) {
        result.cbSize.QuadPart = element_.bytes.size();
    } else {
        result.clsid = clsidFromBytes(element_.clsid);
    }
    if (!(flags & STATFLAG_NONAME)) {
        auto* copy = static_cast<OLECHAR*>(CoTaskMemAlloc((name.size() + 1) * sizeof(OLECHAR)));
        if (!copy) return STG_E_INSUFFICIENTMEMORY;
        std::memcpy(copy, name.data(), name.size() * sizeof(OLECHAR));
        copy[name.size()] = u'\0';
        result.pwcsName = copy;
    }
    *out = result;
    return S_OK;
}

}  // namespace orvik::storage
