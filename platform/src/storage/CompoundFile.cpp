// Reading a compound file whole into a tree with libgsf's reader, and writing the tree back with its
// writer into a new file that replaces the original only once it is complete and on disk.
#include "CompoundFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <utility>

#include <glib.h>
#include <gsf/gsf-infile-msole.h>
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input-memory.h>
#include <gsf/gsf-input.h>
#include <gsf/gsf-outfile-msole.h>
#include <gsf/gsf-outfile.h>
#include <gsf/gsf-output-memory.h>
#include <gsf/gsf-output.h>

#include <orvik/CodePage.h>
#include <orvik/Owned.h>
#include <orvik/TempFile.h>

namespace orvik::storage {
namespace {

template <class T>
void unrefObject(T* object) {
    g_object_unref(object);
}
template <class T>
using GObjectPtr = Owned<T, unrefObject<T>>;
using ErrorPtr = Owned<GError, g_error_free>;
void freeChars(char* p) { std::free(p); }
using CharsPtr = Owned<char, freeChars>;

const uint8_t kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr size_t kHeaderBytes = 512;
// Deeper nesting than any real file has is taken for a damaged directory.
constexpr int kMaxDepth = 64;

char16_t upperUnit(char16_t unit) {
    if (unit < 0x80) return (unit >= u'a' && unit <= u'z') ? static_cast<char16_t>(unit - 0x20) : unit;
    if (unit >= 0xD800 && unit <= 0xDFFF) return unit;  // surrogates compare as they are
    gunichar upper = g_unichar_toupper(unit);
    return upper <= 0xFFFF ? static_cast<char16_t>(upper) : unit;
}

HRESULT writeError(int error) { return (error == ENOSPC || error == EDQUOT) ? STG_E_MEDIUMFULL : STG_E_WRITEFAULT; }

HRESULT openError(int error, const std::string& path) {
    switch (error) {
    case ENOENT: {
        // A missing file in a folder that exists, or a folder on the way that does not.
        size_t slash = path.find_last_of('/');
        std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
        struct stat st {};
        return (::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) ? STG_E_FILENOTFOUND : STG_E_PATHNOTFOUND;
    }
    case ENOTDIR:
    case ELOOP:
    case ENAMETOOLONG: return STG_E_PATHNOTFOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY: return STG_E_ACCESSDENIED;
    case EMFILE:
    case ENFILE: return STG_E_TOOMANYOPENFILES;
    case ENOMEM: return STG_E_INSUFFICIENTMEMORY;
    default: return STG_E_READFAULT;
    }
}

HRESULT readChildren(GsfInfile* dir, Element& into, int depth) {
    if (depth > kMaxDepth) return STG_E_DOCFILECORRUPT;
    int count = gsf_infile_num_children(dir);
    for (int i = 0; i < count; ++i) {
        const char* name = gsf_infile_name_by_index(dir, i);
        GObjectPtr<GsfInput> input(gsf_infile_child_by_index(dir, i));
        if (!input || !GSF_IS_INFILE_MSOLE(input.get())) return STG_E_DOCFILECORRUPT;
        auto element = std::make_unique<Element>();
        element->name = utf8ToUtf16(name ? name : "");
        auto* childDir = GSF_INFILE(input.get());
        if (gsf_infile_num_children(childDir) >= 0) {
            element->storage = true;
            gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(input.get()), element->clsid.data());
            if (HRESULT hr = readChildren(childDir, *element, depth + 1); FAILED(hr)) return hr;
        } else {
            gsf_off_t size = gsf_input_size(input.get());
            if (size < 0) return STG_E_DOCFILECORRUPT;
            if (static_cast<uint64_t>(size) > kMaxCompoundFileBytes) return STG_E_INSUFFICIENTMEMORY;
            element->bytes.resize(static_cast<size_t>(size));
            if (size > 0 && !gsf_input_read(input.get(), static_cast<size_t>(size), element->bytes.data()))
                return STG_E_DOCFILECORRUPT;
        }
        into.children.push_back(std::move(element));
    }
    return S_OK;
}

void dropMessage(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

// The reader logs what it finds wrong in a damaged file; the caller learns of it from the result.
void quietReader() {
    static std::once_flag once;
    std::call_once(once, [] {
        g_log_set_handler("libgsf:msole", static_cast<GLogLevelFlags>(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_CRITICAL),
                          dropMessage, nullptr);
    });
}

HRESULT parse(const std::vector<uint8_t>& data, Element& root) {
    quietReader();
    if (data.size() < kHeaderBytes || std::memcmp(data.data(), kSignature, sizeof kSignature) != 0)
        return STG_E_INVALIDHEADER;
    GObjectPtr<GsfInput> input(gsf_input_memory_new(data.data(), static_cast<gsf_off_t>(data.size()), FALSE));
    if (!input) return STG_E_INSUFFICIENTMEMORY;
    GError* rawError = nullptr;
    GObjectPtr<GsfInfile> infile(gsf_infile_msole_new(input.get(), &rawError));
    ErrorPtr error(rawError);
    if (!infile) return STG_E_INVALIDHEADER;
    root.storage = true;
    gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(infile.get()), root.clsid.data());
    return readChildren(infile.get(), root, 0);
}

bool writeChildren(GsfOutfile* dir, const Element& from) {
    for (const auto& child : from.children) {
        std::string name = utf16ToUtf8(child->name);
        GObjectPtr<GsfOutput> output(gsf_outfile_new_child(dir, name.c_str(), child->storage ? TRUE : FALSE));
        if (!output) return false;
        if (child->storage) {
            if (!gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(output.get()), child->clsid.data())) return false;
            if (!writeChildren(GSF_OUTFILE(output.get()), *child)) return false;
        } else if (!child->bytes.empty() && !gsf_output_write(output.get(), child->bytes.size(), child->bytes.data())) {
            return false;
        }
        // The writer puts a large stream's sectors down as it goes: each one is closed before
        // the next begins.
        if (!gsf_output_close(output.get())) return false;
    }
    return true;
}

