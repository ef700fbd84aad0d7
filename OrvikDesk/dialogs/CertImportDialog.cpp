#include "dialogs/CertImportDialog.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <winuser.h>

#include "dialogs/DialogControls.h"
#include "ui/FileDialogFacade.h"

namespace orvikdesk {

CCertImportDialog::CCertImportDialog(QWidget* parent) : QDialog(parent) {
    setObjectName(QString("IDD%1").arg(IDD));
    setWindowTitle(QStringLiteral("导入证书"));
    auto* layout = new QVBoxLayout(this);
    auto* prompt = new QLabel(QStringLiteral("请选择要导入的证书(&F):"), this);
    layout->addWidget(prompt);
    auto [path, browse] = controls::fileRow(this, layout, IDC_PATH, IDC_BROWSE);
    path_ = path;
    prompt->setBuddy(path_);
    QPushButton* ok = controls::addOkCancel(this, layout);
    connect(ok, &QPushButton::clicked, this, &CCertImportDialog::onOk);
    connect(browse, &QPushButton::clicked, this, &CCertImportDialog::browse);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void CCertImportDialog::browse() {
    QString chosen = FileDialogFacade::open(this, "cer", "CER Files (*.cer)|*.cer||");
    if (!chosen.isEmpty()) path_->setText(chosen);
}

bool CCertImportDialog::checkPath() {
    if (path_->text().isEmpty()) {
        controls::message(this, "文件名不能为空!", MB_OK | MB_ICONEXCLAMATION);
        return false;
    }
    if (!controls::fileExists(path_->text())) {
        controls::message(this, "您所要导入的证书路径错误!", MB_OK | MB_ICONHAND);
        return false;
    }
    return true;
}

void CCertImportDialog::onOk() {
    if (checkPath()) accept();
}

void CCertImportDialog::setPath(const QString& path) { path_->setText(path); }
QString CCertImportDialog::path() const { return path_->text(); }

}  // namespace orvikdesk
