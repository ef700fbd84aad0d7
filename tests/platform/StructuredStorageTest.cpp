// Compound files through StgOpenStorage, IStorage and IStream: reading, the modes and sharing
// Windows allows, the errors callers tell apart, and commits that either replace the file whole or
// leave it as it was. Files are made and checked with libgsf through the test fixture.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <objbase.h>
#include <orvik/CodePage.h>

#include "support/CompoundFile.h"
#include "support/TempHome.h"

using orvik::test::CfbClassId;
using orvik::test::CfbNode;
using orvik::test::cfbRoot;
using orvik::test::cfbStorage;
using orvik::test::cfbStream;
using orvik::test::readCompoundFile;
using orvik::test::readFile;
using orvik::test::TempDir;
using orvik::test::writeCompoundFile;
using orvik::test::writeFile;

namespace {

struct Releaser {
    void operator()(IUnknown* object) const { object->Release(); }
};
template <class T>
using Com = std::unique_ptr<T, Releaser>;

constexpr DWORD kReadShared = STGM_READ | STGM_SHARE_DENY_WRITE;
constexpr DWORD kReadExclusive = STGM_READ | STGM_SHARE_EXCLUSIVE;
constexpr DWORD kReadWrite = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;

const CfbClassId kRootClass = {0x78, 0x56, 0x34, 0x12, 0x34, 0x12, 0x78, 0x56,
                               0x9A, 0xBC, 0xDE, 0xF0, 0x12, 0x34, 0x56, 0x78};
const CfbClassId kCertsClass = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
                                0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10};

// Bytes that differ from offset to offset, so a misplaced sector shows.
std::string pattern(size_t size, unsigned seed) {
    std::string out(size, '\0');
    uint32_t state = seed * 2654435761u + 1;
    for (auto& c : out) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 24);
    }
    return out;
}

// Streams on both sides of the 4096-byte line between the mini stream and regular sectors.
CfbNode sampleTree() {
    return cfbRoot(
        {
            cfbStorage("Certs",
                       {
                           cfbStream("small", pattern(100, 1)),
                           cfbStream("large", pattern(10000, 2)),
                           cfbStream("edge4095", pattern(4095, 3)),
                           cfbStream("edge4096", pattern(4096, 4)),
                           cfbStorage("Inner", {cfbStream("deep", pattern(300, 5))}),
                       },
                       kCertsClass),
            cfbStream("Summary", pattern(64, 6)),
            cfbStream("Empty", ""),
            cfbStream("Größe", pattern(10, 7)),
            cfbStorage("Nothing", {}),
        },
        kRootClass);
}

std::u16string u16(std::string_view utf8) { return orvik::utf8ToUtf16(utf8); }

HRESULT openFile(const std::string& path, DWORD mode, Com<IStorage>& out) {
    IStorage* storage = nullptr;
    HRESULT hr = StgOpenStorage(u16(path).c_str(), nullptr, mode, nullptr, 0, &storage);
    out.reset(storage);
    return hr;
}

HRESULT openStorage(IStorage* parent, std::string_view name, DWORD mode, Com<IStorage>& out) {
    IStorage* storage = nullptr;
    HRESULT hr = parent->OpenStorage(u16(name).c_str(), nullptr, mode, nullptr, 0, &storage);
    out.reset(storage);
    return hr;
}

HRESULT openStream(IStorage* parent, std::string_view name, DWORD mode, Com<IStream>& out) {
    IStream* stream = nullptr;
    HRESULT hr = parent->OpenStream(u16(name).c_str(), nullptr, mode, 0, &stream);
    out.reset(stream);
    return hr;
}

// The stream at a path of names separated by '/', the storages on the way opened with the same
// access and released once the stream is open (the stream keeps the file).
HRESULT openPath(IStorage* root, std::string_view path, DWORD access, Com<IStream>& out) {
    DWORD mode = access | STGM_SHARE_EXCLUSIVE;
    std::vector<Com<IStorage>> chain;
    IStorage* at = root;
    for (size_t slash; (slash = path.find('/')) != std::string_view::npos; path.remove_prefix(slash + 1)) {
        Com<IStorage> next;
        if (HRESULT hr = openStorage(at, path.substr(0, slash), mode, next); FAILED(hr)) return hr;
        at = next.get();
        chain.push_back(std::move(next));
    }
    return openStream(at, path, mode, out);
}

std::string readAll(IStream* stream) {
    LARGE_INTEGER start{};
    EXPECT_EQ(stream->Seek(start, STREAM_SEEK_SET, nullptr), S_OK);
    std::string out;
    char buffer[1000];
    for (;;) {
        ULONG got = 0;
        EXPECT_EQ(stream->Read(buffer, sizeof buffer, &got), S_OK);
        if (got == 0) return out;
        out.append(buffer, got);
    }
}

HRESULT write(IStream* stream, std::string_view bytes) {
    ULONG written = 0;
    HRESULT hr = stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written);
    EXPECT_EQ(written, SUCCEEDED(hr) ? bytes.size() : 0u);
    return hr;
}

