#include "dialogs/EncProgressDialog.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <winuser.h>

#include "dialogs/DialogControls.h"

namespace orvikdesk {

// Runs on the worker: hands each new percentage to the dialog's thread.
class CDlgEncProgress::Sink : public ProgressSink {
public:
    explicit Sink(CDlgEncProgress* dialog) : dialog_(dialog) {}
    void percent(int value) override {
        QPointer<CDlgEncProgress> dialog = dialog_;
        QMetaObject::invokeMethod(
            dialog_,
            [dialog, value] {
                if (dialog) dialog->showPercent(value);
            },
            Qt::QueuedConnection);
    }

private:
    CDlgEncProgress* dialog_;
};

CDlgEncProgress::CDlgEncProgress(Mode mode, Job job, QWidget* parent) : QDialog(parent), job_(std::move(job)) {
    setObjectName(QString("IDD%1").arg(IDD));
    const bool encrypting = mode == Mode::Encrypt;
    setWindowTitle(encrypting ? QStringLiteral("正在加密，请稍候...") : QStringLiteral("正在解密，请稍候..."));
    auto* layout = new QVBoxLayout(this);
    auto* row = new QHBoxLayout;
    auto* label = new QLabel(encrypting ? QStringLiteral("加密已完成：") : QStringLiteral("解密已完成："), this);
    label->setObjectName(QString::number(IDC_LABEL));
    percent_ = new QLabel(QStringLiteral("0%"), this);
    percent_->setObjectName(QString::number(IDC_PERCENT));
    row->addWidget(label);
    row->addWidget(percent_);
    row->addStretch(1);
    layout->addLayout(row);
    bar_ = new QProgressBar(this);
    bar_->setObjectName(QString::number(IDC_BAR));
    bar_->setRange(0, 100);
    bar_->setValue(0);
    bar_->setTextVisible(false);
    bar_->setMinimumWidth(320);
    layout->addWidget(bar_);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    cancelButton_ = controls::button(this, IDCANCEL, QStringLiteral("取消"));
    connect(cancelButton_, &QPushButton::clicked, this, &CDlgEncProgress::reject);
    buttons->addWidget(cancelButton_);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

CDlgEncProgress::~CDlgEncProgress() {
    cancel_ = true;
    if (worker_.joinable()) worker_.join();
}

int CDlgEncProgress::exec() {
    running_ = true;
    QPointer<CDlgEncProgress> self(this);
    worker_ = std::thread([this, self] {
        Sink sink(this);
        CSecureFile::Result r = job_(&sink, &cancel_);
        QMetaObject::invokeMethod(
            this,
            [self, r] {
                if (self) self->finished(r);
            },
            Qt::QueuedConnection);
    });
    return QDialog::exec();
}

void CDlgEncProgress::showPercent(int percent) {
    bar_->setValue(percent);
    percent_->setText(QString("%1%").arg(percent));
    emit progressed(percent);
}

void CDlgEncProgress::finished(CSecureFile::Result result) {
    if (worker_.joinable()) worker_.join();
    running_ = false;
    result_ = std::move(result);
    if (cancel_ || result_.code != CSecureFile::Ok)
        done(QDialog::Rejected);
    else
        done(QDialog::Accepted);
}

void CDlgEncProgress::reject() {
    if (!running_) {
        QDialog::reject();
        return;
    }
    cancel_ = true;
    cancelButton_->setEnabled(false);
}

void CDlgEncProgress::closeEvent(QCloseEvent* event) {
    if (running_) {
        reject();
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

}  // namespace orvikdesk
