#include "services/RevocationChecker.h"

#include "DigitalCertificate.h"

namespace orvikdesk {

CRevocationChecker::CRevocationChecker(QObject* parent) : QObject(parent) {}

CRevocationChecker::~CRevocationChecker() {
    cancel();
    for (std::thread& t : threads_)
        if (t.joinable()) t.join();
}

void CRevocationChecker::cancel() {
    if (current_) current_->cancelled = true;
    current_.reset();
    ++generation_;
}

void CRevocationChecker::start(std::vector<Job> jobs, bool online) {
    cancel();
    // Threads of earlier runs that have ended are joined here, so they do not pile up.
    for (auto it = threads_.begin(); it != threads_.end();) {
        if (pending_ == 0 && it->joinable()) {
            it->join();
            it = threads_.erase(it);
        } else {
            ++it;
        }
    }
    if (jobs.empty()) return;
    auto run = std::make_shared<Run>();
    current_ = run;
    unsigned generation = generation_;
    ++pending_;
    threads_.emplace_back([this, run, generation, online, jobs = std::move(jobs)] {
        for (const Job& job : jobs) {
            if (run->cancelled) break;
            CDigitalCertificate cert(job.der.data(), static_cast<int>(job.der.size()), CDigitalCertificate::ENC_DER);
            std::string status;
            (void)cert.CRLCheck(status, online);  // the state word says it all
            QString thumbprint = job.thumbprint, text = QString::fromStdString(status);
            QMetaObject::invokeMethod(
                this, [this, generation, thumbprint, text] { deliver(generation, thumbprint, text); },
                Qt::QueuedConnection);
        }
        QMetaObject::invokeMethod(
            this,
            [this, generation] {
                --pending_;
                if (generation == generation_) emit finished();
            },
            Qt::QueuedConnection);
    });
}

void CRevocationChecker::deliver(unsigned generation, const QString& thumbprint, const QString& status) {
    if (generation == generation_) emit checked(thumbprint, status);
}

}  // namespace orvikdesk
