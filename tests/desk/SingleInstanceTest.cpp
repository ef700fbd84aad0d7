// One window-mode instance per state folder and display, with the real program as the other side.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <utime.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalSocket>
#include <QThread>
#include <cstdlib>
#include <ctime>

#include "desk/InstanceProbe.h"
#include "app/SingleInstance.h"
#include "support/TempHome.h"

using orvikdesk::SingleInstance;
using orvikdesk::test::answering;

namespace {

pid_t startDesk(const std::vector<std::string>& args = {}, const char* token = nullptr) {
    pid_t pid = fork();
    if (pid == 0) {
        setenv("ORVIK_NO_WEBENGINE", "1", 1);
        if (token) setenv("XDG_ACTIVATION_TOKEN", token, 1);
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

// The exit code once the process ended within ms, without serving events; -1 if it still runs.
int waitBusy(pid_t pid, int ms) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
        QThread::msleep(20);
    }
    return -1;
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

TEST(SingleInstance, TheFirstAnswersWhileItIsStillStartingAndActsOnceUp) {
    orvik::test::TempHome home;
    SingleInstance first;
    ASSERT_EQ(first.claim(), SingleInstance::Claim::First);
    QStringList tokens;
    QObject::connect(&first, &SingleInstance::activationRequested, [&](const QString& token) { tokens << token; });
    // This thread stands for a slow start-up: it serves no events while the second start asks.
    pid_t second = startDesk({}, "token-from-the-launcher");
    EXPECT_EQ(waitBusy(second, 5000), 0) << "answered without the first's event loop";
    EXPECT_TRUE(tokens.isEmpty()) << "the window is told only once its loop runs";
    QElapsedTimer clock;
    clock.start();
    while (tokens.isEmpty() && clock.elapsed() < 2000) QApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_EQ(tokens, QStringList{"token-from-the-launcher"});
}

TEST(SingleInstance, AStalledFirstStartIsWaitedForNotDoubled) {
    orvik::test::TempHome home;
    pid_t first = startDesk();
    // Stopped as soon as it holds the name, before it could answer or show anything.
    QElapsedTimer clock;
    clock.start();
    while (!QFileInfo::exists(SingleInstance::lockPath()) && clock.elapsed() < 20000) QThread::msleep(5);
    ASSERT_TRUE(QFileInfo::exists(SingleInstance::lockPath()));
    kill(first, SIGSTOP);
    pid_t second = startDesk();
    EXPECT_EQ(waitBusy(second, 4000), -1) << "the second start waits for the first";
    kill(first, SIGCONT);
    EXPECT_EQ(waitBusy(second, 10000), 0) << "and hands over to it instead of opening a window";
    EXPECT_EQ(waitBusy(first, 300), -1) << "the first runs on";
    stop(first);
    if (waitBusy(second, 0) == -1) stop(second);
}

TEST(SingleInstance, AnInstanceRunningForHoursKeepsTheName) {
    orvik::test::TempHome home;
    SingleInstance first;
    ASSERT_EQ(first.claim(), SingleInstance::Claim::First);
    int activations = 0;
    QObject::connect(&first, &SingleInstance::activationRequested, [&] { ++activations; });
    // The lock file's age says nothing about its holder, which still lives.
    const std::string lock = SingleInstance::lockPath().toStdString();
    struct utimbuf old {};
    old.actime = old.modtime = std::time(nullptr) - 5 * 3600;
    ASSERT_EQ(utime(lock.c_str(), &old), 0);
    pid_t second = startDesk();
    EXPECT_EQ(waitServing(second, 5000), 0);
    QApplication::processEvents();
    EXPECT_EQ(activations, 1);
    SingleInstance third;
    EXPECT_EQ(third.claim(300), SingleInstance::Claim::Activated);
}
