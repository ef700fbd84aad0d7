#include "dialogs/PfxImportDialog.h"

#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <wincrypt.h>

#include "dialogs/DialogControls.h"
#include "ui/FileDialogFacade.h"

namespace orvikdesk {

QString CPfxImportDialog::defaultDevice() { return QStringLiteral("Microsoft Enhanced Cryptographic Provider v1.0"); }

QString CPfxImportDialog::softwareStoreName() { return QStringLiteral("本机软件密钥库"); }

QStringList CPfxImportDialog::tokenDevices() {
    QStringList out;
    char name[512];
    for (DWORD i = 0;; ++i) {
        DWORD size = sizeof name, type = 0;
        if (!CryptEnumProvidersA(i, nullptr, 0, &type, name, &size)) break;
        HCRYPTPROV prov = 0;
        DWORD implementation = 0, length = sizeof implementation;
        // The software providers stand for the one default entry; every token is a device.
        if (CryptAcquireContextA(&prov, nullptr, name, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
            if (CryptGetProvParam(prov, PP_IMPTYPE, reinterpret_cast<BYTE*>(&implementation), &length, 0) &&
                implementation == CRYPT_IMPL_HARDWARE)
                out << QString::fromUtf8(name);
            CryptReleaseContext(prov, 0);
        }
    }
    return out;
}

CPfxImportDialog::CPfxImportDialog(QWidget* parent) : QDialog(parent) {
    setObjectName(QString("IDD%1").arg(IDD));
    setWindowTitle(QStringLiteral("导入证书"));
    auto* layout = new QVBoxLayout(this);
    QLabel* fileLabel = new QLabel(QStringLiteral("请选择要导入的个人证书文件（.PFX）(&F)："), this);
    layout->addWidget(fileLabel);
    auto [path, browse] = controls::fileRow(this, layout, IDC_PATH, IDC_BROWSE);
    path_ = path;
    fileLabel->setBuddy(path_);

    auto* grid = new QGridLayout;
    password_ = controls::edit(this, IDC_PASSWORD, true);
    grid->addWidget(controls::label(this, QStringLiteral("保护口令(&P)："), password_), 0, 0);
    grid->addWidget(password_, 0, 1);
    device_ = new QComboBox(this);
    device_->setObjectName(QString::number(IDC_DEVICE));
    grid->addWidget(controls::label(this, QStringLiteral("选择导入设备(&D)："), device_), 1, 0);
    // The software store is shown by what it is; the import and the files keep the provider's name.
    device_->addItem(softwareStoreName(), defaultDevice());
    for (const QString& token : tokenDevices()) device_->addItem(token, token);
    device_->addItem(QString(), QString());
    device_->setCurrentIndex(0);
    device_->setAccessibleName(QStringLiteral("选择导入设备"));
    grid->addWidget(device_, 1, 1);
    layout->addLayout(grid);

    QPushButton* ok = controls::addOkCancel(this, layout);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(browse, &QPushButton::clicked, this, &CPfxImportDialog::browse);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void CPfxImportDialog::browse() {
    QString chosen = FileDialogFacade::open(this, "pfx", "PFX Files (*.pfx)|*.pfx||");
    if (!chosen.isEmpty()) path_->setText(chosen);
}

void CPfxImportDialog::setPath(const QString& path) { path_->setText(path); }
QString CPfxImportDialog::path() const { return path_->text(); }
QString CPfxImportDialog::password() const { return password_->text(); }
QString CPfxImportDialog::device() const { return device_->currentData().toString(); }
void CPfxImportDialog::focusPassword() {
    password_->setFocus();
    password_->selectAll();
}
bool CPfxImportDialog::pathEmpty() const { return path_->text().isEmpty(); }
bool CPfxImportDialog::fileExists() const { return controls::fileExists(path_->text()); }

}  // namespace orvikdesk
