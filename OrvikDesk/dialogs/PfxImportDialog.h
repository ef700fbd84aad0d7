// "导入证书": a PKCS #12 file, its protection password and the key device. The caller checks
// the file and does the import.
#pragma once

#include <QDialog>

class QComboBox;
class QLineEdit;

namespace orvikdesk {

class CPfxImportDialog : public QDialog {
    Q_OBJECT
public:
    enum { IDD = 160, IDC_PATH = 1016, IDC_BROWSE = 1003, IDC_PASSWORD = 1015, IDC_DEVICE = 1014 };

    explicit CPfxImportDialog(QWidget* parent = nullptr);

    void setPath(const QString& path);
    QString path() const;
    QString password() const;
    QString device() const;  // the provider name of the chosen device; empty for the empty entry
    // After a wrong password: the password selected, ready to be typed again.
    void focusPassword();

    // The path is empty / names no existing file.
    bool pathEmpty() const;
    bool fileExists() const;

    // The provider name the import and the files use for the software key store, and the name the
    // device list shows for it.
    static QString defaultDevice();
    static QString softwareStoreName();
    // The tokens present, by label: a key imported onto one never leaves it.
    static QStringList tokenDevices();

private:
    void browse();

    QLineEdit* path_;
    QLineEdit* password_;
    QComboBox* device_;
};

}  // namespace orvikdesk
