#include "app/SingleInstance.h"

#include <unistd.h>

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>

#include <orvik/Home.h>

namespace orvikdesk {

namespace {

QByteArray identity() {
    QByteArray who = QByteArray::fromStdString(orvik::homeDir()) + '|' + qgetenv("DISPLAY") + '|' +
                     qgetenv("WAYLAND_DISPLAY") + '|' + QByteArray::number(static_cast<qulonglong>(getuid()));
    return QCryptographicHash::hash(who, QCryptographicHash::Sha1).toHex().left(16);
}

// One request line: "activate", then a blank and the second start's activation token if it had one.
constexpr char kActivate[] = "activate";

}  // namespace

SingleInstance::SingleInstance(QObject* parent) : QObject(parent) {}

SingleInstance::~SingleInstance() {
    if (!thread_) return;
    // The server and its sockets go in their own thread, before that thread ends.
    QObject* listener = listener_;
    QMetaObject::invokeMethod(
        listener, [listener] { qDeleteAll(listener->children()); }, Qt::BlockingQueuedConnection);
    thread_->quit();
    thread_->wait();
    delete listener_;
    delete thread_;
}

QString SingleInstance::serverName() { return "orvikdesk-" + QString::fromLatin1(identity()); }

QString SingleInstance::lockPath() {
    std::string home;
    orvik::ensureHomeDir(home);
    return QString::fromStdString(home) + "/OrvikDesk-" + QString::fromLatin1(identity()) + ".lock";
}

SingleInstance::Claim SingleInstance::claim(int waitMs) {
    lock_ = std::make_unique<QLockFile>(lockPath());
    // Only a dead holder makes the lock stale: an instance that has run for hours still holds it.
    lock_->setStaleLockTime(0);
    const QByteArray token = qgetenv("XDG_ACTIVATION_TOKEN");
    QElapsedTimer clock;
    clock.start();
    do {
        if (lock_->tryLock(0)) {
            // A socket left by a crashed instance would make listen() fail.
            QLocalServer::removeServer(serverName());
            thread_ = new QThread;
            thread_->setObjectName("SingleInstance");
            listener_ = new QObject;
            listener_->moveToThread(thread_);
            thread_->start();
            const QString name = serverName();
            QMetaObject::invokeMethod(
                listener_,
                [this, name] {
                    auto* server = new QLocalServer(listener_);
                    server->setSocketOptions(QLocalServer::UserAccessOption);
                    server->listen(name);
                    connect(server, &QLocalServer::newConnection, server, [this, server] {
                        while (QLocalSocket* socket = server->nextPendingConnection()) {
                            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
                            connect(socket, &QLocalSocket::readyRead, socket, [this, socket] {
                                while (socket->canReadLine()) {
                                    const QByteArray line = socket->readLine().trimmed();
                                    if (line != kActivate && !line.startsWith(QByteArray(kActivate) + ' ')) continue;
                                    socket->write("ok\n");
                                    socket->flush();
                                    const QString token = QString::fromUtf8(line.mid(sizeof kActivate).trimmed());
                                    // To the window's thread; it acts once its event loop runs.
                                    QMetaObject::invokeMethod(
                                        this, [this, token] { emit activationRequested(token); }, Qt::QueuedConnection);
                                }
                            });
                        }
                    });
                },
                Qt::BlockingQueuedConnection);
            return Claim::First;
        }
        QLocalSocket socket;
        socket.connectToServer(serverName());
        if (socket.waitForConnected(250)) {
            socket.write(token.isEmpty() ? QByteArray(kActivate) + '\n' : QByteArray(kActivate) + ' ' + token + '\n');
            socket.waitForBytesWritten(500);
            if (socket.waitForReadyRead(1000) && socket.readLine().startsWith("ok")) return Claim::Activated;
        }
        // The first instance may hold the lock and not listen yet, or be stopped for a moment.
        QThread::msleep(100);
    } while (clock.elapsed() < waitMs);
    return Claim::Unanswered;
}

}  // namespace orvikdesk
