#include "dialogs/PendingDialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace orvikdesk {

CPendingDialog::CPendingDialog(int idd, const QString& caption, const QString& file, QWidget* parent)
    : QDialog(parent) {
    setObjectName(QString("IDD%1").arg(idd));
    setWindowTitle(caption);
    auto* layout = new QVBoxLayout(this);
    auto* text = new QLabel(QStringLiteral("此版本尚未提供该功能。"), this);
    text->setObjectName("text");
    layout->addWidget(text);
    if (!file.isEmpty()) {
        auto* name = new QLabel(QStringLiteral("文件：") + file, this);
        name->setObjectName("file");
        name->setTextInteractionFlags(Qt::TextSelectableByMouse);
        layout->addWidget(name);
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("确定"));
    buttons->button(QDialogButtonBox::Ok)->setObjectName("1");
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    layout->addWidget(buttons);
}

}  // namespace orvikdesk
