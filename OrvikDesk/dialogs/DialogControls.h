// The pieces the certificate dialogs are made of: controls named by their resource numbers, the
// "确定"/"取消" row, and the program's message box with its caption.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <memory>
#include <string>

#include <orvik/Secret.h>

class CDigitalCertificate;
class QBoxLayout;
class QDialog;
class QGroupBox;
class QLabel;
class QLayout;
class QLineEdit;
class QPushButton;
class QTreeWidget;
class QWidget;

namespace orvikdesk::controls {

// An edit named `id`; masked for passwords.
QLineEdit* edit(QWidget* parent, int id, bool masked = false);
// A label that names `buddy`: its mnemonic ("保护口令(&P)：") moves the focus there, and screen
// readers announce the field by it.
QLabel* label(QWidget* parent, const QString& text, QWidget* buddy);
// A push button named `id` that never becomes the default by the focus.
QPushButton* button(QWidget* parent, int id, const QString& text);
// A file name's edit with its "..." button beside it, as a row of `layout`. A "..." button is
// announced as "浏览".
struct FileRow {
    QLineEdit* edit;
    QPushButton* browse;
};
// browseText other than "..." gives a button of its own width.
FileRow fileRow(QWidget* parent, QBoxLayout* layout, int editId, int browseId,
                const QString& browseText = QStringLiteral("..."));
// A titled group around a layout.
QGroupBox* group(QWidget* parent, const QString& title, QLayout* body);
// "确定" (1) and "取消" (2) at the right of a row; "确定" is the default button. Cancel rejects,
// OK is for the caller to connect.
QPushButton* addOkCancel(QDialog* dialog, QBoxLayout* layout, const QString& okText = QStringLiteral("确定"));

// A report list named `id`: whole rows, one selected at a time, the certificate icon's size, and
// a press outside the rows selects none.
QTreeWidget* reportList(QWidget* parent, int id, const QStringList& columns, const QList<int>& widths);
// The selected row of a report list; -1 when none.
int selectedRow(const QTreeWidget* list);

// The name lists show for a certificate: its display name.
QString displayName(CDigitalCertificate& certificate);
// A copy the caller owns; null for null.
std::unique_ptr<CDigitalCertificate> copyOf(const CDigitalCertificate* certificate);
// A list row's text for a certificate, with " (默认证书)" after the default one.
QString certRowText(CDigitalCertificate& certificate, bool isDefault);
extern const QString kDefaultMarker;

// A message box owned by `owner` with the caption "证书助手" (or `caption`): the answer.
int message(QWidget* owner, const char* text, unsigned type, const char* caption = "证书助手");

// A password as the library takes it (UTF-8), wiped when it goes.
class Secret {
public:
    explicit Secret(const QString& text);
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
    const char* c_str() const { return text_.c_str(); }
    const orvik::SecretString& text() const { return text_; }

private:
    orvik::SecretString text_;
};

bool fileExists(const QString& path);

}  // namespace orvikdesk::controls
