// Whether a running assistant answers on its single-instance name, as a second start asks it.
#pragma once

#include <QElapsedTimer>
#include <QLocalSocket>
#include <QThread>

#include "app/SingleInstance.h"

namespace orvikdesk::test {

// True once something answers within `ms` milliseconds.
inline bool answering(int ms) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms) {
        QLocalSocket s;
        s.connectToServer(SingleInstance::serverName());
        if (s.waitForConnected(100)) return true;
        QThread::msleep(100);
    }
    return false;
}

}  // namespace orvikdesk::test
