/* Preloaded into a child process to end it at a chosen point or make its disk full.
 *
 * ORVIK_FAULT_KILL_AT=N   SIGKILL before the Nth file system call (open, read, write, seek, stat,
 *                         lock, sync, truncate, rename, unlink, close), standard streams aside
 * ORVIK_FAULT_KILL_AFTER_US=T   SIGKILL T microseconds after the process starts, wherever it is
 * ORVIK_FAULT_COUNT=PATH  write the number of such operations to PATH when the process exits
 * ORVIK_FAULT_ENOSPC=B    every write past the first B bytes fails with ENOSPC
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

static long operations;
static long killAt = -1;
static long long spaceLeft = -1;

static void resolveAll(void);

static void* killLater(void* arg) {
    long long us = *(long long*)arg;
    struct timespec t = {(time_t)(us / 1000000), (long)(us % 1000000) * 1000};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
    raise(SIGKILL);
    return NULL;
}

__attribute__((constructor)) static void start(void) {
    resolveAll();
    const char* at = getenv("ORVIK_FAULT_KILL_AT");
    const char* space = getenv("ORVIK_FAULT_ENOSPC");
    const char* after = getenv("ORVIK_FAULT_KILL_AFTER_US");
    if (at) killAt = atol(at);
    if (space) spaceLeft = atoll(space);
    if (after) {
        static long long us;
        us = atoll(after);
        pthread_t thread;
        pthread_create(&thread, NULL, killLater, &us);
        pthread_detach(thread);
    }
}

__attribute__((destructor)) static void finish(void) {
    const char* path = getenv("ORVIK_FAULT_COUNT");
    if (!path) return;
    /* Through the shim's own functions: counting them now changes nothing. */
    killAt = -1;
    spaceLeft = -1;
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return;
    char text[32];
    int n = snprintf(text, sizeof text, "%ld\n", operations);
    if (write(fd, text, (size_t)n) < 0) { /* nothing to be done */
    }
    close(fd);
}

static void step(int fd) {
    if (fd >= 0 && fd <= 2) return;
    if (++operations == killAt) raise(SIGKILL);
}

static int isFile(int fd);

/* Whether a write of n bytes to fd finds the disk full. Only files fill a disk: the pipes,
 * sockets and event counters a library's threads wake each other with never do. */
static int full(int fd, size_t n) {
    if (spaceLeft < 0 || !isFile(fd)) return 0;
    if ((long long)n > spaceLeft) {
        spaceLeft = 0;
        return 1;
    }
    spaceLeft -= (long long)n;
    return 0;
}

/* The C library's definitions, found once in the constructor while the process has one thread:
 * a first dlsym from inside an interposed call can wait on the loader's lock that another thread
 * holds while it waits on this one (a PKCS #11 module's GLib threads, say), and the child hangs. */
#define SHIMMED(X)                                                                                                 \
    X(open)                                                                                                        \
    X(open64)                                                                                                      \
    X(openat) X(mkstemp) X(mkostemp) X(read) X(pread64) X(write) X(pwrite64) X(fsync) X(fdatasync) X(ftruncate64)  \
        X(close) X(rename) X(renameat) X(unlink) X(link) X(fcntl64) X(fcntl) X(fstat64) X(fstat) X(stat64) X(stat) \
            X(lstat64) X(access) X(mkdir) X(lseek) X(pread) X(pwrite) X(ftruncate)
#define DECLARE_REAL(name) static __typeof__(&name) real_##name;
SHIMMED(DECLARE_REAL)

