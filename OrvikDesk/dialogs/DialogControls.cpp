#include "dialogs/DialogControls.h"

#include <QBoxLayout>
#include <QDialog>
#include <QGroupBox>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QTreeWidget>
#include <string>

#include <QByteArray>

#include <winuser.h>

#include "DigitalCertificate.h"
#include "ui/MessageBoxFacade.h"

namespace orvikdesk::controls {

namespace {

class EmptyClickClears : public QObject {
public:
    explicit EmptyClickClears(QTreeWidget* list) : QObject(list), list_(list) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::MouseButtonPress) {
            auto* mouse = static_cast<QMouseEvent*>(event);
            if (!list_->indexAt(mouse->position().toPoint()).isValid()) {
                list_->clearSelection();
                list_->setCurrentItem(nullptr);
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QTreeWidget* list_;
};

}  // namespace

const QString kDefaultMarker = QStringLiteral(" (默认证书)");

QLineEdit* edit(QWidget* parent, int id, bool masked) {
    auto* e = new QLineEdit(parent);
    e->setObjectName(QString::number(id));
    if (masked) e->setEchoMode(QLineEdit::Password);
    e->setMinimumWidth(220);
    return e;
}

QLabel* label(QWidget* parent, const QString& text, QWidget* buddy) {
    auto* made = new QLabel(text, parent);
    made->setBuddy(buddy);
    return made;
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
    if (browseText == QStringLiteral("...")) {
        made.browse->setFixedWidth(32);
        made.browse->setAccessibleName(QStringLiteral("浏览"));
        made.browse->setToolTip(QStringLiteral("浏览"));
    }
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

Secret::Secret(const QString& text) {
    QByteArray utf8 = text.toUtf8();
    text_.assign(utf8.constData(), static_cast<size_t>(utf8.size()));
    orvik::wipeMemory(utf8.data(), static_cast<size_t>(utf8.size()));
}

bool fileExists(const QString& path) {
    QFileInfo info(path);
    return !path.isEmpty() && info.exists() && info.isFile();
}

QTreeWidget* reportList(QWidget* parent, int id, const QStringList& columns, const QList<int>& widths) {
    auto* list = new QTreeWidget(parent);
    list->setObjectName(QString::number(id));
    list->setRootIsDecorated(false);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setAllColumnsShowFocus(true);
    list->setIconSize(QSize(16, 16));
    list->setHeaderLabels(columns);
    for (int c = 0; c < widths.size() && c < columns.size(); ++c) list->header()->resizeSection(c, widths[c]);
    list->viewport()->installEventFilter(new EmptyClickClears(list));
    return list;
}

int selectedRow(const QTreeWidget* list) {
    const QList<QTreeWidgetItem*> items = list->selectedItems();
    return items.isEmpty() ? -1 : list->indexOfTopLevelItem(items.first());
}

QString displayName(CDigitalCertificate& certificate) {
    std::string name;
    certificate.getDisplayName(name);
    return QString::fromStdString(name);
}

std::unique_ptr<CDigitalCertificate> copyOf(const CDigitalCertificate* certificate) {
    return certificate ? std::make_unique<CDigitalCertificate>(*certificate) : nullptr;
}

QString certRowText(CDigitalCertificate& certificate, bool isDefault) {
    return isDefault ? displayName(certificate) + kDefaultMarker : displayName(certificate);
}

}  // namespace orvikdesk::controls
