// Starting and ending programs: only absolute, executable paths start, and a process id is ended
// only when it still names the expected program of this user.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <orvik/Process.h>

#include "support/TempHome.h"

namespace fs = std::filesystem;
using orvik::endProgram;
using orvik::EndResult;
using orvik::folderIsUpdatable;
using orvik::startProgram;
using orvik::test::fileExists;
using orvik::test::readFile;
using orvik::test::TempDir;
using orvik::test::writeFile;
using Clock = std::chrono::steady_clock;

namespace {

void writeProgram(const std::string& path, const std::string& text, mode_t mode = 0755) {
    writeFile(path, text);
    ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

std::string copyOf(const std::string& source, const std::string& target) {
    fs::copy_file(source, target, fs::copy_options::overwrite_existing);
    fs::permissions(target, fs::perms(0755));
    return target;
}

// Polls for a file's text; empty when it did not appear in time.
std::string awaitText(const std::string& path, const std::string& expected, int ms = 3000) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    std::string text;
    while (Clock::now() < end) {
        if (fileExists(path) && (text = readFile(path)) == expected) return text;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return text;
}

// A child of the test running `program`; constructed once the exec has happened, so that
// /proc/<pid>/exe already names the program. Killed and reaped at the end of the scope.
struct SpawnOptions {
    bool ignoreTerm = false;
    int uid = -1;  // run as this user (needs root)
};

class Spawned {
public:
    Spawned(const std::string& program, std::vector<std::string> args, SpawnOptions options = {}) {
        std::vector<std::string> strings{program};
        strings.insert(strings.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& s : strings) argv.push_back(s.data());
        argv.push_back(nullptr);
        int execed[2];
        if (pipe2(execed, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            if (options.ignoreTerm) signal(SIGTERM, SIG_IGN);  // an ignored signal stays ignored across exec
            if (options.uid >= 0 && (setgid(options.uid) != 0 || setuid(options.uid) != 0)) _exit(126);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        ::close(execed[1]);
        char byte;
        // The pipe closes at a successful exec (or when the child dies first).
        while (::read(execed[0], &byte, 1) < 0 && errno == EINTR) {
        }
        ::close(execed[0]);
    }
    ~Spawned() {
        if (pid_ <= 0 || reaped_) return;
        ::kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
    }
    Spawned(const Spawned&) = delete;
    Spawned& operator=(const Spawned&) = delete;

    pid_t pid() const { return pid_; }
    std::string id() const { return std::to_string(pid_); }
    // Still running: not exited, not even as an unreaped zombie.
    bool running() {
        if (reaped_) return false;
        if (waitpid(pid_, &status_, WNOHANG) != pid_) return true;
        reaped_ = true;
        return false;
    }
    // The signal that ended it, when it has ended; 0 while it runs or when it exited.
    int endingSignal() {
        if (running()) return 0;
        return WIFSIGNALED(status_) ? WTERMSIG(status_) : 0;
    }

private:
    pid_t pid_ = -1;
    int status_ = 0;
    bool reaped_ = false;
};

}  // namespace

TEST(StartProgram, PassesArgumentsVerbatimWithoutAShell) {
    TempDir dir;
    const std::string script = dir.file("write-args");
    writeProgram(script, "#!/bin/sh\nprintf '%s|%s' \"$1\" \"$2\" > \"$3\"\n");
    const std::string marker = dir.file("marker");
    ASSERT_TRUE(startProgram(script, {"a b", "$HOME;*`x`", marker}));
    EXPECT_EQ(awaitText(marker, "a b|$HOME;*`x`"), "a b|$HOME;*`x`");
}

TEST(StartProgram, StartedProgramIsNoChildOfOurs) {
    TempDir dir;
    const std::string script = dir.file("late");
    writeProgram(script, "#!/bin/sh\nsleep 0.3\nprintf done > \"$1\"\n");
    ASSERT_TRUE(startProgram(script, {dir.file("marker")}));
    errno = 0;
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "no child, not even a zombie, is left to reap";
    EXPECT_EQ(errno, ECHILD);
    EXPECT_EQ(awaitText(dir.file("marker"), "done"), "done") << "it runs on after startProgram returned";
}

TEST(StartProgram, RefusesWhatIsNotAnAbsoluteExecutable) {
    TempDir dir;
    const std::string good = dir.file("good");
    writeProgram(good, "#!/bin/sh\nexit 0\n");
    writeProgram(dir.file("plain"), "#!/bin/sh\nexit 0\n", 0644);
    writeProgram(dir.file("no-interpreter"), "#!/nonexistent/interpreter\n");
    writeProgram(dir.file("not-a-program"), "just text\n");
    ASSERT_TRUE(startProgram(good));
    const std::string relative = fs::relative(good, fs::current_path()).string();
    ASSERT_TRUE(fileExists(relative)) << "the relative name reaches the program from here";
    const std::vector<std::string> refused = {"",
                                              "sh",
                                              relative,
                                              dir.file("missing"),
                                              dir.file("plain"),
                                              dir.path(),
                                              dir.file("no-interpreter"),
                                              dir.file("not-a-program")};
    for (const std::string& path : refused) EXPECT_FALSE(startProgram(path)) << "'" << path << "'";
}

TEST(EndProgram, RefusesMalformedIds) {
    TempDir dir;
    const std::string program = copyOf("/bin/sleep", dir.file("OrvikDesk"));
    Spawned desk(program, {"30"});
    const std::string id = desk.id();
    const std::vector<std::string> malformed = {"",       "0",      "1",      "-1",   "12a",
                                                " " + id, id + " ", "+" + id, "0x10", "99999999999"};
    for (const std::string& text : malformed)
        EXPECT_EQ(endProgram(text, program, 100), EndResult::Refused) << "'" << text << "'";
    EXPECT_TRUE(desk.running());
}

TEST(EndProgram, RefusesOurOwnProcess) {
    EXPECT_EQ(endProgram(std::to_string(getpid()), fs::read_symlink("/proc/self/exe").string(), 100),
              EndResult::Refused);
}

TEST(EndProgram, RefusesARelativeProgramPath) {
    TempDir dir;
    const std::string program = copyOf("/bin/sleep", dir.file("OrvikDesk"));
    Spawned desk(program, {"30"});
    EXPECT_EQ(endProgram(desk.id(), "OrvikDesk", 100), EndResult::Refused);
    EXPECT_EQ(endProgram(desk.id(), fs::relative(program, fs::current_path()).string(), 100), EndResult::Refused);
    EXPECT_TRUE(desk.running());
}

TEST(EndProgram, LeavesAnotherProgramRunning) {
    TempDir dir;
    const std::string program = copyOf("/bin/sleep", dir.file("OrvikDesk"));
    Spawned other("/bin/sleep", {"30"});
    EXPECT_EQ(endProgram(other.id(), program, 100), EndResult::Refused);
    EXPECT_TRUE(other.running());
}

TEST(EndProgram, LeavesAnotherUsersProcessRunning) {
    if (geteuid() != 0) GTEST_SKIP() << "starting a process as another user needs root";
    TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    const std::string program = copyOf("/bin/sleep", dir.file("OrvikDesk"));
    Spawned theirs(program, {"30"}, {.uid = 65534});
    ASSERT_TRUE(theirs.running());
    EXPECT_EQ(endProgram(theirs.id(), program, 100), EndResult::Refused);
    EXPECT_TRUE(theirs.running());
}

TEST(EndProgram, EndsTheNamedProgramAndReturnsOnceItHasGone) {
    TempDir dir;
    const std::string program = copyOf("/bin/sleep", dir.file("OrvikDesk"));
    Spawned desk(program, {"30"});
    ASSERT_TRUE(desk.running());
    EXPECT_EQ(endProgram(desk.id(), program, 3000), EndResult::Ended);
    EXPECT_EQ(desk.endingSignal(), SIGTERM) << "already exited when endProgram returned";
}

TEST(EndProgram, ProgramWhoseFileWasReplacedIsStillThatProgram) {
    TempDir dir;
    const std::string program = copyOf("/bin/sleep", dir.file("OrvikDesk"));
    Spawned desk(program, {"30"});
    copyOf("/bin/sleep", dir.file("OrvikDesk.new"));
    ASSERT_EQ(::rename(dir.file("OrvikDesk.new").c_str(), program.c_str()), 0);
    EXPECT_EQ(endProgram(desk.id(), program, 3000), EndResult::Ended);
    EXPECT_EQ(desk.endingSignal(), SIGTERM);
}

TEST(EndProgram, KillsAProgramThatIgnoresTerminationAfterTheGrace) {
    TempDir dir;
    const std::string program = copyOf("/bin/sleep", dir.file("OrvikDesk"));
    Spawned stubborn(program, {"30"}, {.ignoreTerm = true});
    const auto start = Clock::now();
    EXPECT_EQ(endProgram(stubborn.id(), program, 300), EndResult::Ended);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_GE(took, 300) << "the grace is waited out first";
    EXPECT_LT(took, 3000);
    EXPECT_EQ(stubborn.endingSignal(), SIGKILL);
}

TEST(EndProgram, ExitedProcessIsNotRunning) {
    TempDir dir;
    const std::string program = copyOf("/bin/true", dir.file("OrvikDesk"));
    Spawned unreaped(program, {});
    // Exited but not yet reaped: a zombie still holds the id.
    const auto end = Clock::now() + std::chrono::seconds(3);
    std::string stat;
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        stat = readFile("/proc/" + unreaped.id() + "/stat");
    } while (stat.find(") Z ") == std::string::npos && Clock::now() < end);
    ASSERT_NE(stat.find(") Z "), std::string::npos) << stat;
    EXPECT_EQ(endProgram(unreaped.id(), program, 100), EndResult::NotRunning);

    ASSERT_FALSE(unreaped.running());  // reaps it: now the id names nothing
    EXPECT_EQ(endProgram(unreaped.id(), program, 100), EndResult::NotRunning);
}

TEST(FolderIsUpdatable, OnlyAFolderThisUserMayWrite) {
    TempDir dir;
    fs::create_directory(dir.file("open"));
    fs::create_directory(dir.file("readonly"));
    ASSERT_EQ(chmod(dir.file("readonly").c_str(), 0555), 0);
    writeFile(dir.file("file"), "x");
    const struct {
        std::string path;
        bool updatable;
    } rows[] = {{dir.path(), true},
                {dir.file("open"), true},
                {dir.file("readonly"), false},  // root too: the owner's mode bits decide
                {dir.file("file"), false},
                {dir.file("missing"), false}};
    for (const auto& row : rows) EXPECT_EQ(folderIsUpdatable(row.path), row.updatable) << row.path;
    chmod(dir.file("readonly").c_str(), 0755);
}
