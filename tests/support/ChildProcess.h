// Runs a second process of the same test program: a child entry registered with
// ORVIK_CHILD_ENTRY runs instead of the tests when the program is started with
// --orvik-child=NAME. Used for concurrency and crash tests.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace orvik::test {

using ChildEntry = std::function<int(const std::vector<std::string>& args)>;

bool registerChildEntry(const std::string& name, ChildEntry entry);

// Runs the entry named in argv when there is one; returns true (and sets *exitCode) if it ran.
bool runChildEntry(int argc, char** argv, int* exitCode);

class ChildProcess {
public:
    // Starts this program as the named child with the given arguments; the environment is
    // inherited (so is ORVIK_HOME).
    ChildProcess(const std::string& entry, const std::vector<std::string>& args);
    ~ChildProcess();  // kills the child if it still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    // Waits for the end; the exit code, or 128 + the signal that ended it, or -1.
    int wait();
    void kill(int signal);

private:
    pid_t pid_ = -1;
    int status_ = -1;
    bool reaped_ = false;
};

}  // namespace orvik::test

#define ORVIK_CHILD_ENTRY_CAT2(a, b) a##b
#define ORVIK_CHILD_ENTRY_CAT(a, b) ORVIK_CHILD_ENTRY_CAT2(a, b)
#define ORVIK_CHILD_ENTRY(name, fn) \
    static const bool ORVIK_CHILD_ENTRY_CAT(orvikChildEntry_, __LINE__) = ::orvik::test::registerChildEntry(name, fn)
