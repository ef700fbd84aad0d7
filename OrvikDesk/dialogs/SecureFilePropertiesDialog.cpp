#include "dialogs/SecureFilePropertiesDialog.h"

#include <QFile>
#include <QFormLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include <winuser.h>

#include "SecureFile.h"
#include "app/CommandLine.h"
#include "dialogs/DialogControls.h"

namespace orvikdesk {

namespace {

constexpr qint64 kTagSize = 16, kHeaderEnd = 664, kRecordSize = 1688;

// Records counted as the reader finds them: 1688-byte blocks from offset 664 that begin with
// the record tag, whatever the file's own tag is.
int countRecords(QFile& file) {
    int count = 0;
    for (qint64 at = kHeaderEnd;; at += kRecordSize) {
        if (!file.seek(at)) break;
        QByteArray block = file.read(kRecordSize);
        if (block.size() < kRecordSize || !block.startsWith("OrvikEncStruct")) break;
        ++count;
    }
    return count;
}

}  // namespace

CSecureFilePropertiesDialog::CSecureFilePropertiesDialog(const std::string& path, QWidget* parent) : QDialog(parent) {
    setObjectName(QString("IDD%1").arg(IDD));
    setWindowTitle(QStringLiteral("安全文件属性"));
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    auto field = [this, form](const QString& label, int id) {
        auto* value = new QLabel(this);
        value->setObjectName(QString::number(id));
        value->setTextInteractionFlags(Qt::TextSelectableByMouse);
        form->addRow(label, value);
        return value;
    };
    type_ = field(QStringLiteral("安全文件类型："), IDC_TYPE);
    extension_ = field(QStringLiteral("原始文件类型："), IDC_EXTENSION);
    size_ = field(QStringLiteral("原始文件大小："), IDC_SIZE);
    algorithm_ = field(QStringLiteral("加密算法："), IDC_ALGORITHM);
    protection_ = field(QStringLiteral("密码保护设置："), IDC_PROTECTION);
    recipients_ = new QListWidget(this);
    recipients_->setObjectName(QString::number(IDC_RECIPIENTS));
    recipients_->setMinimumSize(300, 100);
    recipients_->setAccessibleName(QStringLiteral("加密者证书信息"));
    form->addRow(QStringLiteral("加密者证书信息："), recipients_);
    layout->addLayout(form);
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    QPushButton* ok = controls::button(this, IDOK, QStringLiteral("确定"));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    row->addWidget(ok);
    layout->addLayout(row);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    read(trimPath(path));
}

void CSecureFilePropertiesDialog::read(const std::string& path) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) {
        type_->setText(QStringLiteral("文件格式错误!"));
        return;
    }
    QByteArray raw = file.read(kTagSize);
    const QByteArray tag = raw.left(raw.indexOf('\0') < 0 ? raw.size() : raw.indexOf('\0'));
    if (tag == "OrvikFileType=1;") {
        type_->setText(QStringLiteral("加密文件(Version 1.0)"));
        algorithm_->setText(QStringLiteral("RSA-3DES"));
        protection_->setText(QStringLiteral("未设置密码保护"));
        return;
    }
    if (countRecords(file) == 0) {
        type_->setText(QStringLiteral("文件格式错误!"));
        return;
    }
    if (tag != "OrvikFileType=2;") return;  // records behind a foreign tag: nothing to say of them
    file.close();
    CSecureFile::Header header;
    if (!CSecureFile::ReadHeader(path, header) || header.version != 2) {
        type_->setText(QStringLiteral("文件格式错误!"));
        return;
    }
    type_->setText(QStringLiteral("加密文件(Version 2.0)"));
    extension_->setText(QString::fromStdString(header.extension));
    size_->setText(QString::asprintf("%d Byte", header.size));
    algorithm_->setText(QStringLiteral("RSA-") + QString::fromStdString(header.algorithm));
    protection_->setText(header.passwordSet ? QStringLiteral("已设置密码保护") : QStringLiteral("未设置密码保护"));
    // Each name goes on top, so the encryptor's own certificate (the first record) ends last.
    for (const auto& record : header.records) recipients_->insertItem(0, QString::fromStdString(record.displayName));
}

}  // namespace orvikdesk
