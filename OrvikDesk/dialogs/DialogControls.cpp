#include "dialogs/DialogControls.h"

#include <QBoxLayout>
#include <QDialog>
#include <QGroupBox>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <string>

#include <openssl/crypto.h>

#include <winuser.h>

#include "ui/MessageBoxFacade.h"

namespace orvikdesk::controls {

QLineEdit* edit(QWidget* parent, int id, bool masked) {
    auto* e = new QLineEdit(parent);
    e->setObjectName(QString::number(id));
    if (masked) e->setEchoMode(QLineEdit::Password);
    e->setMinimumWidth(220);
    return e;
}

QPushButton* button(QWidget* parent, int id, const QString& text) {
    auto* b = new QPushButton(text, parent);
    b->setObjectName(QString::number(id));
    b->setAutoDefault(false);
    return b;
}

FileRow fileRow(QWidget* parent, QBoxLayout* layout, int editId, int browseId, const QString& browseText) {
    auto* row = new QHBoxLayout;
    FileRow made{edit(parent, editId), button(parent, browseId, browseText)};
    if (browseText == QStringLiteral("...")) made.browse->setFixedWidth(32);
    row->addWidget(made.edit, 1);
    row->addWidget(made.browse);
    layout->addLayout(row);
    return made;
}

QGroupBox* group(QWidget* parent, const QString& title, QLayout* body) {
    auto* box = new QGroupBox(title, parent);
    box->setLayout(body);
    return box;
}

QPushButton* addOkCancel(QDialog* dialog, QBoxLayout* layout, const QString& okText) {
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    QPushButton* ok = button(dialog, IDOK, okText);
    ok->setDefault(true);
    QPushButton* cancel = button(dialog, IDCANCEL, QStringLiteral("取消"));
    QObject::connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);
    row->addWidget(ok);
    row->addWidget(cancel);
    layout->addLayout(row);
    return ok;
}

int message(QWidget* owner, const char* text, unsigned type, const char* caption) {
    return MessageBoxFacade::show(owner, QString::fromUtf8(text), QString::fromUtf8(caption), type);
}

Secret::~Secret() { OPENSSL_cleanse(text_.data(), text_.size()); }

bool fileExists(const QString& path) {
    QFileInfo info(path);
    return !path.isEmpty() && info.exists() && info.isFile();
}

}  // namespace orvikdesk::controls
