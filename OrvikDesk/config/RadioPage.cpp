#include "config/RadioPage.h"

#include <QButtonGroup>
#include <QRadioButton>
#include <QVBoxLayout>
#include <cstdlib>

#include "app/Profile.h"

namespace orvikdesk {

CRadioPage::CRadioPage(const Setting& setting, QWidget* parent) : QWidget(parent), setting_(setting) {
    setObjectName(QString("IDD%1").arg(setting.idd));
    auto* layout = new QVBoxLayout(this);
    group_ = new QButtonGroup(this);
    int index = 0;
    for (auto [id, text] : {std::pair{setting.firstId, setting.firstText}, {setting.secondId, setting.secondText}}) {
        auto* button = new QRadioButton(QString::fromUtf8(text), this);
        button->setObjectName(QString::number(id));
        group_->addButton(button, index++);
        layout->addWidget(button);
    }
    layout->addStretch(1);
    setFocusProxy(group_->button(0));
    // Only an exact 1 checks the first button: "01" does, "yes" and a missing entry do not.
    const std::string stored = profile::read(setting.section, setting.entry, setting.fallback);
    group_->button(std::atoi(stored.c_str()) == 1 ? 0 : 1)->setChecked(true);
}

int CRadioPage::radio() const { return group_->checkedId(); }

}  // namespace orvikdesk