// The whole file, or nothing.
bool serialise(const Element& root, std::vector<uint8_t>& out) {
    GObjectPtr<GsfOutput> sink(gsf_output_memory_new());
    if (!sink) return false;
    GObjectPtr<GsfOutfile> outfile(gsf_outfile_msole_new(sink.get()));
    if (!outfile) return false;
    bool ok = gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(outfile.get()), root.clsid.data()) &&
              writeChildren(outfile.get(), root);
    // Closing the root writes the directory and the allocation tables, and closes the sink.
    ok = gsf_output_close(GSF_OUTPUT(outfile.get())) && ok;
    if (!ok) return false;
    gsf_off_t size = gsf_output_size(sink.get());
    const guint8* bytes = gsf_output_memory_get_bytes(GSF_OUTPUT_MEMORY(sink.get()));
    if (size <= 0 || !bytes) return false;
    out.assign(bytes, bytes + size);
    return true;
}

bool writeAll(int fd, const uint8_t* data, size_t size, int& error) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            error = errno;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool readAll(int fd, std::vector<uint8_t>& out, int& error) {
    size_t done = 0;
    while (done < out.size()) {
        ssize_t n = ::pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR) continue;
            error = errno;
            return false;
        }
        if (n == 0) break;  // the file shrank meanwhile: what is there is what is read
        done += static_cast<size_t>(n);
    }
    out.resize(done);
    return true;
}

int lockOperation(DWORD mode) { return ((mode & 0x70) == STGM_SHARE_EXCLUSIVE ? LOCK_EX : LOCK_SH) | LOCK_NB; }

int lockFile(int fd, DWORD mode) {
    while (::flock(fd, lockOperation(mode)) != 0) {
        if (errno != EINTR) return errno;
    }
    return 0;
}

// A new file in the original's folder, removed unless it is put in the original's place.
class TempFile {
public:
    explicit TempFile(int dirFd) : dirFd_(dirFd) {}
    ~TempFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!name_.empty()) ::unlinkat(dirFd_, name_.c_str(), 0);
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    int create(const std::string& baseName) {
        // "<prefix><pid>-<random>.tmp": what a writer that died left here goes now.
        const std::string prefix = "." + baseName.substr(0, 200) + ".";
        orvik::sweepStaleTempFilesAt(dirFd_, prefix);
        for (int attempt = 0; attempt < 100; ++attempt) {
            uint64_t random = 0;
            if (::getrandom(&random, sizeof random, 0) != sizeof random)
                random = (static_cast<uint64_t>(::getpid()) << 32) ^ static_cast<uint64_t>(attempt);
            char suffix[17];
            std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(random));
            std::string name = prefix + std::to_string(::getpid()) + "-" + suffix + ".tmp";
            int fd = ::openat(dirFd_, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
            if (fd >= 0) {
                fd_ = fd;
                name_ = name;
                return 0;
            }
            if (errno != EEXIST) return errno;
        }
        return EEXIST;
    }
    int fd() const { return fd_; }
    const std::string& name() const { return name_; }
    // After the rename: the descriptor goes to the caller, the name is no longer ours to remove.
    int release() {
        name_.clear();
        return std::exchange(fd_, -1);
    }

private:
    int dirFd_;
    int fd_ = -1;
    std::string name_;
};

}  // namespace

bool sameElementName(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (upperUnit(a[i]) != upperUnit(b[i])) return false;
    return true;
}

Element* Element::child(std::u16string_view childName) const {
    for (const auto& element : children)
        if (sameElementName(element->name, childName)) return element.get();
    return nullptr;
}

