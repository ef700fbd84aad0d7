#include "dialogs/CertPropertiesDialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "dialogs/DialogControls.h"

namespace orvikdesk {

CCertPropertiesDialog::CCertPropertiesDialog(const QString& friendlyName, QWidget* parent) : QDialog(parent) {
    setObjectName(QString("IDD%1").arg(IDD));
    setWindowTitle(QStringLiteral("证书属性"));
    auto* layout = new QVBoxLayout(this);
    auto* row = new QHBoxLayout;
    name_ = controls::edit(this, IDC_NAME);
    name_->setAccessibleName(QStringLiteral("好记的名字"));
    row->addWidget(controls::label(this, QStringLiteral("好记的名字"), name_));
    name_->setText(friendlyName);
    name_->selectAll();
    row->addWidget(name_, 1);
    layout->addLayout(row);
    QPushButton* ok = controls::addOkCancel(this, layout);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

QString CCertPropertiesDialog::friendlyName() const { return name_->text(); }

}  // namespace orvikdesk
