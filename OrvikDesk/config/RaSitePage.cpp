#include "config/RaSitePage.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "config/SiteEditDlg.h"
#include "dialogs/DialogControls.h"

namespace orvikdesk {

namespace {

// An empty name shows the URL instead.
std::string shownName(const QString& name, const QString& url) { return (name.isEmpty() ? url : name).toStdString(); }

}  // namespace

CRaSitePage::CRaSitePage(QWidget* parent) : QWidget(parent) {
    setObjectName(QString("IDD%1").arg(IDD));
    auto* layout = new QVBoxLayout(this);
    list_ = new QComboBox(this);
    list_->setObjectName(QString::number(IDC_SITES));
    list_->setAccessibleName(QStringLiteral("缺省的证书注册服务中心站点"));
    layout->addWidget(controls::label(this, QStringLiteral("缺省的证书注册服务中心站点(&S)"), list_));
    list_->setMinimumWidth(260);
    layout->addWidget(list_);
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    QPushButton* add = controls::button(this, IDC_ADD, QStringLiteral("添加(&A)..."));
    modify_ = controls::button(this, IDC_MODIFY, QStringLiteral("修改(&M)..."));
    row->addWidget(add);
    row->addWidget(modify_);
    layout->addLayout(row);
    layout->addStretch(1);
    setFocusProxy(list_);
    connect(add, &QPushButton::clicked, this, &CRaSitePage::add);
    connect(modify_, &QPushButton::clicked, this, &CRaSitePage::modify);
    connect(list_, &QComboBox::currentIndexChanged, this, &CRaSitePage::selectionChanged);
    fill(sites_.defaultName());
}

int CRaSitePage::selectedIndex() const { return list_->currentIndex(); }

std::string CRaSitePage::selectedName() const {
    int index = selectedIndex();
    return index >= 0 ? sites_.sites()[static_cast<size_t>(index)].name : std::string();
}

void CRaSitePage::fill(const std::string& selectName) {
    QSignalBlocker quiet(list_);
    list_->clear();
    int selected = -1;
    const auto& sites = sites_.sites();
    for (size_t i = 0; i < sites.size(); ++i) {
        list_->addItem(QString::fromStdString(sites[i].description));
        if (sites[i].name == selectName) selected = static_cast<int>(i);
    }
    list_->setCurrentIndex(selected);
    selectionChanged();
}

void CRaSitePage::selectionChanged() { modify_->setEnabled(selectedIndex() >= 0); }

// The new site is only listed: it becomes the default when the user selects it and saves.
void CRaSitePage::add() {
    CSiteEditDlg edit(QStringLiteral("添加定制的RA网站"), QString(), QString(), this);
    if (edit.exec() != QDialog::Accepted) return;
    const std::string keep = selectedName();
    sites_.Add(edit.url().toStdString(), shownName(edit.name(), edit.url()));
    fill(keep);
}

void CRaSitePage::modify() {
    const int index = selectedIndex();
    if (index < 0) return;
    const CServiceSiteList::Site site = sites_.sites()[static_cast<size_t>(index)];
    CSiteEditDlg edit(QStringLiteral("编辑") + QString::fromStdString(site.description),
                      QString::fromStdString(site.url), QString::fromStdString(site.description), this);
    if (edit.exec() != QDialog::Accepted) return;
    sites_.Modify(static_cast<size_t>(index), edit.url().toStdString(), shownName(edit.name(), edit.url()));
    fill(site.name);
}

}  // namespace orvikdesk