CLSID clsidFromBytes(const std::array<uint8_t, 16>& b) {
    // Stored as the SDK lays a GUID out in memory: the first three fields little-endian.
    CLSID id{};
    id.Data1 = static_cast<DWORD>(b[0]) | static_cast<DWORD>(b[1]) << 8 | static_cast<DWORD>(b[2]) << 16 |
               static_cast<DWORD>(b[3]) << 24;
    id.Data2 = static_cast<WORD>(b[4] | b[5] << 8);
    id.Data3 = static_cast<WORD>(b[6] | b[7] << 8);
    for (int i = 0; i < 8; ++i) id.Data4[i] = b[8 + i];
    return id;
}

bool CompoundFile::writable() const { return (mode_ & 3) == STGM_READWRITE; }

HRESULT CompoundFile::open(const std::string& path, std::u16string shownName, DWORD mode,
                           std::shared_ptr<CompoundFile>& out) noexcept {
    try {
        std::shared_ptr<CompoundFile> file(new CompoundFile);
        file->mode_ = mode;
        file->shownName_ = std::move(shownName);
        // O_NONBLOCK keeps a FIFO given by mistake from hanging the open; it changes nothing for files.
        int flags = (file->writable() ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
        int fd = ::open(path.c_str(), flags);
        if (fd < 0) return openError(errno, path);
        file->fd_.emplace(fd);

        struct stat st {};
        if (::fstat(fd, &st) != 0) return STG_E_READFAULT;
        if (!S_ISREG(st.st_mode)) return STG_E_ACCESSDENIED;
        if (int error = lockFile(fd, mode); error != 0)
            return error == EWOULDBLOCK ? STG_E_SHAREVIOLATION : STG_E_LOCKVIOLATION;
        if (static_cast<uint64_t>(st.st_size) > kMaxCompoundFileBytes) return STG_E_INSUFFICIENTMEMORY;

        std::vector<uint8_t> data(static_cast<size_t>(st.st_size));
        int error = 0;
        if (!readAll(fd, data, error)) return STG_E_READFAULT;
        if (HRESULT hr = parse(data, file->root_); FAILED(hr)) return hr;

        if (file->writable()) {
            // The commit replaces the file the path leads to, through any links, in its own folder.
            CharsPtr real(::realpath(path.c_str(), nullptr));
            if (!real) return openError(errno, path);
            std::string resolved(real.get());
            size_t slash = resolved.find_last_of('/');
            std::string folder = slash == 0 ? "/" : resolved.substr(0, slash);
            file->baseName_ = resolved.substr(slash + 1);
            int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            // A folder that may be searched but not listed can still take the new file.
            if (dirFd < 0) dirFd = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
            if (dirFd < 0) return openError(errno, folder);
            file->dirFd_.emplace(dirFd);
        }
        out = std::move(file);
        return S_OK;
    } catch (const std::bad_alloc&) {
        return STG_E_INSUFFICIENTMEMORY;
    } catch (...) {
        return STG_E_READFAULT;
    }
}

HRESULT CompoundFile::commit() noexcept {
    if (!writable() || !dirFd_ || !fd_) return STG_E_ACCESSDENIED;
    try {
        std::vector<uint8_t> bytes;
        if (!serialise(root_, bytes)) return STG_E_WRITEFAULT;

        struct stat original {};
        if (::fstat(fd_->get(), &original) != 0) return STG_E_WRITEFAULT;

        TempFile temp(dirFd_->get());
        if (int error = temp.create(baseName_); error != 0) return writeError(error);
        int error = 0;
        if (!writeAll(temp.fd(), bytes.data(), bytes.size(), error)) return writeError(error);
        if (::fsync(temp.fd()) != 0) return writeError(errno);
        // Owner first: changing it may clear set-id bits the mode then puts back. Only root may
        // give a file away; anyone else keeps their own ownership.
        if ((original.st_uid != ::geteuid() || original.st_gid != ::getegid()) &&
            ::fchown(temp.fd(), original.st_uid, original.st_gid) != 0 && errno != EPERM)
            return STG_E_WRITEFAULT;
        if (::fchmod(temp.fd(), original.st_mode & 07777) != 0) return STG_E_WRITEFAULT;
        // Locked before it takes the original's name, so no opener finds it unlocked.
        if (lockFile(temp.fd(), mode_) != 0) return STG_E_WRITEFAULT;
        if (::renameat(dirFd_->get(), temp.name().c_str(), dirFd_->get(), baseName_.c_str()) != 0)
            return writeError(errno);

        fd_.emplace(temp.release());  // the old descriptor closes, and its lock with it
        // The rename is done; a folder that cannot be synced (EINVAL: not supported, EBADF: a
        // search-only handle) is taken as it is.
        if (::fsync(dirFd_->get()) != 0 && errno != EINVAL && errno != EBADF) return STG_E_WRITEFAULT;
        return S_OK;
    } catch (const std::bad_alloc&) {
        return STG_E_INSUFFICIENTMEMORY;
    } catch (...) {
        return STG_E_WRITEFAULT;
    }
}

}  // namespace orvik::storage
