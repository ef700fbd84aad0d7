// "RA站点设置": the service sites and which one the web page shows. Added and edited sites live
// in the page's own list until the settings dialog saves it.
#pragma once

#include <QWidget>
#include <string>

#include "services/ServiceSiteList.h"

class QComboBox;
class QPushButton;

namespace orvikdesk {

class CRaSitePage : public QWidget {
    Q_OBJECT
public:
    enum { IDD = 107, IDC_SITES = 1028, IDC_ADD = 1031, IDC_MODIFY = 1029 };

    // Reads the sites from the profile.
    explicit CRaSitePage(QWidget* parent = nullptr);

    const CServiceSiteList& sites() const { return sites_; }
    // The index of the selected site in sites(); -1 when none is.
    int selectedIndex() const;
    // The selected site's name; empty when none is selected.
    std::string selectedName() const;

    void add();
    void modify();

private:
    // Shows every site's description and selects the site named `selectName`.
    void fill(const std::string& selectName);
    void selectionChanged();

    CServiceSiteList sites_;
    QComboBox* list_;
    QPushButton* modify_;
};

}  // namespace orvikdesk
