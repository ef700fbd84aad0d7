#include "Foxmail.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include <objbase.h>
#include <orvik/CodePage.h>
#include <orvik/UniqueFd.h>
#include <windows.h>

#include "MyCertStore.h"

namespace {

constexpr const char* kFoxmailKey = "Software\\Aerofox\\Foxmail";
constexpr const char* kVersionKey = "Software\\Aerofox\\Foxmail\\V3.1";
constexpr size_t kIndexHeader = 64;
constexpr size_t kRecord = 176;
// Seven 0x10, six 0x13 and "S": what starts every block of a data file.
constexpr char kBlockMarker[] = "\x10\x10\x10\x10\x10\x10\x10\x13\x13\x13\x13\x13\x13S";
constexpr size_t kMarkerSize = 14;
constexpr size_t kMaxStream = 16u << 20;

struct ComRelease {
    void operator()(IUnknown* p) const {
        if (p) p->Release();
    }
};
template <class T>
using Com = std::unique_ptr<T, ComRelease>;

uint32_t le32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void putLe32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

bool isDir(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The entry of `dir` whose name equals `name` without regard to case; empty when none.
std::string entryIgnoringCase(const std::string& dir, const std::string& name) {
    std::string found;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            if (strcasecmp(e->d_name, name.c_str()) == 0) {
                found = e->d_name;
                if (found == name) break;
            }
        }
        closedir(d);
    }
    return found;
}

// A stream "Ver30"/`name` of a compound file, with its storages held open.
struct Opened {
    Com<IStorage> root, ver30;
    Com<IStream> stream;
};

bool openStream(const std::string& path, const char16_t* name, bool write, Opened& out) {
    std::u16string wide = orvik::utf8ToUtf16(path);
    IStorage* root = nullptr;
    // Reading lets Foxmail (or another reader) keep the file open; writing needs it alone.
    DWORD mode = write ? (STGM_READWRITE | STGM_SHARE_EXCLUSIVE) : (STGM_READ | STGM_SHARE_DENY_WRITE);
    if (FAILED(StgOpenStorage(reinterpret_cast<const OLECHAR*>(wide.c_str()), nullptr, mode, nullptr, 0, &root)))
        return false;
    out.root.reset(root);
    DWORD child = (write ? STGM_READWRITE : STGM_READ) | STGM_SHARE_EXCLUSIVE;
    IStorage* ver30 = nullptr;
    if (FAILED(root->OpenStorage(reinterpret_cast<const OLECHAR*>(u"Ver30"), nullptr, child, nullptr, 0, &ver30)))
        return false;
    out.ver30.reset(ver30);
    IStream* stream = nullptr;
    if (FAILED(ver30->OpenStream(reinterpret_cast<const OLECHAR*>(name), nullptr, child, 0, &stream))) return false;
    out.stream.reset(stream);
    return true;
}

bool readStream(IStream* stream, std::string& bytes) {
    STATSTG st{};
    if (FAILED(stream->Stat(&st, STATFLAG_NONAME)) || st.cbSize.QuadPart > kMaxStream) return false;
    bytes.assign(static_cast<size_t>(st.cbSize.QuadPart), '\0');
    LARGE_INTEGER zero{};
    if (FAILED(stream->Seek(zero, STREAM_SEEK_SET, nullptr))) return false;
    ULONG read = 0;
    if (!bytes.empty() && FAILED(stream->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &read))) return false;
    bytes.resize(read);
    return true;
}

bool readFile(const std::string& path, std::string& bytes) {
    orvik::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return false;
    bytes.clear();
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fd.get(), buf, sizeof buf)) > 0) bytes.append(buf, static_cast<size_t>(n));
    return n == 0;
}

bool writeAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string utf8(const std::string& gbk) { return orvik::fromCp936(gbk); }

}  // namespace

CFoxmail::CFoxmail() = default;

CFoxmail::~CFoxmail() = default;

