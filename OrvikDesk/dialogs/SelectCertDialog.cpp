#include "dialogs/SelectCertDialog.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <winuser.h>

#include "CertStore.h"
#include "dialogs/DialogControls.h"
#include "ui/Artwork.h"

namespace orvikdesk {

CDlgSelectCert::CDlgSelectCert(CCertStore& store, const QString& title, QWidget* parent)
    : QDialog(parent), store_(store) {
    setObjectName(QString("IDD%1").arg(IDD));
    setWindowTitle(title);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("选择要使用的数字证书"), this));
    list_ = new QTreeWidget(this);
    list_->setObjectName(QString::number(IDC_LIST));
    list_->setRootIsDecorated(false);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setHeaderLabels({QStringLiteral("颁发给"), QStringLiteral("颁发者"), QStringLiteral("预期目的"),
                            QStringLiteral("好记的名字"), QStringLiteral("截止日期")});
    for (int c = 0; c < 5; ++c) list_->header()->resizeSection(c, 80);
    list_->setIconSize(QSize(16, 16));
    list_->setMinimumSize(420, 200);
    list_->viewport()->installEventFilter(this);
    QIcon icon = artwork::icon(255);
    for (int i = 0; i < store_.GetCertCount(); ++i) {
        CDigitalCertificate* cert = store_.getCert(i);
        std::string name, issuer, friendly, to;
        cert->getDisplayName(name);
        cert->getIssuerCN(issuer);
        cert->getFriendlyName(friendly);
        cert->getValidToDate(to);
        auto* item =
            new QTreeWidgetItem(list_, {QString::fromStdString(name), QString::fromStdString(issuer), QString(),
                                        QString::fromStdString(friendly), QString::fromStdString(to)});
        item->setIcon(0, icon);
    }
    layout->addWidget(list_, 1);

    auto* row = new QHBoxLayout;
    view_ = controls::button(this, IDC_VIEW, QStringLiteral("查看证书..."));
    row->addWidget(view_);
    row->addStretch(1);
    layout->addLayout(row);
    ok_ = controls::addOkCancel(this, layout);
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    connect(view_, &QPushButton::clicked, this, &CDlgSelectCert::view);
    connect(list_, &QTreeWidget::itemSelectionChanged, this, &CDlgSelectCert::selectionChanged);
    connect(list_, &QTreeWidget::itemDoubleClicked, this, &CDlgSelectCert::view);
    selectionChanged();
}

void CDlgSelectCert::done(int result) {
    // Whatever was selected before a cancel is no choice.
    if (result != Accepted) selected_ = -1;
    QDialog::done(result);
}

// A click below the rows leaves no row chosen.
bool CDlgSelectCert::eventFilter(QObject* watched, QEvent* event) {
    if (watched == list_->viewport() && event->type() == QEvent::MouseButtonPress) {
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (!list_->indexAt(mouse->position().toPoint()).isValid()) list_->clearSelection();
    }
    return QDialog::eventFilter(watched, event);
}

void CDlgSelectCert::selectionChanged() {
    QList<QTreeWidgetItem*> items = list_->selectedItems();
    selected_ = items.isEmpty() ? -1 : list_->indexOfTopLevelItem(items.first());
    view_->setEnabled(selected_ >= 0);
    ok_->setEnabled(selected_ >= 0);
}

void CDlgSelectCert::view() {
    if (selected_ < 0 || selected_ >= store_.GetCertCount()) return;
    store_.getCert(selected_)->Display();
}

}  // namespace orvikdesk