uint64_t seek(IStream* stream, LONGLONG move, DWORD origin) {
    LARGE_INTEGER by{};
    by.QuadPart = move;
    ULARGE_INTEGER at{};
    EXPECT_EQ(stream->Seek(by, origin, &at), S_OK);
    return at.QuadPart;
}

uint64_t statSize(IStream* stream) {
    STATSTG stat{};
    EXPECT_EQ(stream->Stat(&stat, STATFLAG_NONAME), S_OK);
    return stat.cbSize.QuadPart;
}

std::u16string statName(IUnknown* object) {
    STATSTG stat{};
    IStorage* storage = nullptr;
    IStream* stream = nullptr;
    if (SUCCEEDED(object->QueryInterface(IID_IStorage, reinterpret_cast<void**>(&storage)))) {
        EXPECT_EQ(storage->Stat(&stat, STATFLAG_DEFAULT), S_OK);
        storage->Release();
    } else if (SUCCEEDED(object->QueryInterface(IID_IStream, reinterpret_cast<void**>(&stream)))) {
        EXPECT_EQ(stream->Stat(&stat, STATFLAG_DEFAULT), S_OK);
        stream->Release();
    }
    std::u16string name = stat.pwcsName ? stat.pwcsName : u"";
    CoTaskMemFree(stat.pwcsName);
    return name;
}

std::string hresultText(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

std::vector<std::string> folderEntries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
    return names;
}

class StructuredStorage : public ::testing::Test {
protected:
    void SetUp() override { writeCompoundFile(path_, sampleTree()); }

    TempDir dir_;
    std::string path_ = dir_.file("store.dat");
};

TEST_F(StructuredStorage, ReadsEveryStreamByteForByte) {
    Com<IStorage> root;
    ASSERT_EQ(openFile(path_, kReadShared, root), S_OK);
    const CfbNode tree = sampleTree();
    for (std::string path :
         {"Certs/small", "Certs/large", "Certs/edge4095", "Certs/edge4096", "Certs/Inner/deep", "Summary", "Empty"}) {
        Com<IStream> stream;
        ASSERT_EQ(openPath(root.get(), path, STGM_READ, stream), S_OK) << path;
        EXPECT_EQ(readAll(stream.get()), tree.find(path)->bytes) << path;
        EXPECT_EQ(statSize(stream.get()), tree.find(path)->bytes.size()) << path;
    }
}

TEST_F(StructuredStorage, ReadsStopAtTheEndOfTheStream) {
    Com<IStorage> root;
    ASSERT_EQ(openFile(path_, kReadShared, root), S_OK);
    Com<IStream> stream;
    ASSERT_EQ(openStream(root.get(), "Summary", kReadExclusive, stream), S_OK);
    EXPECT_EQ(seek(stream.get(), 60, STREAM_SEEK_SET), 60u);
    char buffer[16];
    ULONG got = 99;
    EXPECT_EQ(stream->Read(buffer, sizeof buffer, &got), S_OK);
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(stream->Read(buffer, sizeof buffer, &got), S_OK);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(stream->Read(buffer, sizeof buffer, nullptr), S_OK) << "the count may be left out";
}

TEST_F(StructuredStorage, OpensOnlyTheDirectModes) {
    struct Row {
        const char* what;
        DWORD mode;
        HRESULT expected;
    } rows[] = {
        {"read, deny write", STGM_READ | STGM_SHARE_DENY_WRITE, S_OK},
        {"read, exclusive", STGM_READ | STGM_SHARE_EXCLUSIVE, S_OK},
        {"read/write, exclusive", STGM_READWRITE | STGM_SHARE_EXCLUSIVE, S_OK},
        {"direct spelled out", STGM_DIRECT | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, S_OK},
        {"transacted read", STGM_TRANSACTED | STGM_READ | STGM_SHARE_DENY_WRITE, STG_E_INVALIDFLAG},
        {"transacted read/write", STGM_TRANSACTED | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, STG_E_INVALIDFLAG},
        {"create", STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, STG_E_INVALIDFLAG},
        {"write only", STGM_WRITE | STGM_SHARE_EXCLUSIVE, STG_E_INVALIDFLAG},
        {"read, deny none", STGM_READ | STGM_SHARE_DENY_NONE, STG_E_INVALIDFLAG},
        {"read, no share flag", STGM_READ, STG_E_INVALIDFLAG},
        {"read/write, deny write", STGM_READWRITE | STGM_SHARE_DENY_WRITE, STG_E_INVALIDFLAG},
        {"read, deny read", STGM_READ | STGM_SHARE_DENY_READ, STG_E_INVALIDFLAG},
        {"simple", STGM_SIMPLE | STGM_READ | STGM_SHARE_EXCLUSIVE, STG_E_INVALIDFLAG},
        {"delete on release", STGM_DELETEONRELEASE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, STG_E_INVALIDFLAG},
    };
    for (const Row& row : rows) {
        Com<IStorage> root;
        EXPECT_EQ(hresultText(openFile(path_, row.mode, root)), hresultText(row.expected)) << row.what;
        EXPECT_EQ(root != nullptr, row.expected == S_OK) << row.what;
        if (root) {
            STATSTG stat{};
            ASSERT_EQ(root->Stat(&stat, STATFLAG_NONAME), S_OK);
            EXPECT_EQ(stat.grfMode, row.mode) << row.what;
        }
    }
}

