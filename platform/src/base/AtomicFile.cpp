#include <orvik/AtomicFile.h>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <orvik/TempFile.h>

namespace orvik {

namespace {

constexpr char kPrefix[] = ".orvik-part-";

std::string folderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

void syncFolder(const std::string& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

AtomicFile::AtomicFile(std::string target, mode_t mode)
    : target_(std::move(target)), dir_(folderOf(target_)), mode_(mode) {
    fd_ = createTempFile(dir_, kPrefix, temp_);
    if (fd_ < 0) {
        error_ = errno ? errno : EIO;
        return;
    }
    if (mode_ != 0600 && ::fchmod(fd_, mode_) != 0) fail(errno);
}

AtomicFile::~AtomicFile() { discard(); }

bool AtomicFile::fail(int error) {
    if (!error_) error_ = error ? error : EIO;
    return false;
}

bool AtomicFile::write(const void* data, size_t size) {
    if (!ok()) return false;
    const char* p = static_cast<const char*>(data);
    while (size) {
        const ssize_t w = ::write(fd_, p, size);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return fail(w < 0 ? errno : ENOSPC);
        p += w;
        size -= static_cast<size_t>(w);
    }
    return true;
}

bool AtomicFile::commit(Replace replace) {
    if (!ok()) return false;
    if (::fsync(fd_) != 0) return fail(errno);
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) return fail(errno);
    if (replace == Replace::No) {
        // A link fails when the target exists, where a rename would have replaced it.
        if (::link(temp_.c_str(), target_.c_str()) != 0) return fail(errno);
        ::unlink(temp_.c_str());
    } else if (::rename(temp_.c_str(), target_.c_str()) != 0) {
        return fail(errno);
    }
    committed_ = true;
    // The file is in place; a folder that cannot be synced does not undo that.
    syncFolder(dir_);
    return true;
}

void AtomicFile::discard() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!committed_ && !temp_.empty()) ::unlink(temp_.c_str());
    temp_.clear();
}

bool writeFileAtomically(const std::string& target, std::string_view bytes, mode_t mode, AtomicFile::Replace replace) {
    AtomicFile file(target, mode);
    if (file.write(bytes.data(), bytes.size()) && file.commit(replace)) return true;
    errno = file.error();
    return false;
}

}  // namespace orvik
