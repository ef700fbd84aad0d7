// "CRL检查设置": whether the certificate lists check revocation online when they refresh.
#pragma once

#include "config/RadioPage.h"

namespace orvikdesk {

class CCrlCheckPage : public CRadioPage {
    Q_OBJECT
public:
    enum { IDD = 204, IDC_ONLINE = 1017, IDC_OFFLINE = 1018 };

    explicit CCrlCheckPage(QWidget* parent = nullptr);
};

}  // namespace orvikdesk
