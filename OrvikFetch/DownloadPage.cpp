#include "DownloadPage.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <windows.h>

#include "FetchRun.h"

DownloadPage::DownloadPage(FetchRun& run, const std::vector<std::string>& chosen, QWidget* parent)
    : WizardPage(IDD, parent), run_(run), files_(run.filesFor(chosen)) {
    state_ = addText(QStringLiteral("正在升级以下项目，可能需要几分钟，请稍候……"), IDC_STATE);
    QListWidget* list = addList(IDC_ITEMS);
    for (const std::string& text : chosen) list->addItem(QString::fromStdString(text));
    progress_ = new QProgressBar(this);
    progress_->setObjectName(QString::number(IDC_PROGRESS));
    progress_->setRange(0, 100);
    progress_->setValue(0);
    progress_->setTextVisible(false);
    column_->addWidget(progress_);
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    row->addWidget(new QLabel(QStringLiteral("已完成"), this));
    percent_ = new QLabel(QStringLiteral("0"), this);
    percent_->setObjectName(QString::number(IDC_PERCENT));
    row->addWidget(percent_);
    row->addWidget(new QLabel(QStringLiteral("%"), this));
    column_->addLayout(row);
    column_->addLayout(buttons_);
    done_ = addButton(IDC_DONE, QStringLiteral("完成"));
    done_->setEnabled(false);
    connect(done_, &QPushButton::clicked, this, &DownloadPage::finishClicked);
    // The worker only emits; the page's thread owns every control.
    connect(this, &DownloadPage::percentChanged, this, &DownloadPage::showPercent, Qt::QueuedConnection);
    connect(this, &DownloadPage::downloadEnded, this, &DownloadPage::ended, Qt::QueuedConnection);
}

DownloadPage::~DownloadPage() { stopWorker(); }

void DownloadPage::stopWorker() {
    cancel_ = true;
    if (worker_.joinable()) worker_.join();
}

void DownloadPage::showEvent(QShowEvent* event) {
    WizardPage::showEvent(event);
    if (started_) return;
    started_ = true;
    running_ = true;
    worker_ = std::thread([this] {
        bool ok = run_.download(
            files_, [this](int percent) { emit percentChanged(percent); }, cancel_);
        emit downloadEnded(ok);
    });
}

void DownloadPage::showPercent(int percent) {
    // Without the sizes there is no share to show, only that work goes on.
    if (percent < 0) {
        progress_->setRange(0, 0);
        percent_->setText(QString());
        return;
    }
    progress_->setRange(0, 100);
    progress_->setValue(percent);
    percent_->setText(QString::number(percent));
}

void DownloadPage::ended(bool ok) {
    if (worker_.joinable()) worker_.join();
    running_ = false;
    downloaded_ = ok;
    progress_->setRange(0, 100);
    if (ok) {
        progress_->setValue(100);
        percent_->setText(QStringLiteral("100"));
        state_->setText(QStringLiteral("本次升级已完成。"));
        done_->setEnabled(true);
        done_->setDefault(true);
        return;
    }
    if (cancel_) return;
    // Nothing of a failed download is kept or installed.
    if (!run_.failure().empty()) MessageBoxA(nullptr, run_.failure().c_str(), "提示", MB_OK | MB_ICONWARNING);
    run_.abandon();
    state_->setText(QStringLiteral("本次升级未能完成，请稍候重试。"));
    done_->setEnabled(true);
}

void DownloadPage::finishClicked() {
    if (!downloaded_) {
        done(IDC_DONE);
        return;
    }
    done_->setEnabled(false);
    handedOver_ = run_.finish();
    if (!handedOver_) {
        if (!run_.failure().empty()) MessageBoxA(nullptr, run_.failure().c_str(), "提示", MB_OK | MB_ICONWARNING);
        run_.abandon();
    }
    done(IDC_DONE);
}

void DownloadPage::reject() {
    if (running_) {
        stopWorker();
        running_ = false;
    }
    if (!handedOver_) run_.abandon();
    QDialog::reject();
}
