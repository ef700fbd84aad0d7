#include "PinPrompt.h"

#include <mutex>

namespace orvik::token {

namespace {

std::mutex& handlerLock() {
    static std::mutex lock;
    return lock;
}

PinHandler& installed() {
    static PinHandler handler;
    return handler;
}

}  // namespace

bool askPin(const PinRequest& request, std::string& pin) {
    PinHandler handler;
    {
        std::lock_guard guard(handlerLock());
        handler = installed();
    }
    pin.clear();
    return handler && handler(request, pin);
}

}  // namespace orvik::token

namespace orvik {

PinHandler setPinHandler(PinHandler handler) {
    std::lock_guard guard(token::handlerLock());
    PinHandler previous = std::move(token::installed());
    token::installed() = std::move(handler);
    return previous;
}

}  // namespace orvik
