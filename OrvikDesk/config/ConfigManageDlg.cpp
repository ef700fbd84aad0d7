#include "config/ConfigManageDlg.h"

#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QVBoxLayout>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <windows.h>

#include "app/Profile.h"
#include "config/CrlCheckPage.h"
#include "config/DefaultCertPage.h"
#include "config/P11Page.h"
#include "config/RaSitePage.h"
#include "config/UpdatePage.h"
#include "dialogs/DialogControls.h"
#include "services/DefaultEncCert.h"
#include "services/ServiceSiteList.h"

namespace orvikdesk {

namespace {

constexpr const char* kSites = "ServiceURL";

void restore(const std::string& section, const std::string& entry, const std::optional<std::string>& value) {
    if (value)
        profile::write(section, entry, *value);
    else
        profile::erase(section, entry);
}

// The writes of one confirmation. Each write first records how to put back what it is about to
// change, so a write that fails halfway is undone too.
class SettingsWrite {
public:
    bool value(const std::string& section, const std::string& entry, const std::string& text) {
        undo_.push_back([section, entry, before = profile::find(section, entry)] { restore(section, entry, before); });
        return profile::write(section, entry, text);
    }

    bool sites(const CServiceSiteList& list) {
        std::set<std::string> added;
        for (const auto& site : list.sites()) added.insert(site.name);
        CServiceSiteList before;
        for (const auto& site : before.sites()) added.erase(site.name);
        undo_.push_back([before, added] {
            for (const std::string& name : added) profile::eraseSection(std::string(kSites) + "\\" + name);
            before.Save();
        });
        return list.Save();
    }

    bool defaultCertificate(CDigitalCertificate* certificate) {
        undo_.push_back([before = profile::find(defaultcert::kSection, defaultcert::kEntry)] {
            restore(defaultcert::kSection, defaultcert::kEntry, before);
        });
        return defaultcert::store(certificate);
    }

    void undo() {
        for (auto it = undo_.rbegin(); it != undo_.rend(); ++it) (*it)();
        undo_.clear();
    }

private:
    std::vector<std::function<void()>> undo_;
};

}  // namespace

CConfigManageDlg::CConfigManageDlg(int initialPage, QWidget* parent) : QDialog(parent), initialPage_(initialPage) {
    setObjectName(QString("IDD%1").arg(IDD));
    setWindowTitle(QStringLiteral("配置管理"));
    auto* layout = new QVBoxLayout(this);
    tabs_ = new QTabWidget(this);
    tabs_->setObjectName(QString::number(IDC_TABS));
    update_ = new CUpdatePage(tabs_);
    crlCheck_ = new CCrlCheckPage(tabs_);
    raSite_ = new CRaSitePage(tabs_);
    defaultCert_ = new CDefaultCertPage(tabs_);
    p11_ = new CP11Page(tabs_);
    const std::pair<QWidget*, QString> pages[] = {{update_, QStringLiteral("更新设置")},
                                                  {crlCheck_, QStringLiteral("CRL检查设置")},
                                                  {raSite_, QStringLiteral("RA站点设置")},
                                                  {defaultCert_, QStringLiteral("设置默认加密证书")},
                                                  {p11_, QStringLiteral("浏览器和邮件程序")}};
    for (const auto& [page, text] : pages) {
        page->setContentsMargins(4, 4, 4, 4);
        tabs_->addTab(page, text);
    }
    // Every tab's name in sight: the dialog grows to the tab bar rather than scroll it.
    tabs_->tabBar()->setUsesScrollButtons(false);
    tabs_->tabBar()->setAccessibleName(QStringLiteral("配置管理"));
    layout->addWidget(tabs_, 1);
    QPushButton* ok = controls::addOkCancel(this, layout);
    connect(ok, &QPushButton::clicked, this, &CConfigManageDlg::onOk);
    connect(tabs_, &QTabWidget::currentChanged, this, &CConfigManageDlg::showPage);
    // With no page shown at first, a click on the current tab must still bring its page up.
    connect(tabs_, &QTabWidget::tabBarClicked, this, &CConfigManageDlg::showPage);
    openedSiteUrl_ = raSite_->sites().defaultUrl();

    if (initialPage_ >= 0 && initialPage_ < tabs_->count()) {
        tabs_->setCurrentIndex(initialPage_);
        tabs_->currentWidget()->setFocus();
    } else {
        for (int i = 0; i < tabs_->count(); ++i) tabs_->widget(i)->hide();
    }
}

void CConfigManageDlg::showPage(int index) {
    QWidget* page = tabs_->widget(index);
    if (!page) return;
    page->show();
    page->setFocus();
}

void CConfigManageDlg::onOk() {
    if (!save()) {
        controls::message(this, "保存设置失败！", MB_OK | MB_ICONHAND);
        return;
    }
    siteChanged_ = CServiceSiteList().defaultUrl() != openedSiteUrl_;
    // The other programs' files are no setting to put back: what could not be changed is told.
    const QString left = p11_->apply();
    if (!left.isEmpty()) controls::message(this, left.toUtf8().constData(), MB_OK | MB_ICONEXCLAMATION);
    accept();
}

bool CConfigManageDlg::save() {
    SettingsWrite write;
    bool ok = write.value(update_->section(), update_->entry(), update_->value()) &&
              write.value(crlCheck_->section(), crlCheck_->entry(), crlCheck_->value()) &&
              write.sites(raSite_->sites()) &&
              // With no site selected the stored default stays what it was.
              (raSite_->selectedIndex() < 0 || write.value(kSites, "Default", raSite_->selectedName())) &&
              (!defaultCert_->chosen() || write.defaultCertificate(defaultCert_->certificate()));
    if (!ok) write.undo();
    return ok;
}

}  // namespace orvikdesk