TEST(StgOpenStorage, RefusesFilesItCannotOpenWithTheDocumentedCodes) {
    TempDir dir;
    writeFile(dir.file("notes.txt"), "这不是复合文件，只是一段文字。\n" + std::string(600, 'x'));
    writeFile(dir.file("empty.dat"), "");
    writeFile(dir.file("short.dat"), std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8));
    {
        FILE* big = std::fopen(dir.file("big.dat").c_str(), "wb");
        ASSERT_NE(big, nullptr);
        ASSERT_EQ(ftruncate(fileno(big), (off_t{64} << 20) + 1), 0);  // sparse: costs no disk
        std::fclose(big);
    }
    std::filesystem::create_directory(dir.file("folder"));
    struct Row {
        std::string path;
        HRESULT expected;
    } rows[] = {
        {dir.file("missing.dat"), STG_E_FILENOTFOUND},
        {dir.file("no-such-folder/store.dat"), STG_E_PATHNOTFOUND},
        {dir.file("notes.txt/store.dat"), STG_E_PATHNOTFOUND},
        {dir.file("notes.txt"), STG_E_INVALIDHEADER},
        {dir.file("empty.dat"), STG_E_INVALIDHEADER},
        {dir.file("short.dat"), STG_E_INVALIDHEADER},
        {dir.file("big.dat"), STG_E_INSUFFICIENTMEMORY},
        {dir.file("folder"), STG_E_ACCESSDENIED},
    };
    for (const Row& row : rows) {
        Com<IStorage> root;
        EXPECT_EQ(hresultText(openFile(row.path, kReadShared, root)), hresultText(row.expected)) << row.path;
        EXPECT_EQ(root, nullptr) << row.path;
    }
}

TEST(StgOpenStorage, RefusesBadArguments) {
    TempDir dir;
    writeCompoundFile(dir.file("store.dat"), sampleTree());
    std::u16string name = u16(dir.file("store.dat"));
    IStorage* root = reinterpret_cast<IStorage*>(1);
    EXPECT_EQ(StgOpenStorage(nullptr, nullptr, kReadShared, nullptr, 0, &root), STG_E_INVALIDNAME);
    EXPECT_EQ(root, nullptr) << "the out pointer is cleared on failure";
    EXPECT_EQ(StgOpenStorage(u"", nullptr, kReadShared, nullptr, 0, &root), STG_E_INVALIDNAME);
    EXPECT_EQ(StgOpenStorage(name.c_str(), nullptr, kReadShared, nullptr, 1, &root), STG_E_INVALIDPARAMETER);
    OLECHAR excluded[] = u"Certs";
    OLECHAR* exclude[] = {excluded, nullptr};
    EXPECT_EQ(StgOpenStorage(name.c_str(), nullptr, kReadShared, exclude, 0, &root), STG_E_INVALIDPARAMETER);
    EXPECT_EQ(StgOpenStorage(name.c_str(), nullptr, kReadShared, nullptr, 0, nullptr), STG_E_INVALIDPOINTER);
}

TEST_F(StructuredStorage, TruncatedFileIsRefusedAsDamaged) {
    const std::string whole = readFile(path_);
    for (size_t length : {size_t{512}, size_t{1024}, whole.size() / 2, whole.size() - 512, whole.size() - 1}) {
        writeFile(path_, whole.substr(0, length));
        Com<IStorage> root;
        HRESULT hr = openFile(path_, kReadShared, root);
        EXPECT_TRUE(hr == STG_E_INVALIDHEADER || hr == STG_E_DOCFILECORRUPT)
            << "cut to " << length << " of " << whole.size() << ": " << hresultText(hr);
    }
}

TEST_F(StructuredStorage, StreamLongerThanItsSectorsIsDocfileCorrupt) {
    // The directory entry of "large" claims the whole file, more than its sector chain holds.
    std::string bytes = readFile(path_);
    std::string name;
    for (char c : std::string("large")) name += {c, '\0'};
    name += std::string(2, '\0');
    size_t entry = bytes.find(name);
    ASSERT_NE(entry, std::string::npos);
    uint32_t size = static_cast<uint32_t>(bytes.size());
    for (int i = 0; i < 4; ++i) bytes[entry + 0x78 + i] = static_cast<char>(size >> (8 * i));
    writeFile(path_, bytes);

    Com<IStorage> root;
    EXPECT_EQ(hresultText(openFile(path_, kReadShared, root)), hresultText(STG_E_DOCFILECORRUPT));
}

