#include <dlfcn.h>

#include <winbase.h>

extern "C" HMODULE WINAPI LoadLibraryA(LPCSTR fileName) {
    if (!fileName || fileName[0] != '/') {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    void* handle = dlopen(fileName, RTLD_NOW | RTLD_LOCAL);
    if (!handle) SetLastError(ERROR_MOD_NOT_FOUND);
    return static_cast<HMODULE>(handle);
}

extern "C" FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName) {
    if (!module || !procName) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    dlerror();
    void* symbol = dlsym(module, procName);
    if (!symbol) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

extern "C" BOOL WINAPI FreeLibrary(HMODULE module) {
    if (!module || dlclose(module) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
