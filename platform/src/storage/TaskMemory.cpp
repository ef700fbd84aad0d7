// COM's task allocator: the C heap, so memory one side allocates the other may free.
#include <cstdlib>

#include <objbase.h>

LPVOID WINAPI CoTaskMemAlloc(SIZE_T cb) { return std::malloc(cb ? cb : 1); }

LPVOID WINAPI CoTaskMemRealloc(LPVOID pv, SIZE_T cb) { return std::realloc(pv, cb ? cb : 1); }

void WINAPI CoTaskMemFree(LPVOID pv) { std::free(pv); }
