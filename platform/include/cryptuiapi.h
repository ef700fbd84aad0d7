// The certificate viewer. The program installs the window that answers it
// (orvik/CertificateViewer.h); with none installed the call fails with ERROR_NOT_SUPPORTED.
#pragma once

#include "wincrypt.h"

#define CERT_STORE_CERTIFICATE_CONTEXT 1

extern "C" {

ORVIK_PLATFORM_API BOOL WINAPI CryptUIDlgViewContext(DWORD contextType, const void* context, HWND owner, LPCWSTR title,
                                                     DWORD flags, void* reserved);

}  // extern "C"
