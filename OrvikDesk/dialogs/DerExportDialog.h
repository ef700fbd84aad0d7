// "导出证书" of a certificate alone, as a DER file.
#pragma once

#include "dialogs/ExportDialog.h"

namespace orvikdesk {

class CDerExportDialog : public CExportDialog {
    Q_OBJECT
public:
    enum { IDD = 173 };

    explicit CDerExportDialog(QWidget* parent = nullptr);
};

}  // namespace orvikdesk
