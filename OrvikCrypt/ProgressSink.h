// How a long library operation reports to whoever drives it, without knowing who that is.
#pragma once

class ProgressSink {
public:
    virtual ~ProgressSink() = default;
    virtual void percent(int value) = 0;  // called when the whole percentage changes
};
