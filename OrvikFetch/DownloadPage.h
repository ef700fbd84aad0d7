// Page 131: the chosen items' files come down on a worker thread; "完成" hands over to the
// installer once all of them are there.
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "WizardPage.h"

class FetchRun;
class QProgressBar;

class DownloadPage : public WizardPage {
    Q_OBJECT
public:
    enum { IDD = 131, IDC_STATE = 1011, IDC_ITEMS = 1002, IDC_PROGRESS = 1005, IDC_PERCENT = 1010, IDC_DONE = 1 };

    DownloadPage(FetchRun& run, const std::vector<std::string>& chosen, QWidget* parent = nullptr);
    ~DownloadPage() override;

    // True once "完成" started the installer.
    bool handedOver() const { return handedOver_; }

    // Closing the window while files come down stops the download; nothing is installed.
    void reject() override;

protected:
    void showEvent(QShowEvent* event) override;

signals:
    void percentChanged(int percent);
    void downloadEnded(bool ok);

private:
    void showPercent(int percent);
    void ended(bool ok);
    void finishClicked();
    void stopWorker();

    FetchRun& run_;
    std::vector<std::string> files_;
    std::thread worker_;
    std::atomic<bool> cancel_{false};
    bool started_ = false;
    bool downloaded_ = false;
    bool running_ = false;
    bool handedOver_ = false;
    QLabel* state_;
    QLabel* percent_;
    QProgressBar* progress_;
    QPushButton* done_;
};
