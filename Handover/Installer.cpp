#include "Installer.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>
#include <vector>

#include <orvik/CodePage.h>
#include <orvik/Deployment.h>
#include <orvik/UniqueFd.h>

namespace handover {

namespace {

constexpr const char* kListName = "FileList.xml";
constexpr const char* kInUseMessage = "程序正在被使用，请重启计算机并执行“检查更新...”";
constexpr const char* kNoListMessage = "本次更新无法下载清单文件，请稍候重试";

std::string lowered(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

bool endsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string trimmed(const std::string& s) {
    const char* space = " \t\r\n";
    size_t first = s.find_first_not_of(space);
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(space) - first + 1);
}

using Fd = orvik::UniqueFd;

// A regular file's whole content; a link is not followed.
bool readAll(const std::string& path, std::string& bytes) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    bytes.clear();
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        bytes.append(buf, static_cast<size_t>(n));
    }
}

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// The folder's names without "." and "..", sorted so a run always goes in the same order.
std::vector<std::string> namesIn(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (!d) return names;
    while (dirent* e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

bool syncFolder(const std::string& dir) {
    Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd.get() >= 0 && fsync(fd.get()) == 0;
}

bool isRegular(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 || errno != ENOENT;
}

std::string stagedName(const std::string& dir, const std::string& name) { return dir + "/." + name + ".new"; }
std::string backupName(const std::string& dir, const std::string& name) { return dir + "/." + name + ".old"; }

// Copies `from` to a fresh `to`, durable on disk before it is renamed into place. The mode is the
// replaced file's; a new file is executable when it looks like a program.
bool stage(const std::string& from, const std::string& to, const std::string& target) {
    Fd in(::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat source {};
    if (in.get() < 0 || fstat(in.get(), &source) != 0 || !S_ISREG(source.st_mode)) return false;
    Fd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (out.get() < 0) return false;
    bool ok = true;
    bool elf = false;
    bool first = true;
    char buf[65536];
    while (ok) {
        ssize_t n = ::read(in.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        if (first)
            elf = n >= 4 && std::memcmp(buf,
                                        "\x7f"
                                        "ELF",
                                        4) == 0;
        first = false;
        ok = writeAll(out.get(), buf, static_cast<size_t>(n));
    }
    struct stat old {};
    mode_t mode = (elf || (source.st_mode & 0111)) ? 0755 : 0644;
    if (lstat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode)) mode = old.st_mode & 0777;
    ok = ok && fchmod(out.get(), mode) == 0 && fsync(out.get()) == 0;
    ok = out.close() && ok;
    if (!ok) ::unlink(to.c_str());
    return ok;
}

// The swap's journal: one line "<folder>\t<name>\t<1 when it replaced a file>" per file, written
// before the first rename; "done" is appended once every file and the list are in place.
std::string journalName(const std::string& programDir) { return programDir + "/.install.journal"; }

bool writeJournal(const std::string& path, const std::string& text, bool append) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC), 0600);
    if (fd < 0) return false;
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ::fsync(fd) == 0;
    return ::close(fd) == 0 && ok;
}

// A run killed during the swap: before "done" every file goes back to what it was, so the old
// version stands whole; after it the backups are only dropped. Either way the journal goes.
void replayJournal(const std::string& programDir) {
    std::string journal;
    if (!readAll(journalName(programDir), journal)) return;
    const bool done = journal.size() >= 5 && journal.compare(journal.size() - 5, 5, "done\n") == 0;
    size_t at = 0;
    while (at < journal.size()) {
        size_t end = journal.find('\n', at);
        if (end == std::string::npos) break;
        const std::string line = journal.substr(at, end - at);
        at = end + 1;
        size_t tab1 = line.find('\t'), tab2 = line.rfind('\t');
        if (tab1 == std::string::npos || tab2 == tab1) continue;
        const std::string dir = line.substr(0, tab1), name = line.substr(tab1 + 1, tab2 - tab1 - 1);
        const bool replaced = line.substr(tab2 + 1) == "1";
        const std::string target = dir + "/" + name, backup = backupName(dir, name);
        if (done) {
            ::unlink(backup.c_str());
        } else if (exists(backup)) {
            ::rename(backup.c_str(), target.c_str());
        } else if (!replaced) {
            ::unlink(target.c_str());  // a file the update added
        }
        ::unlink(stagedName(dir, name).c_str());
    }
    ::unlink(journalName(programDir).c_str());
}

