// The update state in the registry, the temp folder, and the windowless update check against a
// local server: what each outcome leaves behind in the program folder and the registry.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include <windows.h>

#include "Common.h"
#include "Config.h"
#include "Register.h"
#include "support/DeploymentValues.h"
#include "support/HttpServer.h"
#include "support/MessageBoxRecorder.h"
#include "support/TempHome.h"
#include "update/SignedUpdate.h"

namespace fs = std::filesystem;
using orvik::test::fileExists;
using orvik::test::HttpResponse;
using orvik::test::HttpServer;
using orvik::test::MessageBoxRecorder;
using orvik::test::readFile;
using orvik::test::TempDir;
using orvik::test::TempHome;
using orvik::test::writeFile;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kNoServer = "无法连接服务器，请稍候重试";
const std::string kKey = kAssistantUpdateKey;
const std::string kServerPath = "/linux/";  // as the assistant keeps it: the joined paths have "//"
const std::string kListRoute = "/linux//FileList.xml";
const std::string kSignatureRoute = "/linux//FileList.xml.p7s";
const std::string kFetcherRoute = "/linux//OrvikFetch";
// Leaves a mark beside itself, so a test sees that it ran.
const std::string kFetcher = "#!/bin/sh\necho started > \"$(dirname \"$0\")/fetcher-ran\"\n";

// A list naming the fetcher (these bytes) and the installer with their sizes and hashes.
std::string listDated(const std::string& date, const std::string& fetcher = kFetcher) {
    using orvik::test::update::fileEntry;
    return "<?xml version=\"1.0\" encoding=\"gb2312\"?>\n<Orvikon>\n<UpdateDate>" + date +
           "</UpdateDate>\n<OrvikDesk><Version>1.0</Version></OrvikDesk>\n<OrvikPatch><Version>2.0</Version>"
           "<UpdateFileList>" +
           fileEntry(1, "OrvikFetch", fetcher) + fileEntry(2, "Handover", "installer") +
           "</UpdateFileList></OrvikPatch>\n</Orvikon>\n";
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

bool isRealFolder(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool awaitFile(const std::string& path, int ms = 3000) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!fileExists(path)) {
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::string valueAt(const std::string& key, const char* name) {
    Register reg;
    return reg.GetRegStringValue(key, name);
}

Config everyValue() {
    Config c;
    c.SetVersion("1.5.7");
    c.SetStartUpCheckNew("1");
    c.SetServer("update.example:8080");
    c.SetServerPath("/linux/");
    c.SetProcessID("4242");
    c.SetCurrentOperation("1");
    c.SetConfigPath(kKey);
    return c;
}

void expectSameValues(const Config& got, const Config& want) {
    EXPECT_EQ(got.GetVersion(), want.GetVersion());
    EXPECT_EQ(got.GetStartUpCheckNew(), want.GetStartUpCheckNew());
    EXPECT_EQ(got.GetServer(), want.GetServer());
    EXPECT_EQ(got.GetServerPath(), want.GetServerPath());
    EXPECT_EQ(got.GetProcessID(), want.GetProcessID());
    EXPECT_EQ(got.GetCurrentOperation(), want.GetCurrentOperation());
    EXPECT_EQ(got.GetConfigPath(), want.GetConfigPath());
}

class UpdateState : public ::testing::Test {
protected:
    TempHome home;
    TempDir program;
    Common common{program.path()};
};

// A program folder with an installed list, a server offering one, and a run in progress.
class UpdateCheck : public UpdateState {
protected:
    // A proxy named in the environment must not carry these requests off the machine.
    UpdateCheck() {
        setenv("no_proxy", "127.0.0.1", 1);
        orvik::test::update::trustTestAuthority();
        writeFile(program.file("FileList.xml"), listDated("2024-05-01"));
        Config running;
        running.SetCurrentOperation("1");
        common.SaveConfigtoReg(running, kKey);
    }
    ~UpdateCheck() override {
        // A read-only folder would keep TempDir from removing it when not run as root.
        chmod(program.path().c_str(), 0700);
    }

    // Plain HTTP, named so: the signature protects the list.
    std::string serverName() const { return "http://127.0.0.1:" + std::to_string(server.port()); }
    int check() { return common.CheckForUpdate(kKey, serverName(), kServerPath); }
    void offerList(const std::string& list) {
        server.set(kListRoute, list);
        server.set(kSignatureRoute, orvik::test::update::sign(list));
    }
    void offer(const std::string& date) {
        offerList(listDated(date));
        server.set(kFetcherRoute, kFetcher);
    }
    // What every run that ends without the fetcher leaves: no temp, the run marked over.
    void expectRunEnded() {
        EXPECT_FALSE(fileExists(program.file("temp")));
        EXPECT_EQ(valueAt(kKey, "CurrentOperation"), "0");
    }

    HttpServer server;
    MessageBoxRecorder boxes;
};

}  // namespace

TEST_F(UpdateState, ConfigRoundTripsEveryValue) {
    const Config saved = everyValue();
    EXPECT_EQ(common.SaveConfigtoReg(saved, kKey), UPDATE_DONE);
    Config read;
    EXPECT_EQ(common.ReadConfigFromReg(read, kKey), UPDATE_DONE);
    expectSameValues(read, saved);
}

TEST_F(UpdateState, SavingWritesOnlyTheValuesThatAreSet) {
    ASSERT_EQ(common.SaveConfigtoReg(everyValue(), kKey), UPDATE_DONE);
    Config done;
    done.SetCurrentOperation("0");
    EXPECT_EQ(common.SaveConfigtoReg(done, kKey), UPDATE_DONE);
    Config read;
    common.ReadConfigFromReg(read, kKey);
    Config want = everyValue();
    want.SetCurrentOperation("0");
    expectSameValues(read, want);
}

TEST_F(UpdateState, EmptyKeyIsRefusedAndNothingLandsUnderSoftware) {
    EXPECT_EQ(common.SaveConfigtoReg(everyValue(), ""), UPDATE_NO_KEY);
    Config read = everyValue();
    EXPECT_EQ(common.ReadConfigFromReg(read, ""), UPDATE_NO_KEY);
    expectSameValues(read, everyValue());
    HKEY software = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &software) != ERROR_SUCCESS) return;
    for (const char* name :
         {"Version", "StartUpCheckNew", "ServerName", "ServerPath", "ProcessID", "CurrentOperation", "ConfigPath"})
        EXPECT_NE(RegQueryValueExA(software, name, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS) << name;
    RegCloseKey(software);
}

