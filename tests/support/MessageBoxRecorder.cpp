#include "MessageBoxRecorder.h"

#include <orvik/MessageBoxHandler.h>

namespace orvik::test {

struct MessageBoxRecorder::State {
    mutable std::mutex lock;
    std::vector<RecordedBox> boxes;
    std::deque<int> answers;
    MessageBoxHandler previous;
};

MessageBoxRecorder::MessageBoxRecorder() : state_(new State) {
    State* state = state_;
    state_->previous = setMessageBoxHandler([state](HWND, const char* text, const char* caption, UINT type) {
        std::lock_guard guard(state->lock);
        state->boxes.push_back({text, caption, type});
        if (state->answers.empty()) return defaultMessageBoxAnswer(type);
        int answer = state->answers.front();
        state->answers.pop_front();
        return answer;
    });
}

MessageBoxRecorder::~MessageBoxRecorder() {
    setMessageBoxHandler(std::move(state_->previous));
    delete state_;
}

void MessageBoxRecorder::setNextAnswer(int answer) {
    std::lock_guard guard(state_->lock);
    state_->answers.push_back(answer);
}

std::vector<RecordedBox> MessageBoxRecorder::boxes() const {
    std::lock_guard guard(state_->lock);
    return state_->boxes;
}

size_t MessageBoxRecorder::count() const {
    std::lock_guard guard(state_->lock);
    return state_->boxes.size();
}

RecordedBox MessageBoxRecorder::last() const {
    std::lock_guard guard(state_->lock);
    return state_->boxes.empty() ? RecordedBox{} : state_->boxes.back();
}

}  // namespace orvik::test