TEST_F(StructuredStorage, SharingFollowsTheShareFlags) {
    struct Row {
        const char* what;
        DWORD first, second;
        HRESULT expected;
    } rows[] = {
        {"two exclusive writers", kReadWrite, kReadWrite, STG_E_SHAREVIOLATION},
        {"exclusive reader, then a writer", kReadExclusive, kReadWrite, STG_E_SHAREVIOLATION},
        {"deny-write reader, then a writer", kReadShared, kReadWrite, STG_E_SHAREVIOLATION},
        {"writer, then a deny-write reader", kReadWrite, kReadShared, STG_E_SHAREVIOLATION},
        {"deny-write reader, then an exclusive reader", kReadShared, kReadExclusive, STG_E_SHAREVIOLATION},
        {"two deny-write readers", kReadShared, kReadShared, S_OK},
    };
    for (const Row& row : rows) {
        Com<IStorage> first, second;
        ASSERT_EQ(openFile(path_, row.first, first), S_OK) << row.what;
        EXPECT_EQ(hresultText(openFile(path_, row.second, second)), hresultText(row.expected)) << row.what;
    }
}

TEST_F(StructuredStorage, OpenChildKeepsTheFileLockedAfterTheRootIsReleased) {
    Com<IStorage> root, other;
    ASSERT_EQ(openFile(path_, kReadWrite, root), S_OK);
    Com<IStream> stream;
    ASSERT_EQ(openPath(root.get(), "Certs/small", STGM_READWRITE, stream), S_OK);
    root.reset();
    EXPECT_EQ(openFile(path_, kReadWrite, other), STG_E_SHAREVIOLATION);
    EXPECT_EQ(readAll(stream.get()), sampleTree().find("Certs/small")->bytes) << "the stream still reads";
    stream.reset();
    EXPECT_EQ(openFile(path_, kReadWrite, other), S_OK) << "the last release unlocks";
}

TEST_F(StructuredStorage, CommitKeepsTheFileLockedUnderItsName) {
    Com<IStorage> root, other;
    ASSERT_EQ(openFile(path_, kReadWrite, root), S_OK);
    ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
    EXPECT_EQ(openFile(path_, kReadShared, other), STG_E_SHAREVIOLATION);
    ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK) << "a second commit";
    EXPECT_EQ(openFile(path_, kReadShared, other), STG_E_SHAREVIOLATION);
}

struct Edit {
    const char* what;
    const char* stream;
    std::function<void(IStream*)> apply;
    std::function<std::string(std::string)> expected;  // from the old contents
};

void PrintTo(const Edit& edit, std::ostream* out) { *out << edit.what; }

class CommittedEdit : public StructuredStorage, public ::testing::WithParamInterface<Edit> {};

TEST_P(CommittedEdit, ReadsBackAsWrittenWithEverythingElseUnchanged) {
    const Edit& edit = GetParam();
    CfbNode expected = sampleTree();
    CfbNode* changed = expected.find(edit.stream);
    changed->bytes = edit.expected(changed->bytes);
    {
        Com<IStorage> root;
        ASSERT_EQ(openFile(path_, kReadWrite, root), S_OK);
        Com<IStream> stream;
        ASSERT_EQ(openPath(root.get(), edit.stream, STGM_READWRITE, stream), S_OK);
        edit.apply(stream.get());
        EXPECT_EQ(statSize(stream.get()), changed->bytes.size());
        stream.reset();
        ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
    }
    EXPECT_EQ(readCompoundFile(path_), expected);

    Com<IStorage> root;
    ASSERT_EQ(openFile(path_, kReadShared, root), S_OK);
    Com<IStream> stream;
    ASSERT_EQ(openPath(root.get(), edit.stream, STGM_READ, stream), S_OK);
    EXPECT_EQ(readAll(stream.get()), changed->bytes);
    EXPECT_EQ(statSize(stream.get()), changed->bytes.size());
}

const std::string kGrown = pattern(6000, 10);

INSTANTIATE_TEST_SUITE_P(
    Edits, CommittedEdit,
    ::testing::Values(Edit{"small stream grows past the mini stream", "Certs/small",
                           [](IStream* s) { ASSERT_EQ(write(s, kGrown), S_OK); }, [](std::string) { return kGrown; }},
                      Edit{"small stream grows to exactly 4096", "Certs/edge4095",
                           [](IStream* s) {
                               seek(s, 0, STREAM_SEEK_END);
                               ASSERT_EQ(write(s, "!"), S_OK);
                           },
                           [](std::string old) { return old + "!"; }},
                      Edit{"large stream shrinks into the mini stream", "Certs/large",
                           [](IStream* s) {
                               ULARGE_INTEGER size{};
                               size.QuadPart = 3000;
                               ASSERT_EQ(s->SetSize(size), S_OK);
                           },
                           [](std::string old) { return old.substr(0, 3000); }},
                      Edit{"SetSize extends with zeros", "Summary",
                           [](IStream* s) {
                               ULARGE_INTEGER size{};
                               size.QuadPart = 5000;
                               ASSERT_EQ(s->SetSize(size), S_OK);
                           },
                           [](std::string old) { return old + std::string(5000 - old.size(), '\0'); }},
                      Edit{"write from the end overwrites the tail and appends", "Certs/Inner/deep",
                           [](IStream* s) {
                               EXPECT_EQ(seek(s, -10, STREAM_SEEK_END), 290u);
                               ASSERT_EQ(write(s, std::string(20, 'Z')), S_OK);
                           },
                           [](std::string old) { return old.substr(0, 290) + std::string(20, 'Z'); }},
                      Edit{"write past the end fills the gap with zeros", "Empty",
                           [](IStream* s) {
                               EXPECT_EQ(seek(s, 100, STREAM_SEEK_SET), 100u);
                               ASSERT_EQ(write(s, "abc"), S_OK);
                           },
                           [](std::string) { return std::string(100, '\0') + "abc"; }},
                      Edit{"write after a relative seek", "Certs/edge4096",
                           [](IStream* s) {
                               seek(s, 1000, STREAM_SEEK_SET);
                               EXPECT_EQ(seek(s, -500, STREAM_SEEK_CUR), 500u);
                               ASSERT_EQ(write(s, "middle"), S_OK);
                           },
                           [](std::string old) { return old.replace(500, 6, "middle"); }}),
    [](const ::testing::TestParamInfo<Edit>& info) {
        std::string name;
        for (const char* p = info.param.what; *p; ++p) name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
        return name;
    });

