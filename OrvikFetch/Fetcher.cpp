#include "Fetcher.h"

#include <utility>

#include "ChoosePage.h"
#include "ConfirmPage.h"
#include "DetectDialog.h"
#include "DownloadPage.h"
#include "FetchRun.h"

Fetcher::Fetcher(Common common, int noticeMs) : common_(std::move(common)), noticeMs_(noticeMs) {}

bool Fetcher::run() {
    Config root, config;
    common_.ReadConfigFromReg(root, kUpdateRootKey);
    common_.ReadConfigFromReg(config, root.GetConfigPath());
    if (config.GetCurrentOperation() != "1") DetectDialog(noticeMs_).exec();
    return mainFlow();
}

bool Fetcher::mainFlow() {
    FetchRun run(common_);
    if (!run.prepare()) return false;
    std::vector<std::string> offers;
    for (const FetchRun::Offer& offer : run.offers()) offers.push_back(offer.text());
    // Everything up to date: the wizard has nothing to show.
    if (offers.empty()) {
        run.abandon();
        return false;
    }
    std::vector<std::string> chosen;
    for (;;) {
        ChoosePage choose(run.supportedItems(), offers, chosen);
        if (choose.exec() != ChoosePage::IDC_NEXT) break;
        chosen = choose.chosen();
        ConfirmPage confirm(chosen);
        int answer = confirm.exec();
        if (answer == ConfirmPage::IDC_BACK) continue;
        if (answer != ConfirmPage::IDC_NEXT) break;
        DownloadPage download(run, chosen);
        download.exec();
        return download.handedOver();
    }
    run.abandon();
    return false;
}
