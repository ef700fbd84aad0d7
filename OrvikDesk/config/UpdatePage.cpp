#include "config/UpdatePage.h"

namespace orvikdesk {

// The update library reads the same entry at start-up.
CUpdatePage::CUpdatePage(QWidget* parent)
    : CRadioPage({IDD, "UpdateConfig", "StartUpCheckNew", "", IDC_CHECK, "证书助手启动时启用更新检查", IDC_NO_CHECK,
                  "证书助手启动时不启用更新检查"},
                 parent) {}

}  // namespace orvikdesk
