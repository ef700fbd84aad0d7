#include <cstdio>
#include <mutex>

#include <orvik/MessageBoxHandler.h>
#include <winuser.h>

namespace {

std::mutex& handlerLock() {
    static std::mutex lock;
    return lock;
}

orvik::MessageBoxHandler& installed() {
    static orvik::MessageBoxHandler handler;
    return handler;
}

}  // namespace

namespace orvik {

MessageBoxHandler setMessageBoxHandler(MessageBoxHandler handler) {
    std::lock_guard guard(handlerLock());
    MessageBoxHandler previous = std::move(installed());
    installed() = std::move(handler);
    return previous;
}

int defaultMessageBoxAnswer(UINT type) {
    static const int buttons[][3] = {
        {IDOK, IDOK, IDOK},             // MB_OK
        {IDOK, IDCANCEL, IDCANCEL},     // MB_OKCANCEL
        {IDABORT, IDRETRY, IDIGNORE},   // MB_ABORTRETRYIGNORE
        {IDYES, IDNO, IDCANCEL},        // MB_YESNOCANCEL
        {IDYES, IDNO, IDNO},            // MB_YESNO
        {IDRETRY, IDCANCEL, IDCANCEL},  // MB_RETRYCANCEL
    };
    UINT kind = type & MB_TYPEMASK;
    if (kind > MB_RETRYCANCEL) return IDOK;
    UINT which = (type & MB_DEFMASK) >> 8;
    if (which > 2) which = 0;
    return buttons[kind][which];
}

}  // namespace orvik

extern "C" int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    orvik::MessageBoxHandler handler;
    {
        std::lock_guard guard(handlerLock());
        handler = installed();
    }
    if (handler) return handler(owner, text ? text : "", caption ? caption : "", type);
    std::fprintf(stderr, "[%s] %s\n", caption ? caption : "", text ? text : "");
    return orvik::defaultMessageBoxAnswer(type);
}
