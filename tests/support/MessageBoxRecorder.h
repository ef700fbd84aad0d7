// Records every MessageBoxA of the process and answers it: the next answers queued by the test,
// else the box's default button.
#pragma once

#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include <windef.h>

namespace orvik::test {

struct RecordedBox {
    std::string text;
    std::string caption;
    UINT type = 0;
};

class MessageBoxRecorder {
public:
    MessageBoxRecorder();   // installs itself as the process's handler
    ~MessageBoxRecorder();  // restores the handler it replaced
    MessageBoxRecorder(const MessageBoxRecorder&) = delete;
    MessageBoxRecorder& operator=(const MessageBoxRecorder&) = delete;

    void setNextAnswer(int answer);
    std::vector<RecordedBox> boxes() const;
    size_t count() const;
    RecordedBox last() const;  // empty when nothing was shown

private:
    struct State;
    State* state_;
};

}  // namespace orvik::test
