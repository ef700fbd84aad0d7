// Page 133: what the server offers, and the user's choice among the items newer than what is
// installed.
#pragma once

#include <string>
#include <vector>

#include "WizardPage.h"

class QListWidgetItem;

class ChoosePage : public WizardPage {
    Q_OBJECT
public:
    enum { IDD = 133, IDC_SUPPORTED = 1008, IDC_OFFERS = 1003, IDC_NEXT = 1000 };

    // `chosen` is checked again (after "上一步").
    ChoosePage(const std::vector<std::string>& supported, const std::vector<std::string>& offers,
               const std::vector<std::string>& chosen, QWidget* parent = nullptr);

    // The checked items' texts, in the order they were checked.
    const std::vector<std::string>& chosen() const { return chosen_; }

private:
    void itemChanged(QListWidgetItem* item);

    std::vector<std::string> chosen_;
    QPushButton* next_;
};
