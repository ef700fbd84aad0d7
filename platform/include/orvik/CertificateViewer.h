// Where CryptUIDlgViewContext goes: the program's own certificate window. Modal: returns when the
// user closes it.
#pragma once

#include <functional>
#include <string>

#include "../wincrypt.h"

namespace orvik {

using CertificateViewer = std::function<bool(HWND owner, PCCERT_CONTEXT certificate, const std::string& title)>;

// Installs the viewer for the process and returns the one it replaces; an empty one removes it.
ORVIK_PLATFORM_API CertificateViewer setCertificateViewer(CertificateViewer viewer);

}  // namespace orvik