TEST_F(UpdateState, TempStartsEmptyAndPrivate) {
    const std::string temp = program.file("temp");
    fs::create_directory(temp);
    writeFile(temp + "/FileList.xml", "stale");
    writeFile(temp + "/OrvikDesk", "stale");
    chmod(temp.c_str(), 0755);
    ASSERT_TRUE(common.InitTempPath());
    EXPECT_TRUE(isRealFolder(temp));
    EXPECT_EQ(modeOf(temp), 0700u);
    EXPECT_TRUE(fs::is_empty(temp));
}

TEST_F(UpdateState, WhatIsInTheWayOfTempIsReplacedNotFollowed) {
    TempDir elsewhere;
    writeFile(elsewhere.file("keep"), "keep me");
    const std::string temp = program.file("temp");
    const struct {
        const char* name;
        std::string linkTo;  // empty: a plain file is in the way
    } rows[] = {{"link to a folder", elsewhere.path()}, {"link to a file", elsewhere.file("keep")}, {"plain file", ""}};
    for (const auto& row : rows) {
        fs::remove_all(temp);
        if (row.linkTo.empty()) {
            writeFile(temp, "in the way");
        } else {
            fs::create_symlink(row.linkTo, temp);
        }
        EXPECT_TRUE(common.InitTempPath()) << row.name;
        EXPECT_TRUE(isRealFolder(temp)) << row.name;
        EXPECT_EQ(modeOf(temp), 0700u) << row.name;
        EXPECT_EQ(readFile(elsewhere.file("keep")), "keep me") << row.name;
        EXPECT_EQ(modeOf(elsewhere.path()), 0700u) << row.name;
    }
}

TEST_F(UpdateState, DeleteTempEndsTheRunUnderTheConfiguredKey) {
    Config root;
    root.SetConfigPath(kKey);
    common.SaveConfigtoReg(root, kUpdateRootKey);
    Config running;
    running.SetCurrentOperation("1");
    common.SaveConfigtoReg(running, kKey);
    ASSERT_TRUE(common.InitTempPath());
    writeFile(program.file("temp/FileList.xml"), "list");

    common.DeleteTemp();
    EXPECT_FALSE(fileExists(program.file("temp")));
    EXPECT_EQ(valueAt(kKey, "CurrentOperation"), "0");
}

TEST_F(UpdateCheck, NoNewerListEndsTheRun) {
    for (const char* date : {"2024-05-01", "2024-04-30"}) {
        offer(date);
        EXPECT_EQ(check(), UPDATE_NOTHING) << date;
        expectRunEnded();
    }
    EXPECT_EQ(server.hits(kFetcherRoute), 0);
    EXPECT_EQ(boxes.count(), 0u);
}

TEST_F(UpdateCheck, NewerListStartsTheDownloadedFetcher) {
    offer("2024-05-02");
    EXPECT_EQ(check(), UPDATE_DONE);
    EXPECT_EQ(readFile(program.file("OrvikFetch")), kFetcher);
    EXPECT_EQ(modeOf(program.file("OrvikFetch")), 0755u);
    EXPECT_TRUE(awaitFile(program.file("fetcher-ran")));
    EXPECT_EQ(readFile(program.file("temp/FileList.xml")), listDated("2024-05-02")) << "left for the fetcher";
    EXPECT_EQ(boxes.count(), 0u);
}

