// One window-mode instance per user state folder and display: a lock file decides who runs, a
// local socket carries "activate" from a second start to the first. The first claims both before
// its slow start-up and answers on a thread of its own, so a second start made meanwhile is
// answered at once; the activation reaches the window when the first's event loop runs. A lock
// left by a crashed instance is taken over (its process is gone), and so is its socket.
#pragma once

#include <QLockFile>
#include <QObject>
#include <QString>
#include <memory>

class QThread;

namespace orvikdesk {

class SingleInstance : public QObject {
    Q_OBJECT
public:
    enum class Claim {
        First,      // this process runs the window; activation requests arrive as signals
        Activated,  // another instance runs and was asked to come to the front
        Unanswered  // another instance holds the lock but did not answer in time
    };

    explicit SingleInstance(QObject* parent = nullptr);
    ~SingleInstance() override;

    // A second start waits this long for a first that holds the lock but does not answer yet.
    Claim claim(int waitMs = 15000);

    static QString serverName();
    static QString lockPath();

signals:
    // `token` is the second start's activation token (XDG_ACTIVATION_TOKEN), empty when it had none.
    void activationRequested(const QString& token);

private:
    std::unique_ptr<QLockFile> lock_;
    QThread* thread_ = nullptr;
    QObject* listener_ = nullptr;
};

}  // namespace orvikdesk
