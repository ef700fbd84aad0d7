// "更新设置": whether the assistant looks for updates when it starts.
#pragma once

#include "config/RadioPage.h"

namespace orvikdesk {

class CUpdatePage : public CRadioPage {
    Q_OBJECT
public:
    enum { IDD = 102, IDC_CHECK = 1020, IDC_NO_CHECK = 1019 };

    explicit CUpdatePage(QWidget* parent = nullptr);
};

}  // namespace orvikdesk
