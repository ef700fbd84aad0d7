// A file descriptor closed once, when its owner goes.
#pragma once

#include <unistd.h>

#include <utility>

namespace orvik {

class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    ~UniqueFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int get() const { return fd_; }
    // For written files the result matters: a failed close can mean lost data.
    bool close() {
        int fd = std::exchange(fd_, -1);
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int fd_;
};

}  // namespace orvik