TEST_F(StructuredStorage, EditsReleasedWithoutCommitLeaveTheFileAsItWas) {
    const std::string before = readFile(path_);
    {
        Com<IStorage> root;
        ASSERT_EQ(openFile(path_, kReadWrite, root), S_OK);
        Com<IStream> stream;
        ASSERT_EQ(openPath(root.get(), "Certs/large", STGM_READWRITE, stream), S_OK);
        ASSERT_EQ(write(stream.get(), "changed"), S_OK);
        ASSERT_EQ(stream->Commit(STGC_DEFAULT), S_OK) << "a stream's commit alone writes nothing";
    }
    EXPECT_EQ(readFile(path_), before);
}

TEST_F(StructuredStorage, FailedCommitLeavesTheOriginalAndNoTemporaryFile) {
    const std::string before = readFile(path_);
    Com<IStorage> root;
    ASSERT_EQ(openFile(path_, kReadWrite, root), S_OK);
    Com<IStream> stream;
    ASSERT_EQ(openPath(root.get(), "Certs/small", STGM_READWRITE, stream), S_OK);
    ASSERT_EQ(write(stream.get(), kGrown), S_OK);

    // A file size limit fails the write of the new file, for root as for anyone.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 4096;
    auto previous = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    HRESULT hr = root->Commit(STGC_DEFAULT);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);

    EXPECT_EQ(hresultText(hr), hresultText(STG_E_WRITEFAULT));
    EXPECT_EQ(readFile(path_), before);
    EXPECT_EQ(folderEntries(dir_.path()), std::vector<std::string>{"store.dat"});
    ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK) << "the edit is still there to commit";
    EXPECT_EQ(readCompoundFile(path_).find("Certs/small")->bytes, kGrown);
}