int CFoxmail::FindFoxmailDir(std::string& dir) {
    dir.clear();
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kFoxmailKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return -1;
    std::string value;
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD size = sizeof name;
        if (RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        if (std::strcmp(name, "V3.1") != 0) continue;
        HKEY version = nullptr;
        if (RegOpenKeyExA(key, name, 0, KEY_READ, &version) != ERROR_SUCCESS) break;
        char buf[1025] = {};
        DWORD bytes = sizeof buf - 1, type = 0;
        if (RegQueryValueExA(version, "FoxmailPath", nullptr, &type, reinterpret_cast<BYTE*>(buf), &bytes) ==
                ERROR_SUCCESS &&
            type == REG_SZ)
            value.assign(buf, strnlen(buf, bytes));
        RegCloseKey(version);
        break;
    }
    RegCloseKey(key);
    if (value.empty()) return 0;
    // A folder names itself; Windows' value names the program inside the folder.
    if (isDir(value)) {
        while (value.size() > 1 && value.back() == '/') value.pop_back();
        dir = value;
        return 0;
    }
    size_t cut = value.find_last_of("\\/");
    dir = cut == std::string::npos ? std::string() : value.substr(0, cut);
    return 0;
}

int CFoxmail::SetFoxmailDir(const std::string& dir) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kVersionKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return 4;
    LONG rc = RegSetValueExA(key, "FoxmailPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(dir.c_str()),
                             static_cast<DWORD>(dir.size() + 1));
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? 0 : 4;
}

std::string CFoxmail::ResolvePath(const std::string& base, const std::string& path) {
    std::vector<std::string> names;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t next = path.find_first_of("\\/", pos);
        std::string name = path.substr(pos, next == std::string::npos ? std::string::npos : next - pos);
        if (!name.empty() && name != "." && !(names.empty() && name.size() == 2 && name[1] == ':'))
            names.push_back(name);
        if (next == std::string::npos) break;
        pos = next + 1;
    }
    if (!path.empty() && path[0] == '/' && access(path.c_str(), F_OK) == 0) return path;
    // "C:\Foxmail\mail\zhang" under a copy of "C:\Foxmail": its tail "mail\zhang" is there.
    for (size_t first = 0; first < names.size(); ++first) {
        std::string resolved = base;
        bool found = true;
        for (size_t i = first; i < names.size() && found; ++i) {
            if (names[i] == "..") {
                found = false;
                break;
            }
            std::string entry = entryIgnoringCase(resolved, names[i]);
            found = !entry.empty();
            resolved += "/" + entry;
        }
        if (found) return resolved;
    }
    return names.empty() ? base : std::string();
}

std::string CFoxmail::folder(const std::string& dir) const {
    if (!dir.empty()) return dir;
    std::string found;
    FindFoxmailDir(found);
    return found;
}

int CFoxmail::ReadAccountList(const std::string& dir, std::vector<AccountEntry>& out) {
    out.clear();
    Opened opened;
    std::string list = ResolvePath(dir, "accounts.cfg");
    std::string bytes;
    if (list.empty() || !openStream(list, u"accounts.cfg", false, opened) || !readStream(opened.stream.get(), bytes))
        return -1;
    if (bytes.size() < 68) return 0;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t size = bytes.size();
    size_t pos = 68;
    // Lengths are 32-bit and must stay inside the stream.
    auto text = [&](std::string& value) {
        if (size - pos < 4) return false;
        uint32_t length = le32(p + pos);
        pos += 4;
        if (length > size - pos) return false;
        value.assign(bytes, pos, length);
        pos += length;
        return true;
    };
    for (unsigned i = 0; i < p[64]; ++i) {
        AccountEntry entry;
        std::string unused;
        if (size - pos < 4) break;
        pos += 4;
        if (!text(entry.name) || !text(entry.directory) || !text(unused) || size - pos < 20) {
            log.Log(CSecLog::SEC_LOG_WARNING, __LINE__, __FILE__, "accounts.cfg: record %u runs past the stream", i);
            break;
        }
        pos += 20;
        entry.name = utf8(entry.name);
        entry.directory = utf8(entry.directory);
        out.push_back(std::move(entry));
    }
    return 0;
}

std::string CFoxmail::ConfigValue(const std::string& text, const std::string& key) {
    const std::string wanted = key + "=";
    for (size_t line = 0; line < text.size();) {
        size_t end = text.find("\r\n", line);
        if (text.compare(line, wanted.size(), wanted) == 0) {
            size_t from = line + wanted.size();
            size_t to = end == std::string::npos ? text.size() : end;
            return text.substr(from, std::min<size_t>(to - from, 1023));
        }
        if (end == std::string::npos) break;
        line = end + 2;
    }
    return {};
}

