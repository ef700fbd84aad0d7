#include "services/UpdateCheck.h"

#include <Common.h>
#include <QString>
#include <orvik/Deployment.h>
#include <windows.h>

#include "ui/MessageBoxFacade.h"

namespace orvikdesk::updates {

namespace {

int runCheck(const std::string& programDir) {
    Common common = programDir.empty() ? Common() : Common(programDir);
    Config config;
    common.ReadConfigFromReg(config, kAssistantUpdateKey);
    // The fetcher reads this to know it was started by a run, not by hand.
    config.SetCurrentOperation("1");
    common.SaveConfigtoReg(config, kAssistantUpdateKey);
    return common.Start(kAssistantUpdateKey, orvik::deployment::text(orvik::deployment::kUpdateHost),
                        orvik::deployment::text(orvik::deployment::kUpdatePath));
}

}  // namespace

void checkAtStartup(const std::string& programDir) { runCheck(programDir); }

void checkFromMenu(QWidget* owner, const std::string& programDir) {
    if (runCheck(programDir) == UPDATE_NOTHING)
        MessageBoxFacade::show(owner, QStringLiteral("没有可用的更新！"), QStringLiteral("证书助手"),
                               MB_OK | MB_ICONINFORMATION);
}

}  // namespace orvikdesk::updates
