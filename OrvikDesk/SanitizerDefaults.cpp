// Sanitizer builds only: the embedded browser's libraries keep allocations to the end of the
// process by design, and Chromium frees with a mismatching operator delete; neither is ours.
extern "C" __attribute__((visibility("default"), used)) const char* __asan_default_options() {
    return "new_delete_type_mismatch=0";
}

extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() {
    return "leak:libQt6WebEngineCore\n"
           "leak:libfontconfig\n"
           "leak:libudev\n"
           "leak:libdbus\n"
           "leak:libnss3\n"
           "leak:libgobject\n"
           "leak:libglib\n"
           "leak:libwayland-client\n";
}
