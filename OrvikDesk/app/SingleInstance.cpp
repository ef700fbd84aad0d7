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

}  // namespace

SingleInstance::SingleInstance(QObject* parent) : QObject(parent) {}

SingleInstance::~SingleInstance() {
    if (server_) server_->close();
}

QString SingleInstance::serverName() { return "orvikdesk-" + QString::fromLatin1(identity()); }

QString SingleInstance::lockPath() {
    std::string home;
    orvik::ensureHomeDir(home);
    return QString::fromStdString(home) + "/OrvikDesk-" + QString::fromLatin1(identity()) + ".lock";
}

SingleInstance::Claim SingleInstance::claim(int waitMs) {
    lock_ = std::make_unique<QLockFile>(lockPath());
    QElapsedTimer clock;
    clock.start();
    do {
        if (lock_->tryLock(0)) {
            // A socket left by a crashed instance would make listen() fail.
            QLocalServer::removeServer(serverName());
            server_ = new QLocalServer(this);
            server_->setSocketOptions(QLocalServer::UserAccessOption);
            server_->listen(serverName());
            connect(server_, &QLocalServer::newConnection, this, &SingleInstance::serve);
            return Claim::First;
        }
        QLocalSocket socket;
        socket.connectToServer(serverName());
        if (socket.waitForConnected(250)) {
            socket.write("activate\n");
            socket.waitForBytesWritten(500);
            if (socket.waitForReadyRead(1000) && socket.readLine().startsWith("ok")) return Claim::Activated;
        }
        // The first instance may hold the lock and not listen yet.
        QThread::msleep(100);
    } while (clock.elapsed() < waitMs);
    return Claim::Unanswered;
}

void SingleInstance::serve() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            while (socket->canReadLine()) {
                if (socket->readLine().trimmed() == "activate") {
                    socket->write("ok\n");
                    socket->flush();
                    emit activationRequested();
                }
            }
        });
    }
}

}  // namespace orvikdesk
