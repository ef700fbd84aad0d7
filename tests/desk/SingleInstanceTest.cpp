// One window-mode instance per state folder and display, with the real program as the other side.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalSocket>
#include <QThread>
#include <cstdlib>

#include "app/SingleInstance.h"
#include "support/TempHome.h"

using orvikdesk::SingleInstance;

namespace {

pid_t startDesk(const std::vector<std::string>& args = {}) {
    pid_t pid = fork();
    if (pid == 0) {
        setenv("ORVIK_NO_WEBENGINE", "1", 1);
        std::vector<char*> argv{const_cast<char*>(ORVIKDESK_PATH)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(ORVIKDESK_PATH, argv.data());
        _exit(127);
    }
    return pid;
}

// The exit code once the process ended within ms while events are served; -1 if it still runs.
int waitServing(pid_t pid, int ms) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return -1;
}

bool answering(int ms) {
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

void stop(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

}  // namespace

TEST(SingleInstance, ASecondStartAsksTheFirstAndEnds) {
    orvik::test::TempHome home;
    SingleInstance first;
    ASSERT_EQ(first.claim(), SingleInstance::Claim::First);
    int activations = 0;
    QObject::connect(&first, &SingleInstance::activationRequested, [&] { ++activations; });
    QElapsedTimer clock;
    clock.start();
    pid_t second = startDesk();
    EXPECT_EQ(waitServing(second, 2000), 0) << "the second start ends at once, successfully";
    EXPECT_LT(clock.elapsed(), 2000);
    QApplication::processEvents();
    EXPECT_EQ(activations, 1);
}

TEST(SingleInstance, ACommandLineRunNeitherLooksNorBlocks) {
    orvik::test::TempHome home;
    SingleInstance first;
    ASSERT_EQ(first.claim(), SingleInstance::Claim::First);
    int activations = 0;
    QObject::connect(&first, &SingleInstance::activationRequested, [&] { ++activations; });
    pid_t run = startDesk({"/C"});  // opens its dialog beside the window instance
    EXPECT_EQ(waitServing(run, 1500), -1) << "it runs its own dialog";
    EXPECT_EQ(activations, 0);
    stop(run);
}

TEST(SingleInstance, AKilledInstanceLeavesNothingThatBlocksTheNext) {
    orvik::test::TempHome home;
    pid_t crashed = startDesk();
    ASSERT_TRUE(answering(20000)) << "the window instance came up";
    EXPECT_TRUE(QFileInfo::exists(SingleInstance::lockPath()));
    stop(crashed);  // kill -9: lock file and socket stay behind
    SingleInstance next;
    EXPECT_EQ(next.claim(), SingleInstance::Claim::First);
}

TEST(SingleInstance, TwoSimultaneousStartsLeaveOneWindow) {
    orvik::test::TempHome home;
    pid_t a = startDesk(), b = startDesk();
    QElapsedTimer clock;
    clock.start();
    int ended = 0, code = -1;
    pid_t survivor = -1;
    while (clock.elapsed() < 20000 && ended == 0) {
        for (pid_t p : {a, b}) {
            int status = 0;
            if (waitpid(p, &status, WNOHANG) == p) {
                ++ended;
                code = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
                survivor = p == a ? b : a;
            }
        }
        QThread::msleep(50);
    }
    EXPECT_EQ(ended, 1);
    EXPECT_EQ(code, 0);
    if (survivor > 0) {
        EXPECT_EQ(waitServing(survivor, 500), -1) << "the other runs the window";
        stop(survivor);
    } else {
        stop(a);
        stop(b);
    }
}