TEST_F(StructuredStorage, CommitKeepsTheFilePermissions) {
    ASSERT_EQ(chmod(path_.c_str(), 0640), 0);
    Com<IStorage> root;
    ASSERT_EQ(openFile(path_, kReadWrite, root), S_OK);
    ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
    struct stat st {};
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(StructuredStorage, CommitThroughASymbolicLinkReplacesItsTarget) {
    std::string link = dir_.file("link.dat");
    ASSERT_EQ(symlink("store.dat", link.c_str()), 0);
    Com<IStorage> root;
    ASSERT_EQ(openFile(link, kReadWrite, root), S_OK);
    Com<IStream> stream;
    ASSERT_EQ(openStream(root.get(), "Summary", kReadWrite, stream), S_OK);
    ASSERT_EQ(write(stream.get(), "new"), S_OK);
    stream.reset();
    ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(readCompoundFile(path_).find("Summary")->bytes.substr(0, 3), "new");
}

TEST_F(StructuredStorage, CommitOfANestedStorageWritesNothingByItself) {
    const std::string before = readFile(path_);
    Com<IStorage> root, certs;
    ASSERT_EQ(openFile(path_, kReadWrite, root), S_OK);
    ASSERT_EQ(openStorage(root.get(), "Certs", kReadWrite, certs), S_OK);
    Com<IStream> stream;
    ASSERT_EQ(openStream(certs.get(), "small", kReadWrite, stream), S_OK);
    ASSERT_EQ(write(stream.get(), "x"), S_OK);
    EXPECT_EQ(certs->Commit(STGC_DEFAULT), S_OK);
    EXPECT_EQ(readFile(path_), before);
}

TEST_F(StructuredStorage, ReadOnlyOpensRefuseEveryChange) {
    Com<IStorage> root;
    ASSERT_EQ(openFile(path_, kReadShared, root), S_OK);
    Com<IStream> stream;
    ASSERT_EQ(openStream(root.get(), "Summary", kReadExclusive, stream), S_OK);
    Com<IStorage> certs, child;
    ASSERT_EQ(openStorage(root.get(), "Certs", kReadExclusive, certs), S_OK);
    Com<IStream> other;
    struct Row {
        const char* what;
        std::function<HRESULT()> call;
    } rows[] = {
        {"Write", [&] { return stream->Write("x", 1, nullptr); }},
        {"SetSize", [&] { return stream->SetSize(ULARGE_INTEGER{}); }},
        {"root Commit", [&] { return root->Commit(STGC_DEFAULT); }},
        {"nested Commit", [&] { return certs->Commit(STGC_DEFAULT); }},
        {"read/write stream", [&] { return openStream(certs.get(), "small", kReadWrite, other); }},
        {"read/write storage", [&] { return openStorage(certs.get(), "Inner", kReadWrite, child); }},
    };
    for (const Row& row : rows) EXPECT_EQ(hresultText(row.call()), hresultText(STG_E_ACCESSDENIED)) << row.what;
    EXPECT_EQ(readAll(stream.get()), sampleTree().find("Summary")->bytes);
}

TEST_F(StructuredStorage, ChildNamesMatchWhateverTheirCase) {
    Com<IStorage> root;
    ASSERT_EQ(openFile(path_, kReadShared, root), S_OK);
    const CfbNode tree = sampleTree();
    struct Row {
        const char* asked;
        const char* stored;
    } rows[] = {
        {"CERTS/SMALL", "Certs/small"},
        {"certs/inner/DEEP", "Certs/Inner/deep"},
        {"summary", "Summary"},
        {"GRÖßE", "Größe"},
        {"größe", "Größe"},
    };
    for (const Row& row : rows) {
        Com<IStream> stream;
        ASSERT_EQ(openPath(root.get(), row.asked, STGM_READ, stream), S_OK) << row.asked;
        EXPECT_EQ(readAll(stream.get()), tree.find(row.stored)->bytes) << row.asked;
        std::string stored = row.stored;
        EXPECT_EQ(statName(stream.get()), u16(stored.substr(stored.rfind('/') + 1)))
            << "Stat gives the stored name for " << row.asked;
    }
}

TEST_F(StructuredStorage, OpeningAMissingChildIsFileNotFound) {
    Com<IStorage> root;
    ASSERT_EQ(openFile(path_, kReadShared, root), S_OK);
    Com<IStream> stream;
    Com<IStorage> storage;
    EXPECT_EQ(openStream(root.get(), "Missing", kReadExclusive, stream), STG_E_FILENOTFOUND);
    EXPECT_EQ(openStream(root.get(), "Certs", kReadExclusive, stream), STG_E_FILENOTFOUND) << "a storage";
    EXPECT_EQ(openStorage(root.get(), "Summary", kReadExclusive, storage), STG_E_FILENOTFOUND) << "a stream";
    EXPECT_EQ(openStream(root.get(), "Smal", kReadExclusive, stream), STG_E_FILENOTFOUND) << "a prefix";
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(storage, nullptr);
}

TEST_F(StructuredStorage, ChildrenOpenOnlyShareExclusive) {
    Com<IStorage> root;
    ASSERT_EQ(openFile(path_, kReadWrite, root), S_OK);
    struct Row {
        const char* what;
        DWORD mode;
        HRESULT expected;
    } rows[] = {
        {"read, exclusive", STGM_READ | STGM_SHARE_EXCLUSIVE, S_OK},
        {"read/write, exclusive", STGM_READWRITE | STGM_SHARE_EXCLUSIVE, S_OK},
        {"read, deny write", STGM_READ | STGM_SHARE_DENY_WRITE, STG_E_INVALIDFUNCTION},
        {"read, deny none", STGM_READ | STGM_SHARE_DENY_NONE, STG_E_INVALIDFUNCTION},
        {"read, no share flag", STGM_READ, STG_E_INVALIDFUNCTION},
        {"transacted", STGM_TRANSACTED | STGM_READ | STGM_SHARE_EXCLUSIVE, STG_E_INVALIDFLAG},
        {"create", STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, STG_E_INVALIDFLAG},
        {"write only", STGM_WRITE | STGM_SHARE_EXCLUSIVE, STG_E_INVALIDFLAG},
    };
    for (const Row& row : rows) {
        Com<IStream> stream;
        EXPECT_EQ(hresultText(openStream(root.get(), "Summary", row.mode, stream)), hresultText(row.expected))
            << "stream, " << row.what;
        Com<IStorage> storage;
        EXPECT_EQ(hresultText(openStorage(root.get(), "Certs", row.mode, storage)), hresultText(row.expected))
            << "storage, " << row.what;
    }
}

TEST_F(StructuredStorage, AnElementOpensOnceAtATime) {
    Com<IStorage> root;
    ASSERT_EQ(openFile(path_, kReadShared, root), S_OK);
    Com<IStream> first, second;
    ASSERT_EQ(openStream(root.get(), "Summary", kReadExclusive, first), S_OK);
    EXPECT_EQ(openStream(root.get(), "SUMMARY", kReadExclusive, second), STG_E_ACCESSDENIED);
    first.reset();
    EXPECT_EQ(openStream(root.get(), "Summary", kReadExclusive, second), S_OK);
}

TEST_F(StructuredStorage, ChildNamesThatCannotBeStoredAreInvalid) {
    Com<IStorage> root;
    ASSERT_EQ(openFile(path_, kReadShared, root), S_OK);
    Com<IStream> stream;
    for (std::string name : {std::string(32, 'a'), std::string("Certs/small"), std::string("a\\b"), std::string("a:b"),
                             std::string("a!b")})
        EXPECT_EQ(openStream(root.get(), name, kReadExclusive, stream), STG_E_INVALIDNAME) << name;
    IStream* raw = nullptr;
    EXPECT_EQ(root->OpenStream(nullptr, nullptr, kReadExclusive, 0, &raw), STG_E_INVALIDNAME);
}

TEST(StgOpenStorage, OpensAFileWithAChineseName) {
    TempDir dir;
    std::string path = dir.file("证书库.dat");
    writeCompoundFile(path, sampleTree());
    Com<IStorage> root;
    ASSERT_EQ(openFile(path, kReadShared, root), S_OK);
    EXPECT_EQ(statName(root.get()), u16(path)) << "the root's name is the file's";
    Com<IStream> stream;
    ASSERT_EQ(openPath(root.get(), "Certs/small", STGM_READ, stream), S_OK);
    EXPECT_EQ(readAll(stream.get()), sampleTree().find("Certs/small")->bytes);
}

TEST_F(StructuredStorage, StatDescribesStoragesAndStreams) {
    Com<IStorage> root, certs;
    ASSERT_EQ(openFile(path_, kReadShared, root), S_OK);
    ASSERT_EQ(openStorage(root.get(), "Certs", kReadExclusive, certs), S_OK);
    STATSTG stat{};
    ASSERT_EQ(certs->Stat(&stat, STATFLAG_DEFAULT), S_OK);
    ASSERT_NE(stat.pwcsName, nullptr);
    EXPECT_EQ(std::u16string(stat.pwcsName), u"Certs");
    CoTaskMemFree(stat.pwcsName);
    EXPECT_EQ(stat.type, static_cast<DWORD>(STGTY_STORAGE));
    EXPECT_EQ(stat.grfMode, kReadExclusive);
    const CLSID certsClass = {0x04030201, 0x0605, 0x0807, {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10}};
    EXPECT_TRUE(IsEqualCLSID(stat.clsid, certsClass));

    ASSERT_EQ(root->Stat(&stat, STATFLAG_NONAME), S_OK);
    EXPECT_EQ(stat.pwcsName, nullptr);
    const CLSID rootClass = {0x12345678, 0x1234, 0x5678, {0x9A, 0xBC, 0xDE, 0xF0, 0x12, 0x34, 0x56, 0x78}};
    EXPECT_TRUE(IsEqualCLSID(stat.clsid, rootClass));

    Com<IStream> stream;
    ASSERT_EQ(openStream(certs.get(), "large", kReadExclusive, stream), S_OK);
    ASSERT_EQ(stream->Stat(&stat, STATFLAG_NONAME), S_OK);
    EXPECT_EQ(stat.type, static_cast<DWORD>(STGTY_STREAM));
    EXPECT_EQ(stat.cbSize.QuadPart, 10000u);
    EXPECT_EQ(stream->Stat(nullptr, STATFLAG_NONAME), STG_E_INVALIDPOINTER);
    EXPECT_EQ(stream->Stat(&stat, 8), STG_E_INVALIDFLAG);
}

TEST_F(StructuredStorage, SeekRefusesPositionsBeforeTheStart) {
    Com<IStorage> root;
    ASSERT_EQ(openFile(path_, kReadShared, root), S_OK);
    Com<IStream> stream;
    ASSERT_EQ(openStream(root.get(), "Summary", kReadExclusive, stream), S_OK);
    seek(stream.get(), 10, STREAM_SEEK_SET);
    struct Row {
        const char* what;
        LONGLONG move;
        DWORD origin;
    } rows[] = {
        {"before the start", -1, STREAM_SEEK_SET},
        {"back past the start", -11, STREAM_SEEK_CUR},
        {"back past the start from the end", -65, STREAM_SEEK_END},
        {"unknown origin", 0, 3},
    };
    for (const Row& row : rows) {
        LARGE_INTEGER by{};
        by.QuadPart = row.move;
        EXPECT_EQ(stream->Seek(by, row.origin, nullptr), STG_E_INVALIDFUNCTION) << row.what;
        EXPECT_EQ(seek(stream.get(), 0, STREAM_SEEK_CUR), 10u) << row.what << " leaves the pointer";
    }
}

TEST_F(StructuredStorage, QueryInterfaceAnswersForItsOwnInterfaces) {
    Com<IStorage> root;
    ASSERT_EQ(openFile(path_, kReadShared, root), S_OK);
    Com<IStream> stream;
    ASSERT_EQ(openStream(root.get(), "Summary", kReadExclusive, stream), S_OK);
    void* object = nullptr;
    ASSERT_EQ(root->QueryInterface(IID_IUnknown, &object), S_OK);
    EXPECT_EQ(object, static_cast<IUnknown*>(root.get()));
    static_cast<IUnknown*>(object)->Release();
    EXPECT_EQ(root->QueryInterface(IID_IStream, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    ASSERT_EQ(stream->QueryInterface(IID_ISequentialStream, &object), S_OK);
    EXPECT_EQ(object, static_cast<ISequentialStream*>(stream.get()));
    static_cast<IUnknown*>(object)->Release();
    EXPECT_EQ(stream->QueryInterface(IID_IStorage, &object), E_NOINTERFACE);
}

TEST_F(StructuredStorage, MethodsNotOfferedChangeNothing) {
    Com<IStorage> root;
    ASSERT_EQ(openFile(path_, kReadWrite, root), S_OK);
    IStream* newStream = nullptr;
    IStorage* newStorage = nullptr;
    IEnumSTATSTG* elements = nullptr;
    const CLSID someClass = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    struct Row {
        const char* what;
        std::function<HRESULT()> call;
    } rows[] = {
        {"CreateStream", [&] { return root->CreateStream(u"New", kReadWrite, 0, 0, &newStream); }},
        {"CreateStorage", [&] { return root->CreateStorage(u"New", kReadWrite, 0, 0, &newStorage); }},
        {"DestroyElement", [&] { return root->DestroyElement(u"Summary"); }},
        {"RenameElement", [&] { return root->RenameElement(u"Summary", u"Other"); }},
        {"MoveElementTo", [&] { return root->MoveElementTo(u"Summary", root.get(), u"Other", 0); }},
        {"SetClass", [&] { return root->SetClass(someClass); }},
        {"SetStateBits", [&] { return root->SetStateBits(1, 1); }},
        {"EnumElements", [&] { return root->EnumElements(0, nullptr, 0, &elements); }},
    };
    for (const Row& row : rows) EXPECT_EQ(row.call(), STG_E_INVALIDFUNCTION) << row.what;
    EXPECT_EQ(newStream, nullptr);
    EXPECT_EQ(newStorage, nullptr);
    EXPECT_EQ(elements, nullptr);
    ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
    EXPECT_EQ(readCompoundFile(path_), sampleTree());
}

// An interpreter on PATH that has olefile, or empty.
std::string pythonWithOlefile() {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "";
    std::set<std::string> tried;
    for (size_t start = 0; start <= dirs.size();) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string candidate = dirs.substr(start, end - start) + "/python3";
        start = end + 1;
        if (!tried.insert(candidate).second || access(candidate.c_str(), X_OK) != 0) continue;
        if (std::system(("'" + candidate + "' -c 'import olefile' >/dev/null 2>&1").c_str()) == 0) return candidate;
    }
    return {};
}

std::string run(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    pclose(pipe);
    return out;
}

void listStreams(const CfbNode& node, const std::string& path, std::vector<std::pair<std::string, std::string>>& out) {
    static const char* digits = "0123456789abcdef";
    for (const CfbNode& child : node.children) {
        std::string childPath = path.empty() ? child.name : path + "/" + child.name;
        if (child.storage) {
            listStreams(child, childPath, out);
            continue;
        }
        std::string hex;
        for (unsigned char c : child.bytes) hex += {digits[c >> 4], digits[c & 15]};
        out.emplace_back(childPath, hex);
    }
}

TEST_F(StructuredStorage, CommittedFileReadsBackWithAnIndependentReader) {
    std::string python = pythonWithOlefile();
    if (python.empty()) GTEST_SKIP() << "no python3 with olefile on PATH";
    {
        Com<IStorage> root;
        ASSERT_EQ(openFile(path_, kReadWrite, root), S_OK);
        Com<IStream> stream;
        ASSERT_EQ(openPath(root.get(), "Certs/small", STGM_READWRITE, stream), S_OK);
        ASSERT_EQ(write(stream.get(), kGrown), S_OK);
        stream.reset();
        ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
    }
    std::string script = dir_.file("list.py");
    writeFile(script,
              "import olefile, sys\n"
              "ole = olefile.OleFileIO(sys.argv[1])\n"
              "lines = []\n"
              "for path in sorted('/'.join(e) for e in ole.listdir(streams=True, storages=False)):\n"
              "    lines.append(path + ' ' + ole.openstream(path).read().hex())\n"
              "lines.append('Root Entry ' + ole.root.clsid)\n"
              "lines.append('Certs ' + ole.getclsid('Certs'))\n"
              "sys.stdout.buffer.write(('\\n'.join(lines) + '\\n').encode('utf-8'))\n");
    std::string output = run("'" + python + "' '" + script + "' '" + path_ + "'");

    CfbNode expected = sampleTree();
    expected.find("Certs/small")->bytes = kGrown;
    std::vector<std::pair<std::string, std::string>> streams;
    listStreams(expected, "", streams);
    std::sort(streams.begin(), streams.end());
    std::string wanted;
    for (const auto& [path, hex] : streams) wanted += path + " " + hex + "\n";
    wanted += "Root Entry 12345678-1234-5678-9ABC-DEF012345678\n";
    wanted += "Certs 04030201-0605-0807-090A-0B0C0D0E0F10\n";
    EXPECT_EQ(output, wanted);
}

}  // namespace
