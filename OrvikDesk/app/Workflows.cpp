#include "app/Workflows.h"

#include <map>

#include "dialogs/PendingDialog.h"

namespace orvikdesk::workflows {

namespace {

struct Pending {
    int idd;
    const char* caption;
};

// The dialogs the actions open, until their workflows are registered.
Pending pendingOf(LaunchAction action) {
    switch (action) {
    case LaunchAction::Encrypt:
    case LaunchAction::EncryptAndMail: return {225, "加密文件"};
    case LaunchAction::Decrypt: return {146, "解密文件"};
    case LaunchAction::Properties: return {261, "安全文件属性"};
    case LaunchAction::Configure: return {176, "配置管理"};
    default: return {0, ""};
    }
}

std::map<LaunchAction, Workflow>& table() {
    static std::map<LaunchAction, Workflow> t;
    return t;
}

}  // namespace

void set(LaunchAction action, Workflow workflow) { table()[action] = std::move(workflow); }

int run(const Launch& launch) {
    if (launch.action == LaunchAction::Window) return 0;
    if (auto it = table().find(launch.action); it != table().end() && it->second) return it->second(launch.path);
    Pending p = pendingOf(launch.action);
    CPendingDialog dialog(p.idd, QString::fromUtf8(p.caption), QString::fromStdString(launch.path));
    dialog.exec();
    return 0;
}

}  // namespace orvikdesk::workflows
