// Reference counting and the methods of the SDK's interfaces that the system never calls: those
// answer MAPI_E_NO_SUPPORT, so nothing pretends to work that does not.
#pragma once

#include <atomic>
#include <new>

#include <wab.h>

namespace orvik::wab {

template <class Interface>
class ComObject : public Interface {
public:
    ComObject() = default;
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;
    virtual ~ComObject() = default;

    HRESULT WINAPI QueryInterface(REFIID, void** object) override {
        if (object) *object = nullptr;
        return MAPI_E_INTERFACE_NOT_SUPPORTED;
    }
    ULONG WINAPI AddRef() override { return ++references_; }
    ULONG WINAPI Release() override {
        ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }

private:
    std::atomic<ULONG> references_{1};
};

template <class Interface>
class PropObject : public ComObject<Interface> {
public:
    HRESULT WINAPI GetLastError(HRESULT, ULONG, LPMAPIERROR* error) override {
        if (error) *error = nullptr;
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT WINAPI SaveChanges(ULONG) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI GetProps(LPSPropTagArray, ULONG, ULONG*, LPSPropValue*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI GetPropList(ULONG, LPSPropTagArray*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI OpenProperty(ULONG, LPCIID, ULONG, ULONG, LPUNKNOWN*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI SetProps(ULONG, LPSPropValue, LPSPropProblemArray*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI DeleteProps(LPSPropTagArray, LPSPropProblemArray*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI CopyTo(ULONG, LPCIID, LPSPropTagArray, ULONG_PTR, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                          LPSPropProblemArray*) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT WINAPI CopyProps(LPSPropTagArray, ULONG_PTR, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                             LPSPropProblemArray*) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT WINAPI GetNamesFromIDs(LPSPropTagArray*, LPGUID, ULONG, ULONG*, LPMAPINAMEID**) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT WINAPI GetIDsFromNames(ULONG, LPMAPINAMEID*, ULONG, LPSPropTagArray*) override { return MAPI_E_NO_SUPPORT; }
};

// Runs a method body; nothing thrown crosses the interface.
template <class Body>
HRESULT guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    } catch (...) {
        return MAPI_E_CALL_FAILED;
    }
}

}  // namespace orvik::wab
