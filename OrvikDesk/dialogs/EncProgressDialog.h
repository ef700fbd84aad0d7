// The progress of one secure-file run: a worker thread does the work, the dialog shows the
// percentage and carries the cancel request. The worker touches no widget; it reports through
// queued calls, and the dialog joins it before anything it uses goes.
#pragma once

#include <QDialog>
#include <atomic>
#include <functional>
#include <thread>

#include <SecureFile.h>

class QLabel;
class QProgressBar;
class QPushButton;

namespace orvikdesk {

class CDlgEncProgress : public QDialog {
    Q_OBJECT
public:
    enum { IDD = 246, IDC_BAR = 1116, IDC_PERCENT = 1123, IDC_LABEL = 1124 };
    enum class Mode { Decrypt = 0, Encrypt = 1 };
    using Job = std::function<CSecureFile::Result(ProgressSink* progress, const std::atomic<bool>* cancel)>;

    CDlgEncProgress(Mode mode, Job job, QWidget* parent = nullptr);
    ~CDlgEncProgress() override;

    // Starts the worker and runs the dialog: Accepted when the job succeeded.
    int exec() override;
    const CSecureFile::Result& result() const { return result_; }
    bool running() const { return running_; }

signals:
    void progressed(int percent);

public slots:
    // Cancel, Esc and the close box: while the worker runs, a request it reads between chunks.
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    class Sink;
    void showPercent(int percent);
    void finished(CSecureFile::Result result);

    Job job_;
    std::atomic<bool> cancel_{false};
    bool running_ = false;
    std::thread worker_;
    CSecureFile::Result result_;
    QProgressBar* bar_;
    QLabel* percent_;
    QPushButton* cancelButton_;
};

}  // namespace orvikdesk