// A crash between the two renames of a file leaves only its backup: that one is put back. Other
// leftovers are dropped; the installed list was not replaced then, so the next check fetches again.
void recover(const std::string& dir) {
    for (const std::string& name : namesIn(dir)) {
        if (name.size() <= 5 || name[0] != '.' || !isRegular(dir + "/" + name)) continue;
        std::string original = name.substr(1, name.size() - 5);
        if (endsWith(name, ".old")) {
            if (!exists(dir + "/" + original)) {
                ::rename((dir + "/" + name).c_str(), (dir + "/" + original).c_str());
            } else {
                ::unlink((dir + "/" + name).c_str());
            }
        } else if (endsWith(name, ".new")) {
            ::unlink((dir + "/" + name).c_str());
        }
    }
}

// "<file" opens an element only before '>' or white space; "<filename>" and "<filepath>" do not.
bool opensElement(const std::string& list, size_t at) {
    size_t next = at + 5;
    return next < list.size() && std::strchr(" \t\r\n>", list[next]) != nullptr && list[next] != '\0';
}

std::string textBetween(const std::string& list, size_t from, size_t to, const std::string& open,
                        const std::string& close) {
    size_t begin = list.find(open, from);
    if (begin == std::string::npos || begin >= to) return {};
    begin += open.size();
    size_t end = list.find(close, begin);
    if (end == std::string::npos || end > to) return {};
    return trimmed(list.substr(begin, end - begin));
}

struct Item {
    std::string name;
    std::string dir;
    bool staged = false;
    bool backedUp = false;
    bool swapped = false;
};

void rollBack(std::vector<Item>& items) {
    for (auto it = items.rbegin(); it != items.rend(); ++it) {
        std::string target = it->dir + "/" + it->name;
        if (it->backedUp) {
            ::rename(backupName(it->dir, it->name).c_str(), target.c_str());
        } else if (it->swapped) {
            ::unlink(target.c_str());
        }
        if (it->staged && !it->swapped) ::unlink(stagedName(it->dir, it->name).c_str());
    }
}

}  // namespace

Installer::Installer(std::string programDir, std::string systemDir, MessageFn message)
    : programDir_(std::move(programDir)), systemDir_(std::move(systemDir)), message_(std::move(message)) {
    if (systemDir_.empty()) systemDir_ = programDir_;
}

std::string Installer::systemFolder(const std::string& programDir) {
    std::string dir = orvik::deployment::text(orvik::deployment::kSystemDir);
    return dir.empty() ? programDir : dir;
}

void Installer::syncFolders() const {
    syncFolder(programDir_);
    if (systemDir_ != programDir_) syncFolder(systemDir_);
}