std::string CFoxmail::WithConfigValue(const std::string& text, const std::string& key, const std::string& value) {
    const std::string wanted = key + "=";
    const std::string newLine = wanted + value + "\r\n";
    size_t before = std::string::npos;
    for (size_t line = 0; line < text.size();) {
        size_t end = text.find("\r\n", line);
        size_t next = end == std::string::npos ? text.size() : end + 2;
        if (text.compare(line, wanted.size(), wanted) == 0) return text.substr(0, line) + newLine + text.substr(next);
        if (before == std::string::npos && text.compare(line, 9, "SMTPHost=") == 0) before = line;
        line = next;
    }
    if (before != std::string::npos) return text.substr(0, before) + newLine + text.substr(before);
    std::string out = text;
    if (!out.empty() && (out.size() < 2 || out.compare(out.size() - 2, 2, "\r\n") != 0)) out += "\r\n";
    return out + newLine;
}

int CFoxmail::LoadAccounts(const std::string& dir) {
    accounts_.clear();
    const std::string base = folder(dir);
    std::vector<AccountEntry> list;
    if (base.empty() || ReadAccountList(base, list) != 0) return -1;
    CMyCertStore store;
    store.OpenCertStore();
    for (const AccountEntry& entry : list) {
        std::string accountDir = ResolvePath(base, entry.directory);
        std::string file = accountDir.empty() ? std::string() : ResolvePath(accountDir, "Account.stg");
        Opened opened;
        std::string text;
        // One account that cannot be read does not hide the others.
        if (file.empty() || !openStream(file, u"AccInfo.cfg", false, opened) ||
            !readStream(opened.stream.get(), text)) {
            log.Log(CSecLog::SEC_LOG_WARNING, __LINE__, __FILE__, "Foxmail account %s cannot be read",
                    entry.name.c_str());
            continue;
        }
        auto account = std::make_unique<CEmailAccount>();
        account->getAccountKey()->setBytes(file.data(), static_cast<int>(file.size()));
        account->getAccountName()->setBytes(entry.name.data(), static_cast<int>(entry.name.size()));
        std::string address = utf8(ConfigValue(text, "MailAddress"));
        account->getEmailAddress()->setBytes(address.data(), static_cast<int>(address.size()));
        std::string thumb = ConfigValue(text, "SignCertHash");
        account->setSignCert(thumb.empty() ? nullptr : store.FindByThumb(thumb));
        accounts_.push_back(std::move(account));
    }
    return 0;
}

int CFoxmail::SaveAccountSignCert(CEmailAccount* account) {
    if (!account) return -1;
    const std::string file = account->getAccountKey()->getText();
    Opened opened;
    std::string text;
    if (!openStream(file, u"AccInfo.cfg", true, opened) || !readStream(opened.stream.get(), text)) {
        log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, __FILE__, "%s cannot be opened for writing", file.c_str());
        return -1;
    }
    std::string updated = WithConfigValue(text, "SignCertHash", CFoxContact::GroupedThumbprint(account->getSignCert()));
    LARGE_INTEGER zero{};
    ULARGE_INTEGER size{};
    size.QuadPart = updated.size();
    ULONG written = 0;
    // The stream is rewritten whole and its size set to the new text; the file is replaced only
    // by the commit, so a failure leaves it as it was.
    bool ok = SUCCEEDED(opened.stream->Seek(zero, STREAM_SEEK_SET, nullptr)) &&
              SUCCEEDED(opened.stream->Write(updated.data(), static_cast<ULONG>(updated.size()), &written)) &&
              written == updated.size() && SUCCEEDED(opened.stream->SetSize(size)) &&
              SUCCEEDED(opened.root->Commit(STGC_DEFAULT));
    if (!ok) log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, __FILE__, "%s cannot be written", file.c_str());
    return ok ? 0 : -1;
}