/* Copied, as C forbids casting a data pointer to a function pointer. */
#define RESOLVE(name)                               \
    {                                               \
        void* found = dlsym(RTLD_NEXT, #name);      \
        memcpy(&real_##name, &found, sizeof found); \
    }
static void resolveAll(void) { SHIMMED(RESOLVE) }

static int isFile(int fd) {
    struct stat st;
    return real_fstat && real_fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

/* A call made before the constructor ran (by another library's), still single-threaded. */
#define NEXT(name) \
    if (!real_##name) RESOLVE(name)

/* The mode an open that creates a file passes after its flags. */
#define MODE_ARGUMENT(flags)               \
    mode_t mode = 0;                       \
    if ((flags) & (O_CREAT | O_TMPFILE)) { \
        va_list ap;                        \
        va_start(ap, flags);               \
        mode = (mode_t)va_arg(ap, int);    \
        va_end(ap);                        \
    }

int open(const char* path, int flags, ...) {
    NEXT(open);
    MODE_ARGUMENT(flags);
    step(-1);
    return real_open(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
    NEXT(open64);
    MODE_ARGUMENT(flags);
    step(-1);
    return real_open64(path, flags, mode);
}

int openat(int dir, const char* path, int flags, ...) {
    NEXT(openat);
    MODE_ARGUMENT(flags);
    step(-1);
    return real_openat(dir, path, flags, mode);
}

int mkstemp(char* templ) {
    NEXT(mkstemp);
    step(-1);
    return real_mkstemp(templ);
}

int mkostemp(char* templ, int flags) {
    NEXT(mkostemp);
    step(-1);
    return real_mkostemp(templ, flags);
}

ssize_t read(int fd, void* buf, size_t n) {
    NEXT(read);
    step(fd);
    return real_read(fd, buf, n);
}

ssize_t pread64(int fd, void* buf, size_t n, off_t at) {
    NEXT(pread64);
    step(fd);
    return real_pread64(fd, buf, n, at);
}

ssize_t write(int fd, const void* buf, size_t n) {
    NEXT(write);
    step(fd);
    if (fd > 2 && full(fd, n)) {
        errno = ENOSPC;
        return -1;
    }
    return real_write(fd, buf, n);
}

ssize_t pwrite64(int fd, const void* buf, size_t n, off_t at) {
    NEXT(pwrite64);
    step(fd);
    if (full(fd, n)) {
        errno = ENOSPC;
        return -1;
    }
    return real_pwrite64(fd, buf, n, at);
}

int fsync(int fd) {
    NEXT(fsync);
    step(fd);
    return real_fsync(fd);
}

int fdatasync(int fd) {
    NEXT(fdatasync);
    step(fd);
    return real_fdatasync(fd);
}

int ftruncate64(int fd, off_t size) {
    NEXT(ftruncate64);
    step(fd);
    return real_ftruncate64(fd, size);
}

int close(int fd) {
    NEXT(close);
    step(fd);
    return real_close(fd);
}

int rename(const char* from, const char* to) {
    NEXT(rename);
    step(-1);
    return real_rename(from, to);
}

int renameat(int a, const char* from, int b, const char* to) {
    NEXT(renameat);
    step(-1);
    return real_renameat(a, from, b, to);
}

int unlink(const char* path) {
    NEXT(unlink);
    step(-1);
    return real_unlink(path);
}

int link(const char* from, const char* to) {
    NEXT(link);
    step(-1);
    return real_link(from, to);
}

int fcntl64(int fd, int cmd, ...) {
    NEXT(fcntl64);
    va_list ap;
    va_start(ap, cmd);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    step(fd);
    return real_fcntl64(fd, cmd, arg);
}

int fcntl(int fd, int cmd, ...) {
    NEXT(fcntl);
    va_list ap;
    va_start(ap, cmd);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    step(fd);
    return real_fcntl(fd, cmd, arg);
}

int fstat64(int fd, struct stat64* st) {
    NEXT(fstat64);
    step(fd);
    return real_fstat64(fd, st);
}

int fstat(int fd, struct stat* st) {
    NEXT(fstat);
    step(fd);
    return real_fstat(fd, st);
}

int stat64(const char* path, struct stat64* st) {
    NEXT(stat64);
    step(-1);
    return real_stat64(path, st);
}

int stat(const char* path, struct stat* st) {
    NEXT(stat);
    step(-1);
    return real_stat(path, st);
}

int lstat64(const char* path, struct stat64* st) {
    NEXT(lstat64);
    step(-1);
    return real_lstat64(path, st);
}

int access(const char* path, int mode) {
    NEXT(access);
    step(-1);
    return real_access(path, mode);
}

int mkdir(const char* path, mode_t mode) {
    NEXT(mkdir);
    step(-1);
    return real_mkdir(path, mode);
}

off_t lseek(int fd, off_t at, int whence) {
    NEXT(lseek);
    step(fd);
    return real_lseek(fd, at, whence);
}

ssize_t pread(int fd, void* buf, size_t n, off_t at) {
    NEXT(pread);
    step(fd);
    return real_pread(fd, buf, n, at);
}

ssize_t pwrite(int fd, const void* buf, size_t n, off_t at) {
    NEXT(pwrite);
    step(fd);
    if (full(fd, n)) {
        errno = ENOSPC;
        return -1;
    }
    return real_pwrite(fd, buf, n, at);
}

int ftruncate(int fd, off_t size) {
    NEXT(ftruncate);
    step(fd);
    return real_ftruncate(fd, size);
}