TEST_F(UpdateCheck, StartedRunIsRecordedForTheFetcher) {
    offer("2024-05-02");
    ASSERT_EQ(check(), UPDATE_DONE);
    EXPECT_EQ(valueAt(kUpdateRootKey, "ConfigPath"), kKey);
    EXPECT_EQ(valueAt(kKey, "ServerName"), serverName());
    EXPECT_EQ(valueAt(kKey, "ServerPath"), kServerPath);
    EXPECT_EQ(valueAt(kKey, "ProcessID"), std::to_string(getpid()));
    EXPECT_TRUE(awaitFile(program.file("fetcher-ran")));
}

TEST_F(UpdateCheck, MissingInstalledListCountsAsNewer) {
    ::unlink(program.file("FileList.xml").c_str());
    offer("2000-01-01");
    EXPECT_EQ(check(), UPDATE_DONE);
    EXPECT_TRUE(awaitFile(program.file("fetcher-ran")));
}

TEST_F(UpdateCheck, MissingListFetchesNothing) {
    server.set(kFetcherRoute, kFetcher);
    EXPECT_EQ(check(), UPDATE_NO_SERVER);
    EXPECT_EQ(server.hits(kListRoute), 1);
    EXPECT_EQ(server.hits(kFetcherRoute), 0);
    EXPECT_FALSE(fileExists(program.file("OrvikFetch")));
    expectRunEnded();
}

TEST_F(UpdateCheck, ListThatCannotBeDownloadedFetchesNothing) {
    server.set(kListRoute, "");  // there, but empty
    server.set(kFetcherRoute, kFetcher);
    EXPECT_EQ(check(), UPDATE_NO_SERVER);
    EXPECT_EQ(server.hits(kFetcherRoute), 0);
    expectRunEnded();
}

TEST_F(UpdateCheck, UnreachableServerIsReportedOnce) {
    server.stop();
    EXPECT_EQ(check(), UPDATE_NO_SERVER);
    ASSERT_EQ(boxes.count(), 1u);
    EXPECT_EQ(boxes.last().text, kNoServer);
    expectRunEnded();
}

TEST_F(UpdateCheck, FailedFetcherDownloadKeepsTheInstalledOne) {
    const struct {
        const char* name;
        HttpResponse response;
        std::string message;
    } rows[] = {
        {"not found", {.status = 404}, kNoServer},
        {"cut short",
         {.body = "#!/bin/sh\n", .headers = {{"Content-Length", std::to_string(kFetcher.size())}}},
         kNoServer},
        {"longer than listed", {.body = kFetcher + "\n"}, "下载的“OrvikFetch”与更新清单不符，已停止更新。"},
    };
    const std::string installed = "#!/bin/sh\nexit 0\n";
    writeFile(program.file("OrvikFetch"), installed);
    chmod(program.file("OrvikFetch").c_str(), 0755);
    for (const auto& row : rows) {
        MessageBoxRecorder rowBoxes;
        offerList(listDated("2024-05-02"));
        server.set(kFetcherRoute, row.response);
        EXPECT_EQ(check(), UPDATE_NO_SERVER) << row.name;
        ASSERT_EQ(rowBoxes.count(), 1u) << row.name;
        EXPECT_EQ(rowBoxes.last().text, row.message) << row.name;
        EXPECT_EQ(readFile(program.file("OrvikFetch")), installed) << row.name;
        EXPECT_EQ(modeOf(program.file("OrvikFetch")), 0755u) << row.name;
        EXPECT_FALSE(fileExists(program.file("OrvikFetch.part"))) << row.name;
        expectRunEnded();
    }
}

TEST_F(UpdateCheck, FetcherThatCannotStartEndsTheRun) {
    offerList(listDated("2024-05-02", "not a program\n"));
    server.set(kFetcherRoute, "not a program\n");
    EXPECT_EQ(check(), UPDATE_NO_SERVER);
    expectRunEnded();
}

TEST_F(UpdateCheck, FolderThatCannotBeUpdatedAsksTheServerNothing) {
    TempDir system;
    const struct {
        const char* name;
        std::string readOnly;
        bool systemDir;
    } rows[] = {{"program folder", program.path(), false}, {"system folder", system.path(), true}};
    offer("2024-05-02");
    for (const auto& row : rows) {
        MessageBoxRecorder rowBoxes;
        if (row.systemDir) orvik::test::setDeploymentValue("SystemDir", row.readOnly);
        ASSERT_EQ(chmod(row.readOnly.c_str(), 0555), 0);
        EXPECT_EQ(check(), UPDATE_NO_SERVER) << row.name;
        chmod(row.readOnly.c_str(), 0700);
        ASSERT_EQ(rowBoxes.count(), 1u) << row.name;
        EXPECT_EQ(rowBoxes.last().text, kUpdateThroughPackages) << row.name;
        EXPECT_FALSE(fileExists(program.file("OrvikFetch"))) << row.name;
    }
    EXPECT_EQ(server.hits(kListRoute), 0);
    EXPECT_EQ(server.hits(kFetcherRoute), 0);
}