Installer::Result Installer::run() {
    replayJournal(programDir_);
    recover(programDir_);
    if (systemDir_ != programDir_) recover(systemDir_);
    syncFolders();

    const std::string temp = programDir_ + "/temp";
    struct stat st {};
    std::string list;
    Result result;
    if (lstat(temp.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && readAll(temp + "/" + kListName, list) &&
        !list.empty()) {
        result = install(temp, list);
    } else {
        message_(kNoListMessage);
    }
    // remove_all does not follow links, so nothing outside temp goes with it.
    std::error_code ec;
    std::filesystem::remove_all(temp, ec);
    return result;
}

std::string Installer::targetFolder(const std::string& lowerList, const std::string& lowerName, bool& listed) const {
    const std::string needle = "<filename>" + lowerName + "</filename>";
    size_t at = lowerList.find(needle);
    listed = at != std::string::npos;
    if (!listed) return {};

    // The element around the name, so an entry lacking a path never takes its neighbour's.
    size_t begin = 0;
    size_t previousEnd = lowerList.rfind("</file>", at);
    if (previousEnd != std::string::npos) begin = previousEnd + 7;
    for (size_t open = lowerList.rfind("<file", at); open != std::string::npos && open >= begin;
         open = open == 0 ? std::string::npos : lowerList.rfind("<file", open - 1)) {
        if (opensElement(lowerList, open)) {
            begin = open;
            break;
        }
    }
    size_t end = lowerList.find("</file>", at + needle.size());
    for (size_t open = lowerList.find("<file", at + needle.size()); open != std::string::npos && open < end;
         open = lowerList.find("<file", open + 1)) {
        if (opensElement(lowerList, open)) {
            end = open;
            break;
        }
    }
    if (end == std::string::npos) end = lowerList.size();

    // FileReg ("yes" asked the old system to register a library) has nothing to do here.
    return textBetween(lowerList, begin, end, "<filepath>", "</filepath>") == "sys" ? systemDir_ : programDir_;
}

Installer::Result Installer::install(const std::string& temp, const std::string& list) {
    // The list is GB2312; names on disk are UTF-8. Converted whole before any search, so a trail
    // byte never matches a "<" or "\\".
    std::string utf8;
    if (!orvik::cp936ToUtf8(list, utf8)) {
        message_(kNoListMessage);
        return {};
    }
    const std::string lowerList = lowered(utf8);
    std::vector<Item> items;
    bool ok = true;
    for (const std::string& name : namesIn(temp)) {
        const std::string lowerName = lowered(name);
        // Unfinished downloads are not installed.
        if (lowerName == lowered(kListName) || endsWith(lowerName, ".part")) continue;
        struct stat st {};
        if (lstat((temp + "/" + name).c_str(), &st) != 0 || S_ISDIR(st.st_mode)) continue;
        bool listed = false;
        std::string dir = targetFolder(lowerList, lowerName, listed);
        if (!listed) continue;
        // A link is never followed: it could make the install copy any file of the system.
        if (!S_ISREG(st.st_mode)) ok = false;
        items.push_back({name, dir});
    }

    // Nothing is replaced until every file is staged beside its target.
    for (Item& item : items) {
        if (!ok) break;
        item.staged = stage(temp + "/" + item.name, stagedName(item.dir, item.name), item.dir + "/" + item.name);
        ok = item.staged;
    }
    // The list goes in last, with the files: while the old one is installed, the next check
    // fetches everything again.
    if (ok) {
        Item list{kListName, programDir_};
        list.staged = stage(temp + "/" + kListName, stagedName(programDir_, kListName), programDir_ + "/" + kListName);
        ok = list.staged;
        items.push_back(list);
    }
    // What the swap is about to do, on disk first, so a run killed half-way is undone whole.
    std::string journal;
    for (const Item& item : items)
        journal += item.dir + "\t" + item.name + "\t" + (exists(item.dir + "/" + item.name) ? "1" : "0") + "\n";
    if (ok) {
        ok = writeJournal(journalName(programDir_), journal, false);
        syncFolders();
    }
    // Renames keep a running program's or loaded library's inode intact and leave no half-written file.
    for (Item& item : items) {
        if (!ok) break;
        const std::string target = item.dir + "/" + item.name;
        struct stat st {};
        if (lstat(target.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
            item.backedUp = ::rename(target.c_str(), backupName(item.dir, item.name).c_str()) == 0;
            ok = item.backedUp;
        }
        if (ok) {
            item.swapped = ::rename(stagedName(item.dir, item.name).c_str(), target.c_str()) == 0;
            ok = item.swapped;
        }
    }
    syncFolders();
    if (ok) ok = writeJournal(journalName(programDir_), "done\n", true);
    if (!ok) {
        rollBack(items);
        syncFolders();
        ::unlink(journalName(programDir_).c_str());
        message_(kInUseMessage);
        return {};
    }
    // The backups go only once the new state is on disk.
    for (const Item& item : items) {
        if (item.backedUp) ::unlink(backupName(item.dir, item.name).c_str());
    }
    syncFolders();
    ::unlink(journalName(programDir_).c_str());
    syncFolders();
    // The list is no file of the update's own.
    return {static_cast<int>(items.size()) - 1, true};
}

}  // namespace handover
