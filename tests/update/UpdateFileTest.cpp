// The updater's HTTP client against a local server: a file arrives whole or not at all, names are
// encoded, and a dead server is told apart from one that answers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "UpdateFile.h"
#include "support/HttpServer.h"
#include "support/MessageBoxRecorder.h"
#include "support/TempHome.h"

using orvik::test::fileExists;
using orvik::test::HttpResponse;
using orvik::test::HttpServer;
using orvik::test::MessageBoxRecorder;
using orvik::test::readFile;
using orvik::test::TempDir;
using orvik::test::writeFile;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kNoServer = "无法连接服务器，请稍候重试";
const std::string kAbcSha256 = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

mode_t modeOf(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

bool isLink(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

std::string binaryBody(size_t size) {
    std::string body(size, '\0');
    for (size_t i = 0; i < size; ++i) body[i] = static_cast<char>(i * 131 % 251);
    return body;
}

// Built field by field: Expect's string member makes designated initializers warn.
UpdateFile::Expect expecting(long long size, const std::string& sha256 = "", unsigned mode = 0600) {
    UpdateFile::Expect expect;
    expect.size = size;
    expect.sha256 = sha256;
    expect.mode = mode;
    return expect;
}

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

bool hasHeader(const std::vector<std::string>& headers, const std::string& line) {
    for (const std::string& h : headers)
        if (h == line) return true;
    return false;
}

class UpdateFileTest : public ::testing::Test {
protected:
    // A proxy named in the environment must not carry these requests off the machine.
    UpdateFileTest() { setenv("no_proxy", "127.0.0.1", 1); }

    std::unique_ptr<UpdateFile> client(const std::string& serverName, bool quiet = true) {
        auto file = std::make_unique<UpdateFile>(serverName, 0, "", "");
        EXPECT_TRUE(file->OpenConnection()) << serverName;
        file->SetQuiet(quiet);
        return file;
    }
    std::unique_ptr<UpdateFile> client(bool quiet = true) { return client(server.url(""), quiet); }
    // The address of a port nothing listens on any more.
    static std::string closedServer() {
        HttpServer gone;
        gone.stop();
        return gone.url("");
    }

    orvik::test::TempHome home;  // the deployment values the client reads are the defaults
    HttpServer server;
    TempDir dir;
    MessageBoxRecorder boxes;
};

using UpdateFileDownload = UpdateFileTest;
using UpdateFileAddress = UpdateFileTest;
using UpdateFileChecks = UpdateFileTest;
using UpdateFileFailures = UpdateFileTest;

}  // namespace

TEST_F(UpdateFileDownload, SavesTheBodyByteForByte) {
    const std::string body = binaryBody(300 * 1024);
    server.set("/pkg/lib.so", body);
    const std::string target = dir.file("lib.so");
    EXPECT_EQ(client()->GetFile("/pkg/lib.so", target), static_cast<long long>(body.size()));
    EXPECT_TRUE(readFile(target) == body);
    EXPECT_FALSE(fileExists(target + ".part"));
}

TEST_F(UpdateFileDownload, FinishedFileHasTheExpectedMode) {
    server.set("/f", "content");
    auto file = client();
    EXPECT_GT(file->GetFile("/f", dir.file("default")), 0);
    EXPECT_EQ(modeOf(dir.file("default")), 0600u);
    for (unsigned mode : {0755u, 0644u, 0600u}) {
        const std::string target = dir.file("mode" + std::to_string(mode));
        EXPECT_GT(file->GetFile("/f", target, expecting(-1, "", mode)), 0) << mode;
        EXPECT_EQ(modeOf(target), mode);
    }
}

TEST_F(UpdateFileDownload, MatchingSizeAndDigestAreAccepted) {
    server.set("/abc", "abc");
    std::string upper = kAbcSha256;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    auto file = client();
    for (const std::string& sha : {kAbcSha256, upper}) {
        const std::string target = dir.file("abc");
        ::unlink(target.c_str());
        EXPECT_EQ(file->GetFile("/abc", target, expecting(3, sha)), 3) << sha;
        EXPECT_EQ(readFile(target), "abc");
    }
}

TEST_F(UpdateFileDownload, FailedDownloadLeavesTheTargetAsItWas) {
    const struct {
        const char* name;
        HttpResponse response;
        UpdateFile::Expect expect;
    } rows[] = {
        {"not found", {.status = 404, .body = "missing"}, {}},
        {"server error", {.status = 500, .body = "broken"}, {}},
        {"cut short", {.body = "0123456789", .headers = {{"Content-Length", "1000"}}}, {}},
        {"empty", {.body = ""}, {}},
        {"wrong size", {.body = "abc"}, expecting(4)},
        {"wrong digest", {.body = "abd"}, expecting(-1, kAbcSha256)},
    };
    auto file = client();
    for (const auto& row : rows) {
        server.set("/f", row.response);
        const std::string absent = dir.file("absent");
        EXPECT_EQ(file->GetFile("/f", absent, row.expect), 0) << row.name;
        EXPECT_FALSE(fileExists(absent)) << row.name;
        EXPECT_FALSE(fileExists(absent + ".part")) << row.name;

        const std::string older = dir.file("older");
        writeFile(older, "the old version");
        chmod(older.c_str(), 0755);
        EXPECT_EQ(file->GetFile("/f", older, row.expect), 0) << row.name;
        EXPECT_EQ(readFile(older), "the old version") << row.name;
        EXPECT_EQ(modeOf(older), 0755u) << row.name;
        EXPECT_FALSE(fileExists(older + ".part")) << row.name;
    }
}

TEST_F(UpdateFileDownload, CancelledDownloadLeavesNoFile) {
    server.set("/big", binaryBody(200 * 1024));
    const std::string target = dir.file("big");
    writeFile(target, "old");
    auto file = client(false);
    EXPECT_EQ(file->GetFile("/big", target, {}, [](long long) { return false; }), 0);
    EXPECT_EQ(readFile(target), "old");
    EXPECT_FALSE(fileExists(target + ".part"));
    EXPECT_FALSE(file->LastTransportFailed()) << "the user stopped it; the server is fine";
    EXPECT_EQ(boxes.count(), 0u);
}

TEST_F(UpdateFileDownload, ProgressCountsGrowToTheSize) {
    const std::string body = binaryBody(200 * 1024);
    server.set("/big", body);
    std::vector<long long> seen;
    EXPECT_EQ(client()->GetFile("/big", dir.file("big"), {},
                                [&seen](long long received) {
                                    seen.push_back(received);
                                    return true;
                                }),
              static_cast<long long>(body.size()));
    ASSERT_GT(seen.size(), 1u);
    for (size_t i = 1; i < seen.size(); ++i) EXPECT_GT(seen[i], seen[i - 1]) << i;
    EXPECT_EQ(seen.back(), static_cast<long long>(body.size()));
}

TEST_F(UpdateFileDownload, LinkAtThePartFileIsNotFollowed) {
    server.set("/f", "new");
    const std::string victim = dir.file("victim");
    writeFile(victim, "keep me");
    const std::string target = dir.file("f");
    ASSERT_EQ(symlink(victim.c_str(), (target + ".part").c_str()), 0);
    EXPECT_EQ(client()->GetFile("/f", target), 3);
    EXPECT_EQ(readFile(target), "new");
    EXPECT_EQ(readFile(victim), "keep me");
}

TEST_F(UpdateFileDownload, LinkAtTheTargetIsReplacedNotWrittenThrough) {
    server.set("/f", "new");
    const std::string victim = dir.file("victim");
    writeFile(victim, "keep me");
    const std::string target = dir.file("f");
    ASSERT_EQ(symlink(victim.c_str(), target.c_str()), 0);
    EXPECT_EQ(client()->GetFile("/f", target), 3);
    EXPECT_FALSE(isLink(target));
    EXPECT_EQ(readFile(target), "new");
    EXPECT_EQ(readFile(victim), "keep me");
}

TEST_F(UpdateFileDownload, RedirectsUpToFiveAreFollowed) {
    for (int i = 0; i < 6; ++i)
        server.set("/r" + std::to_string(i), HttpResponse{.status = i % 2 ? 301 : 302,
                                                          .body = "moved",
                                                          .headers = {{"Location", "/r" + std::to_string(i + 1)}}});
    server.set("/r6", "final");
    auto file = client();
    EXPECT_EQ(file->GetFile("/r1", dir.file("five")), 5) << "five redirects";
    EXPECT_EQ(readFile(dir.file("five")), "final");
    EXPECT_EQ(file->GetFile("/r0", dir.file("six")), 0) << "six redirects";
    EXPECT_FALSE(fileExists(dir.file("six")));
}

TEST_F(UpdateFileAddress, NamesArePercentEncoded) {
    auto file = client();
    const std::string base = "http://127.0.0.1:" + std::to_string(server.port());
    const std::string encoded = "/%E8%BD%AF%E4%BB%B6%20%E6%9B%B4%E6%96%B0/a%20b%2Bc%26d%3Fe%25f-_.~.txt";
    EXPECT_EQ(file->UrlOf("/软件 更新/a b+c&d?e%f-_.~.txt"), base + encoded);
    server.set(encoded, "found");
    EXPECT_EQ(file->GetFile("/软件 更新/a b+c&d?e%f-_.~.txt", dir.file("got")), 5);
    EXPECT_EQ(server.hits(encoded), 1);
}

TEST_F(UpdateFileAddress, JoinedPathKeepsItsDoubleSlash) {
    server.set("/linux//FileList.xml", "list");
    auto file = client();
    EXPECT_EQ(file->GetFile(std::string("/linux/") + "/FileList.xml", dir.file("FileList.xml")), 4);
    EXPECT_EQ(server.hits("/linux//FileList.xml"), 1);
    EXPECT_EQ(server.hits("/linux/FileList.xml"), 0);
}

TEST_F(UpdateFileAddress, EachServerFormReachesTheSameServer) {
    server.set("/a", "a");
    const std::string port = std::to_string(server.port());
    for (const std::string& name : {"http://127.0.0.1:" + port, "HTTP://127.0.0.1:" + port + "/"})
        EXPECT_EQ(client(name)->FileIsExistOnServer("/a"), 1) << name;
    EXPECT_EQ(server.hits("/a"), 2);
    EXPECT_EQ(server.hits("//a"), 0) << "a trailing slash of the server is not doubled";
}

TEST_F(UpdateFileAddress, MalformedServerNamesOpenNoConnection) {
    for (const char* name : {"", "http://", "ftp://127.0.0.1", "file:///etc", "127.0.0.1/path", "user@127.0.0.1",
                             "127.0.0.1?x", "127.0.0.1 x", "127.0.0.1\\x"}) {
        UpdateFile file(name, 0, "", "");
        EXPECT_FALSE(file.OpenConnection()) << name;
        EXPECT_FALSE(file.IsConnected()) << name;
    }
}

TEST_F(UpdateFileAddress, UnopenedClientAsksNothing) {
    server.set("/a", "a");
    UpdateFile file(server.url(""), 0, "", "");
    std::vector<std::string> paths{"/a"};
    EXPECT_EQ(file.GetFile("/a", dir.file("a")), 0);
    EXPECT_EQ(file.FileIsExistOnServer("/a"), 0);
    EXPECT_EQ(file.GetAllFileSize(paths), -1);
    EXPECT_EQ(server.hits("/a"), 0);
    EXPECT_FALSE(fileExists(dir.file("a")));
}

TEST_F(UpdateFileAddress, RequestsAskForNoCachedCopy) {
    server.set("/got", "x");
    server.set("/asked", "x");
    auto file = client();
    file->GetFile("/got", dir.file("got"));
    file->FileIsExistOnServer("/asked");
    EXPECT_TRUE(hasHeader(server.requestHeaders("/got"), "Cache-Control: no-cache"));
    EXPECT_TRUE(hasHeader(server.requestHeaders("/asked"), "Cache-Control: no-cache"));
}

TEST_F(UpdateFileChecks, ExistenceIsA200AfterRedirects) {
    server.set("/here", "x");
    server.set("/error", HttpResponse{.status = 500});
    server.set("/moved", HttpResponse{.status = 302, .headers = {{"Location", "/here"}}});
    server.set("/empty", "");
    const struct {
        const char* path;
        int exists;
    } rows[] = {{"/here", 1}, {"/missing", 0}, {"/error", 0}, {"/moved", 1}, {"/empty", 1}};
    auto file = client();
    for (const auto& row : rows) EXPECT_EQ(file->FileIsExistOnServer(row.path), row.exists) << row.path;
}

TEST_F(UpdateFileChecks, AllFileSizeSumsTheDeclaredLengths) {
    server.set("/a", std::string(1000, 'a'));
    server.set("/b", std::string(234, 'b'));
    server.set("/big", HttpResponse{.body = "x", .headers = {{"Content-Length", "5000000"}}});
    auto file = client();
    std::vector<std::string> none, two{"/a", "/b"}, declared{"/a", "/big"}, missing{"/a", "/missing", "/b"};
    EXPECT_EQ(file->GetAllFileSize(none), 0);
    EXPECT_EQ(file->GetAllFileSize(two), 1234);
    EXPECT_EQ(file->GetAllFileSize(declared), 5001000) << "the declared length, not a download";
    EXPECT_EQ(file->GetAllFileSize(missing), -1);
}

TEST_F(UpdateFileFailures, SilentServerIsGivenUpAtTheShortLimit) {
    server.set("/list", HttpResponse{.silent = true});
    auto file = client(false);
    file->SetShortRequestLimit(1);
    const auto start = Clock::now();
    EXPECT_EQ(file->FileIsExistOnServer("/list"), 0);
    EXPECT_LT(secondsSince(start), 3.0);
    EXPECT_TRUE(file->LastTransportFailed());
    ASSERT_EQ(boxes.count(), 1u);
    EXPECT_EQ(boxes.last().text, kNoServer);
    EXPECT_EQ(boxes.last().caption, "提示");
}

TEST_F(UpdateFileFailures, SilentServerBoundsTheSizeCheckToo) {
    server.set("/a", HttpResponse{.silent = true});
    auto file = client();
    file->SetShortRequestLimit(1);
    std::vector<std::string> paths{"/a"};
    const auto start = Clock::now();
    EXPECT_EQ(file->GetAllFileSize(paths), -1);
    EXPECT_LT(secondsSince(start), 3.0);
}

TEST_F(UpdateFileFailures, ClosedPortIsATransportFailure) {
    auto file = client(closedServer());
    EXPECT_EQ(file->FileIsExistOnServer("/a"), 0);
    EXPECT_TRUE(file->LastTransportFailed());
    EXPECT_EQ(file->GetFile("/a", dir.file("a")), 0);
    EXPECT_TRUE(file->LastTransportFailed());
    EXPECT_FALSE(fileExists(dir.file("a")));
    EXPECT_FALSE(fileExists(dir.file("a.part")));
    EXPECT_EQ(boxes.count(), 0u) << "quiet";
}

TEST_F(UpdateFileFailures, UnreachableServerIsReportedOncePerRequestUnlessQuiet) {
    auto file = client(closedServer(), false);
    file->GetFile("/a", dir.file("a"));
    ASSERT_EQ(boxes.count(), 1u);
    EXPECT_EQ(boxes.last().text, kNoServer);
    EXPECT_EQ(boxes.last().caption, "提示");
    file->FileIsExistOnServer("/a");
    EXPECT_EQ(boxes.count(), 2u);
}

TEST_F(UpdateFileFailures, CutShortBodyIsATransportFailure) {
    server.set("/f", HttpResponse{.body = "0123456789", .headers = {{"Content-Length", "1000"}}});
    auto file = client();
    EXPECT_EQ(file->GetFile("/f", dir.file("f")), 0);
    EXPECT_TRUE(file->LastTransportFailed());
}

TEST_F(UpdateFileFailures, AnsweringServerIsNoTransportFailure) {
    server.set("/error", HttpResponse{.status = 500});
    server.set("/empty", "");
    auto file = client(false);
    for (const char* path : {"/missing", "/error", "/empty"}) {
        EXPECT_EQ(file->GetFile(path, dir.file("f")), 0) << path;
        EXPECT_FALSE(file->LastTransportFailed()) << path;
    }
    EXPECT_EQ(file->FileIsExistOnServer("/missing"), 0);
    EXPECT_FALSE(file->LastTransportFailed());
    EXPECT_EQ(boxes.count(), 0u);
}

TEST_F(UpdateFileFailures, SuccessClearsAnEarlierTransportFailure) {
    server.set("/a", "a");
    server.set("/cut", HttpResponse{.body = "0123456789", .headers = {{"Content-Length", "1000"}}});
    auto file = client();
    ASSERT_EQ(file->GetFile("/cut", dir.file("cut")), 0);
    ASSERT_TRUE(file->LastTransportFailed());
    EXPECT_EQ(file->FileIsExistOnServer("/a"), 1);
    EXPECT_FALSE(file->LastTransportFailed());
}
