// "配置管理": the assistant's settings on five tabs, saved together when the user confirms.
#pragma once

#include <QDialog>
#include <string>

class QTabWidget;

namespace orvikdesk {

class CUpdatePage;
class CCrlCheckPage;
class CRaSitePage;
class CDefaultCertPage;
class CP11Page;

class CConfigManageDlg : public QDialog {
    Q_OBJECT
public:
    enum { IDD = 176, IDC_TABS = 1067 };
    enum { UpdateTab = 0, CrlCheckTab = 1, RaSiteTab = 2, DefaultCertTab = 3, P11Tab = 4 };

    // Every opening reads the settings afresh. An initial page outside 0..4 shows no page.
    explicit CConfigManageDlg(int initialPage, QWidget* parent = nullptr);

    CUpdatePage* updatePage() const { return update_; }
    CCrlCheckPage* crlCheckPage() const { return crlCheck_; }
    CRaSitePage* raSitePage() const { return raSite_; }
    CDefaultCertPage* defaultCertPage() const { return defaultCert_; }
    CP11Page* p11Page() const { return p11_; }

    // After a save: whether the default site's URL is not the one it was at opening, so the web
    // page has somewhere new to go.
    bool siteChanged() const { return siteChanged_; }

private:
    void onOk();
    // Writes every setting, or, when one write fails, puts back those already written.
    bool save();
    void showPage(int index);

    CUpdatePage* update_;
    CCrlCheckPage* crlCheck_;
    CRaSitePage* raSite_;
    CDefaultCertPage* defaultCert_;
    CP11Page* p11_;
    QTabWidget* tabs_;
    int initialPage_;
    std::string openedSiteUrl_;
    bool siteChanged_ = false;
};

}  // namespace orvikdesk
