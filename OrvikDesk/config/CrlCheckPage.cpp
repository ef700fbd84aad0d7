#include "config/CrlCheckPage.h"

namespace orvikdesk {

// "SartOnlineCRLCheck" is the name the certificate pages read; it stays misspelt.
CCrlCheckPage::CCrlCheckPage(QWidget* parent)
    : CRadioPage({IDD, "Common", "SartOnlineCRLCheck", "0", IDC_ONLINE, "证书助手启动时在线检查吊销列表", IDC_OFFLINE,
                  "证书助手启动时不在线检查吊销列表"},
                 parent) {}

}  // namespace orvikdesk
