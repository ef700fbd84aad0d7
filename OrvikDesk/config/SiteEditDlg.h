// A service site's URL and shown name, for adding or editing one.
#pragma once

#include <QDialog>

class QLineEdit;

namespace orvikdesk {

class CSiteEditDlg : public QDialog {
    Q_OBJECT
public:
    enum { IDD = 180, IDC_URL = 1019, IDC_NAME = 1032 };

    CSiteEditDlg(const QString& title, const QString& url, const QString& name, QWidget* parent = nullptr);

    QString url() const;
    QString name() const;

private:
    QLineEdit* url_;
    QLineEdit* name_;
};

}  // namespace orvikdesk
