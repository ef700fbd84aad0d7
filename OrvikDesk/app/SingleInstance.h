// One window-mode instance per user state folder and display: a lock file decides who runs, a
// local socket carries "activate" from a second start to the first. A lock left by a crashed
// instance is taken over (its process is gone), and so is its socket.
#pragma once

#include <QLockFile>
#include <QObject>
#include <QString>
#include <memory>

class QLocalServer;

namespace orvikdesk {

class SingleInstance : public QObject {
    Q_OBJECT
public:
    enum class Claim {
        First,      // this process runs the window; activation requests arrive as signals
        Activated,  // another instance runs and was asked to come to the front
        Unanswered  // another instance holds the lock but does not answer
    };

    explicit SingleInstance(QObject* parent = nullptr);
    ~SingleInstance() override;

    Claim claim(int waitMs = 3000);

    static QString serverName();
    static QString lockPath();

signals:
    void activationRequested();

private:
    void serve();

    std::unique_ptr<QLockFile> lock_;
    QLocalServer* server_ = nullptr;
};

}  // namespace orvikdesk
