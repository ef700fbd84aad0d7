#include "dialogs/DerExportDialog.h"

namespace orvikdesk {

// .crt and .der name the same DER form; only a name without either gets ".cer".
CDerExportDialog::CDerExportDialog(QWidget* parent)
    : CExportDialog(IDD, QStringLiteral("证书导出为(&F):"), {".cer", ".crt", ".der"}, "CER Files (*.cer)|*.cer||",
                    parent) {}

}  // namespace orvikdesk
