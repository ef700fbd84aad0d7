// The dialog of a workflow that comes with a later version of the program: it keeps the dialog's
// number and caption, names the file it was given and says that the function is not there yet.
#pragma once

#include <QDialog>

namespace orvikdesk {

class CPendingDialog : public QDialog {
    Q_OBJECT
public:
    CPendingDialog(int idd, const QString& caption, const QString& file, QWidget* parent = nullptr);
};

}  // namespace orvikdesk
