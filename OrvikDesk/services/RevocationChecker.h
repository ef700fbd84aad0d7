// Revocation checks off the window's thread. Each run works on copies of the certificates (their
// DER), so a store reloaded meanwhile frees nothing it uses; a newer run makes older results
// stale, and they are dropped. Results arrive on the owner's thread.
#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace orvikdesk {

class CRevocationChecker : public QObject {
    Q_OBJECT
public:
    struct Job {
        QString thumbprint;
        std::string der;
    };

    explicit CRevocationChecker(QObject* parent = nullptr);
    // Waits for the runs still going: each ends after the check it is in.
    ~CRevocationChecker() override;

    // Starts checking; online reaches the distribution points, otherwise only the cache is read.
    void start(std::vector<Job> jobs, bool online);
    // Drops the running run's further results.
    void cancel();
    bool busy() const { return pending_ > 0; }

signals:
    void checked(const QString& thumbprint, const QString& status);
    void finished();

private:
    struct Run {
        std::atomic<bool> cancelled{false};
    };
    void deliver(unsigned generation, const QString& thumbprint, const QString& status);

    std::vector<std::thread> threads_;
    std::shared_ptr<Run> current_;
    unsigned generation_ = 0;
    int pending_ = 0;
};

}  // namespace orvikdesk