int CFoxmail::LoadAddressBooks(const std::string& dir) {
    contacts_.clear();
    const std::string base = folder(dir);
    if (base.empty()) return 0;
    std::string address = ResolvePath(base, "Address");
    if (address.empty() || !isDir(address)) return 0;
    std::vector<std::string> indexes;
    if (DIR* d = opendir(address.c_str())) {
        while (dirent* e = readdir(d)) {
            size_t n = std::strlen(e->d_name);
            if (n > 4 && strcasecmp(e->d_name + n - 4, ".IND") == 0) indexes.emplace_back(e->d_name);
        }
        closedir(d);
    }
    std::sort(indexes.begin(), indexes.end());
    for (const std::string& index : indexes) {
        std::string data = entryIgnoringCase(address, index.substr(0, index.size() - 4) + ".BOX");
        if (data.empty() || readBook(address + "/" + index, address + "/" + data) != 0) {
            MessageBoxA(nullptr, "打开地址簿错误！", "证书助手", MB_OK | MB_ICONWARNING);
            return -1;
        }
    }
    return 0;
}

int CFoxmail::readBook(const std::string& indexPath, const std::string& dataPath) {
    std::string index, data;
    if (!readFile(dataPath, data)) return -1;
    if (!readFile(indexPath, index)) return 0;
    for (size_t at = kIndexHeader; at + kRecord <= index.size(); at += kRecord) {
        const auto* r = reinterpret_cast<const unsigned char*>(index.data() + at);
        if (r[4] == 1 || r[17] == 1) continue;
        uint32_t offset = le32(r + 5), length = le32(r + 9);
        // A record pointing outside the data file is damage, not a contact.
        if (offset > data.size() || length > data.size() - offset) {
            log.Log(CSecLog::SEC_LOG_WARNING, __LINE__, __FILE__, "%s: record at %zu points outside the data file",
                    indexPath.c_str(), at);
            continue;
        }
        auto contact = std::make_unique<CFoxContact>();
        contact->name = utf8(std::string(reinterpret_cast<const char*>(r + 19), std::min<size_t>(r[18], 32)));
        contact->email = utf8(std::string(reinterpret_cast<const char*>(r + 52), std::min<size_t>(r[51], 64)));
        contact->certMarker = static_cast<char>(r[132]);
        contact->recordPosition = std::to_string(at + kRecord);
        contact->indexPath = indexPath;
        contact->dataPath = dataPath;
        contact->ParseBlock(data.substr(offset, length));
        for (std::string& e : contact->emails) e = utf8(e);
        contacts_.push_back(std::move(contact));
    }
    return 0;
}

int CFoxmail::SaveContact(CFoxContact* contact) {
    if (!contact) return -1;
    const size_t position = std::strtoull(contact->recordPosition.c_str(), nullptr, 10);
    if (position < kIndexHeader + kRecord) return -1;
    orvik::UniqueFd data(::open(contact->dataPath.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
    orvik::UniqueFd index(::open(contact->indexPath.c_str(), O_RDWR | O_CLOEXEC));
    if (data.get() < 0 || index.get() < 0) return -1;
    struct stat st {};
    unsigned char record[kRecord];
    if (fstat(data.get(), &st) != 0 ||
        pread(index.get(), record, kRecord, static_cast<off_t>(position - kRecord)) != static_cast<ssize_t>(kRecord))
        return -1;

    CFoxContact saved = *contact;
    for (std::string& e : saved.emails) e = orvik::toCp936(e);
    const std::string block = saved.BuildBlock();
    const uint64_t start = static_cast<uint64_t>(st.st_size) + kMarkerSize + 2;
    if (start + block.size() > UINT32_MAX) return -1;
    // The new block goes at the end; the index points at it only once it is on disk.
    if (!writeAll(data.get(), std::string(kBlockMarker, kMarkerSize) + "\r\n" + block) || fsync(data.get()) != 0)
        return -1;
    putLe32(record + 5, static_cast<uint32_t>(start));
    putLe32(record + 9, static_cast<uint32_t>(block.size()));
    char marker = contact->certs.empty() ? 0 : (contact->certMarker ? contact->certMarker : '1');
    record[132] = static_cast<unsigned char>(marker);
    if (pwrite(index.get(), record, kRecord, static_cast<off_t>(position - kRecord)) != static_cast<ssize_t>(kRecord) ||
        fsync(index.get()) != 0)
        return -1;
    contact->certMarker = marker;
    return data.close() && index.close() ? 0 : -1;
}
