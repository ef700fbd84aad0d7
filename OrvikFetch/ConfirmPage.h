// Page 130: the chosen items once more before the download.
#pragma once

#include <string>
#include <vector>

#include "WizardPage.h"

class ConfirmPage : public WizardPage {
    Q_OBJECT
public:
    enum { IDD = 130, IDC_CHOSEN = 1009, IDC_BACK = 1001, IDC_NEXT = 1000 };

    // exec() gives IDC_NEXT, IDC_BACK, or 0 when cancelled.
    explicit ConfirmPage(const std::vector<std::string>& chosen, QWidget* parent = nullptr);
};
