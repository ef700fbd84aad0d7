#include "dialogs/FoxContactCertsDialog.h"

#include <QGroupBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <winuser.h>

#include "DigitalCertificate.h"
#include "FoxContact.h"
#include "dialogs/DialogControls.h"
#include "dialogs/DirectoryLookup.h"
#include "dialogs/StorePickerDialog.h"
#include "ui/Artwork.h"

namespace orvikdesk {

namespace {

std::string thumbprintOf(CDigitalCertificate& certificate) {
    std::string thumb;
    certificate.getThumbPrint(thumb);
    return thumb;
}

}  // namespace

CDlgFoxContactCerts::CDlgFoxContactCerts(CFoxContact& contact, QWidget* parent)
    : QDialog(parent),
      address_(QString::fromStdString(contact.email)),
      working_(contact.getCerts()),
      lookup_(new CDirectoryLookup(this)) {
    setObjectName(QString("IDD%1").arg(IDD));
    setWindowTitle(QStringLiteral("设置联系人证书"));
    auto* layout = new QVBoxLayout(this);
    auto* body = new QHBoxLayout;
    list_ = controls::reportList(this, IDC_LIST, {QStringLiteral("姓名"), QStringLiteral("截止日期")}, {240, 2});
    list_->setMinimumSize(300, 160);
    list_->setAccessibleName(QStringLiteral("联系人的证书"));
    body->addWidget(list_, 1);
    auto* buttons = new QVBoxLayout;
    system_ = controls::button(this, IDC_FROM_SYSTEM, QStringLiteral("从系统导入(&I)"));
    ldap_ = controls::button(this, IDC_LDAP, QStringLiteral("LDAP导入(&L)"));
    view_ = controls::button(this, IDC_VIEW, QStringLiteral("查看证书(&V)"));
    remove_ = controls::button(this, IDC_REMOVE, QStringLiteral("删除(&D)..."));
    setDefault_ = controls::button(this, IDC_SET_DEFAULT, QStringLiteral("设为默认值(&M)"));
    for (QPushButton* b : {system_, ldap_, view_, remove_, setDefault_}) buttons->addWidget(b);
    buttons->addStretch(1);
    body->addLayout(buttons);
    layout->addWidget(controls::group(this, QStringLiteral("设置加密证书"), body));
    ok_ = controls::addOkCancel(this, layout);

    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    connect(list_, &QTreeWidget::itemSelectionChanged, this, &CDlgFoxContactCerts::selectionChanged);
    connect(list_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
        int row = list_->indexOfTopLevelItem(item);
        if (row >= 0 && row < static_cast<int>(working_.size())) working_[static_cast<size_t>(row)]->Display();
    });
    connect(view_, &QPushButton::clicked, this, [this] {
        int row = controls::selectedRow(list_);
        if (row >= 0 && row < static_cast<int>(working_.size())) working_[static_cast<size_t>(row)]->Display();
    });
    connect(remove_, &QPushButton::clicked, this, &CDlgFoxContactCerts::removeSelected);
    connect(setDefault_, &QPushButton::clicked, this, &CDlgFoxContactCerts::setDefault);
    connect(system_, &QPushButton::clicked, this, &CDlgFoxContactCerts::fromSystem);
    connect(ldap_, &QPushButton::clicked, this, [this] {
        if (lookup_->start(address_)) setBusy(true);
    });
    connect(lookup_, &CDirectoryLookup::finished, this, &CDlgFoxContactCerts::searched);

    store_.OpenCertStore();
    store_.SetFilter("SubjectEmail", address_.toStdString().c_str());
    store_.SetFilter("KeyUsage", "Crypt");
    fill(-1);
}

CDlgFoxContactCerts::~CDlgFoxContactCerts() = default;

std::vector<CDigitalCertificate*> CDlgFoxContactCerts::certificates() const {
    std::vector<CDigitalCertificate*> out;
    for (const auto& c : working_) out.push_back(c.get());
    return out;
}

// The rows follow the working list, so row n is always its certificate n and the first the default.
void CDlgFoxContactCerts::fill(int select) {
    list_->clear();
    const QIcon icon = artwork::icon(255);
    for (size_t i = 0; i < working_.size(); ++i) {
        std::string to;
        working_[i]->getValidToDate(to);
        auto* item =
            new QTreeWidgetItem(list_, {controls::certRowText(*working_[i], i == 0), QString::fromStdString(to)});
        item->setIcon(0, icon);
    }
    if (select >= 0 && select < list_->topLevelItemCount()) list_->setCurrentItem(list_->topLevelItem(select));
    selectionChanged();
}

void CDlgFoxContactCerts::selectionChanged() {
    const bool row = controls::selectedRow(list_) >= 0;
    for (QPushButton* b : {view_, remove_, setDefault_}) b->setEnabled(row);
}

void CDlgFoxContactCerts::removeSelected() {
    int row = controls::selectedRow(list_);
    if (row < 0 || row >= static_cast<int>(working_.size())) return;
    working_.erase(working_.begin() + row);
    fill(working_.empty() ? -1 : 0);
}

void CDlgFoxContactCerts::setDefault() {
    int row = controls::selectedRow(list_);
    if (row <= 0 || row >= static_cast<int>(working_.size())) return;
    std::unique_ptr<CDigitalCertificate> chosen = std::move(working_[static_cast<size_t>(row)]);
    working_.erase(working_.begin() + row);
    working_.insert(working_.begin(), std::move(chosen));
    fill(0);
}

void CDlgFoxContactCerts::add(std::unique_ptr<CDigitalCertificate> certificate, const char* duplicate) {
    const std::string thumb = thumbprintOf(*certificate);
    for (const auto& c : working_) {
        if (thumbprintOf(*c) == thumb) {
            controls::message(this, duplicate, MB_OK);
            return;
        }
    }
    working_.push_back(std::move(certificate));
    fill(static_cast<int>(working_.size()) - 1);
}

void CDlgFoxContactCerts::fromSystem() {
    CStorePickerDialog picker(store_, this);
    if (picker.exec() == QDialog::Accepted && picker.selected())
        add(controls::copyOf(picker.selected()), "您选定的证书已经和该联系人关联！");
}

// Foxmail keeps the contact's certificates itself: nothing goes into a system store.
void CDlgFoxContactCerts::searched() {
    setBusy(false);
    if (std::unique_ptr<CDigitalCertificate> chosen = lookup_->choose())
        add(std::move(chosen), "你所选定要导入的证书已经和该联系人关联！");
}

void CDlgFoxContactCerts::reject() {
    if (!lookup_->busy()) QDialog::reject();
}

void CDlgFoxContactCerts::setBusy(bool busy) {
    for (QPushButton* b : {system_, ldap_, ok_, findChild<QPushButton*>(QString::number(IDCANCEL))})
        if (b) b->setEnabled(!busy);
}

}  // namespace orvikdesk
