#include <mutex>

#include <cryptuiapi.h>
#include <orvik/CertificateViewer.h>
#include <orvik/CodePage.h>
#include <winbase.h>

namespace {

std::mutex& viewerLock() {
    static std::mutex lock;
    return lock;
}

orvik::CertificateViewer& installed() {
    static orvik::CertificateViewer viewer;
    return viewer;
}

}  // namespace

namespace orvik {

CertificateViewer setCertificateViewer(CertificateViewer viewer) {
    std::lock_guard guard(viewerLock());
    CertificateViewer previous = std::move(installed());
    installed() = std::move(viewer);
    return previous;
}

}  // namespace orvik

extern "C" BOOL WINAPI CryptUIDlgViewContext(DWORD contextType, const void* context, HWND owner, LPCWSTR title, DWORD,
                                             void*) {
    if (contextType != CERT_STORE_CERTIFICATE_CONTEXT || !context) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    orvik::CertificateViewer viewer;
    {
        std::lock_guard guard(viewerLock());
        viewer = installed();
    }
    if (!viewer) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    return viewer(owner, static_cast<PCCERT_CONTEXT>(context), title ? orvik::utf16ToUtf8(title) : std::string())
               ? TRUE
               : FALSE;
}
