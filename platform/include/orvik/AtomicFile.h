// Every file the system writes for the user goes into place whole or not at all: it is written
// to a temporary file beside its target, synced, and renamed over the target; a writer that died
// on the way leaves a temporary file that the next writer in the folder sweeps away.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "../windef.h"

namespace orvik {

class ORVIK_PLATFORM_API AtomicFile {
public:
    enum class Replace { Yes, No };

    // Opens the temporary file; ok() says whether that worked, error() why not.
    explicit AtomicFile(std::string target, mode_t mode = 0600);
    ~AtomicFile();  // discards what was not committed
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    bool ok() const { return fd_ >= 0 && error_ == 0; }
    int error() const { return error_; }  // the errno of the first failure
    int fd() const { return fd_; }
    const std::string& target() const { return target_; }

    bool write(const void* data, size_t size);
    bool write(const std::string& bytes) { return write(bytes.data(), bytes.size()); }

    // Syncs the file and puts it in place of the target, then syncs the folder. With Replace::No
    // an existing target stays as it is and the commit fails with EEXIST.
    bool commit(Replace replace = Replace::Yes);
    void discard();

private:
    bool fail(int error);

    std::string target_, dir_, temp_;
    mode_t mode_;
    int fd_ = -1;
    int error_ = 0;
    bool committed_ = false;
};

// The whole of `bytes` as the file `target`; false with errno set when anything failed, and the
// target then is as it was.
ORVIK_PLATFORM_API bool writeFileAtomically(const std::string& target, std::string_view bytes, mode_t mode = 0600,
                                            AtomicFile::Replace replace = AtomicFile::Replace::Yes);

// Makes a folder's entries (a rename, an unlink) durable; a folder that cannot be opened is left.
ORVIK_PLATFORM_API void syncFolder(const std::string& dir);

}  // namespace orvik
