// "导入证书": a certificate file for the other people's or the authorities' store. OK refuses an
// empty path and a path that names no file.
#pragma once

#include <QDialog>

class QLineEdit;

namespace orvikdesk {

class CCertImportDialog : public QDialog {
    Q_OBJECT
public:
    enum { IDD = 174, IDC_PATH = 1011, IDC_BROWSE = 1003 };

    explicit CCertImportDialog(QWidget* parent = nullptr);

    void setPath(const QString& path);
    QString path() const;

    // The checks of OK, with their messages; true when the path may be imported.
    bool checkPath();

private:
    void browse();
    void onOk();

    QLineEdit* path_;
};

}  // namespace orvikdesk
