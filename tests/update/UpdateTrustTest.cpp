// Signed updates: which signatures over FileList.xml the updater believes, and what the update
// check does against servers that serve something else than what the publisher signed. Each
// refusal leaves the program folder as it was and starts nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "Common.h"
#include "FileList.h"
#include "UpdateFile.h"
#include "UpdateTrust.h"
#include "support/DeploymentValues.h"
#include "support/HttpServer.h"
#include "support/MessageBoxRecorder.h"
#include "support/Shell.h"
#include "support/TempHome.h"
#include "support/TestPki.h"
#include "update/SignedUpdate.h"

namespace fs = std::filesystem;
using orvik::test::HttpResponse;
using orvik::test::HttpServer;
using orvik::test::IssuedCert;
using orvik::test::MessageBoxRecorder;
using orvik::test::readFile;
using orvik::test::TempDir;
using orvik::test::TempHome;
using orvik::test::TestPki;
using orvik::test::writeFile;
using orvik::test::update::fileEntry;
using orvik::test::update::sign;
using orvik::test::update::signedBy;
using updatetrust::Verdict;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kNoServer = "无法连接服务器，请稍候重试";
const std::string kFetcher = "#!/bin/sh\necho started > \"$(dirname \"$0\")/fetcher-ran\"\n";
const std::string kKey = kAssistantUpdateKey;

std::string listDated(const std::string& date, const std::string& fetcherEntry) {
    return "<?xml version=\"1.0\" encoding=\"gb2312\"?>\n<Orvikon>\n<UpdateDate>" + date +
           "</UpdateDate>\n<OrvikPatch><Version>2.0</Version><UpdateFileList>" + fetcherEntry +
           fileEntry(2, "Handover", "installer") + "</UpdateFileList></OrvikPatch>\n</Orvikon>\n";
}
std::string listDated(const std::string& date) { return listDated(date, fileEntry(1, "OrvikFetch", kFetcher)); }

std::string fingerprintOf(const IssuedCert& cert) { return orvik::test::update::sha256Hex(cert.der); }

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Every entry of a folder with its mode and bytes.
std::map<std::string, std::string> snapshot(const std::string& dir) {
    std::map<std::string, std::string> out;
    for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it) {
        struct stat st {};
        lstat(it->path().c_str(), &st);
        std::string value = std::to_string(st.st_mode) + ":";
        value += it->is_directory() ? "<dir>" : readFile(it->path().string());
        out[fs::relative(it->path(), dir).string()] = value;
    }
    return out;
}

}  // namespace

TEST(ListSignature, OnlyPublishersOfTheAuthorityAreBelieved) {
    TempHome home;
    TestPki& pki = TestPki::instance();
    const std::string list = listDated("2026-12-01");
    const IssuedCert& publisher = orvik::test::update::publisher();
    static const IssuedCert otherRoot = pki.selfSigned({.cn = "Other Root", .ca = true});
    static const IssuedCert stranger = pki.issue({.cn = "Stranger", .keyUsage = 0x80}, otherRoot);
    static const IssuedCert expired =
        pki.issue({.cn = "Expired publisher", .keyUsage = 0x80, .notBeforeOffset = -7200, .notAfterOffset = -3600});
    static const IssuedCert encipherOnly = pki.issue({.cn = "Not a signer", .keyUsage = 0x20});
    const std::string root = pki.root().pem, withRoot = pki.ca().pem + pki.root().pem;
    std::string tampered = list;
    tampered[tampered.find("2026")] = '3';

    const struct {
        const char* name;
        std::string list, signature, authority;
        Verdict verdict;
    } rows[] = {
        {"root as PEM", list, sign(list), root, Verdict::Good},
        {"the CA below the root as PEM", list, sign(list), pki.ca().pem, Verdict::Good},
        {"root by fingerprint, carried", list, signedBy(list, publisher, withRoot), fingerprintOf(pki.root()),
         Verdict::Good},
        {"fingerprint with colons", list, signedBy(list, publisher, withRoot),
         "  " + fingerprintOf(pki.root()).insert(2, ":") + "\n", Verdict::Good},
        {"root by fingerprint, not carried", list, sign(list), fingerprintOf(pki.root()), Verdict::Untrusted},
        {"one byte of the list changed", tampered, sign(list), root, Verdict::Invalid},
        {"another authority's publisher", list, signedBy(list, stranger, otherRoot.pem), root, Verdict::Untrusted},
        {"another authority carrying ours", list, signedBy(list, stranger, otherRoot.pem + withRoot),
         fingerprintOf(pki.root()), Verdict::Untrusted},
        {"expired publisher", list, signedBy(list, expired, pki.ca().pem), root, Verdict::Untrusted},
        {"publisher that may not sign", list, signedBy(list, encipherOnly, pki.ca().pem), root, Verdict::Untrusted},
        {"no signature", list, "", root, Verdict::Missing},
        {"not a signature", list, "garbage", root, Verdict::Invalid},
        {"no authority", list, sign(list), " \n", Verdict::NoAuthority},
        {"authority that is neither", list, sign(list), "not a fingerprint", Verdict::NoAuthority},
    };
    for (const auto& row : rows) {
        std::string signer;
        EXPECT_EQ(updatetrust::verifyList(row.list, row.signature, row.authority, &signer), row.verdict) << row.name;
        if (row.verdict == Verdict::Good) {
            EXPECT_NE(signer.find("Orvik 更新发布"), std::string::npos) << signer;
        }
    }

    // Until the deployment names an authority, no list is believed, and the check says why.
    EXPECT_EQ(updatetrust::verifyList(list, sign(list)), Verdict::NoAuthority);
    orvik::test::update::trustTestAuthority();
    EXPECT_EQ(updatetrust::verifyList(list, sign(list)), Verdict::Good);
}

TEST(ListSignature, ASignatureMadeByOpensslIsBelieved) {
    TempDir dir;
    const std::string list = listDated("2026-12-01");
    writeFile(dir.file("list"), list);
    writeFile(dir.file("cert"), orvik::test::update::publisher().pem);
    writeFile(dir.file("key"), orvik::test::update::publisher().keyPem);
    writeFile(dir.file("chain"), TestPki::instance().ca().pem);
    auto q = orvik::test::shellQuoted;
    auto run = orvik::test::runShell("openssl cms -sign -binary -outform DER -in " + q(dir.file("list")) + " -signer " +
                                     q(dir.file("cert")) + " -inkey " + q(dir.file("key")) + " -certfile " +
                                     q(dir.file("chain")) + " -out " + q(dir.file("sig")) + " 2>&1");
    ASSERT_EQ(run.code, 0) << run.out;
    const std::string signature = readFile(dir.file("sig"));
    EXPECT_EQ(updatetrust::verifyList(list, signature, TestPki::instance().root().pem, nullptr), Verdict::Good);
    EXPECT_EQ(updatetrust::verifyList(list + " ", signature, TestPki::instance().root().pem, nullptr),
              Verdict::Invalid);
}

TEST(ListSignature, EveryOfferedFileAndBothProgramsNeedSizeAndHash) {
    TempDir dir;
    const std::string sha(64, 'a');
    auto file = [&](int id, const std::string& name, const std::string& size, const std::string& hash) {
        return "<File id=\"" + std::to_string(id) + "\"><FileName>" + name + "</FileName><FileSize>" + size +
               "</FileSize><FileSHA256>" + hash + "</FileSHA256></File>";
    };
    const struct {
        const char* name;
        std::string files;
        std::string uncovered;
    } rows[] = {
        {"all covered", file(1, "a.so", "10", sha), ""},
        {"no size", file(1, "a.so", "", sha), "a.so"},
        {"size not a number", file(1, "a.so", "1e3", sha), "a.so"},
        {"short hash", file(1, "a.so", "10", sha.substr(1)), "a.so"},
        {"hash not hex", file(1, "a.so", "10", std::string(63, 'a') + "g"), "a.so"},
    };
    for (const auto& row : rows) {
        // Numbered from 1: the two programs follow the row's file in a depart of their own.
        const std::string xml = "<?xml version=\"1.0\" encoding=\"gb2312\"?><Orvikon><OrvikDesk><UpdateFileList>" +
                                row.files + "</UpdateFileList></OrvikDesk><OrvikPatch><UpdateFileList>" +
                                file(1, "OrvikFetch", "1", sha) + file(2, "Handover", "1", sha) +
                                "</UpdateFileList></OrvikPatch></Orvikon>";
        writeFile(dir.file("FileList.xml"), xml);
        FileList list;
        ASSERT_EQ(Common().ReadFileListFromXml(dir.file("FileList.xml"), list), UPDATE_DONE) << row.name;
        EXPECT_EQ(updatetrust::uncoveredFile(list), row.uncovered) << row.name;
    }
    writeFile(dir.file("FileList.xml"),
              "<?xml version=\"1.0\" encoding=\"gb2312\"?><Orvikon><OrvikPatch><UpdateFileList>" +
                  file(1, "OrvikFetch", "1", sha) + "</UpdateFileList></OrvikPatch></Orvikon>");
    FileList noInstaller;
    ASSERT_EQ(Common().ReadFileListFromXml(dir.file("FileList.xml"), noInstaller), UPDATE_DONE);
    EXPECT_EQ(updatetrust::uncoveredFile(noInstaller), "Handover");
}

namespace {

// The check against an https server on 127.0.0.1 whose certificate the deployment trusts, with a
// program folder that has an older list and a fetcher installed.
class HostileServer : public ::testing::Test {
public:
    HostileServer() {
        setenv("no_proxy", "127.0.0.1,localhost", 1);
        orvik::test::update::trustTestAuthority();
        orvik::test::setDeploymentValue("UpdateServerCa", TestPki::instance().root().pem);
        orvik::test::setDeploymentValue("UpdateTimeout", "3");
        writeFile(program.file("FileList.xml"), listDated("2024-05-01"));
        writeFile(program.file("OrvikFetch"), "#!/bin/sh\nexit 0\n");
        chmod(program.file("OrvikFetch").c_str(), 0755);
        Config running;
        running.SetCurrentOperation("1");
        common.SaveConfigtoReg(running, kKey);
    }

    static const IssuedCert& serverCert() {
        static const IssuedCert cert = TestPki::instance().issue({.cn = "127.0.0.1", .keyUsage = 0xa0});
        return cert;
    }

    // A host name alone means https.
    int check() { return common.CheckForUpdate(kKey, "127.0.0.1:" + std::to_string(server.port()), "/u/"); }
    void publish(const std::string& list, const std::string& fetcher = kFetcher) {
        server.set("/u//FileList.xml", list);
        server.set("/u//FileList.xml.p7s", sign(list));
        server.set("/u//OrvikFetch", fetcher);
    }
    bool fetcherRan() {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        return orvik::test::fileExists(program.file("fetcher-ran"));
    }

    TempHome home;
    TempDir program;
    Common common{program.path()};
    HttpServer server{orvik::test::TlsIdentity{serverCert().pem, serverCert().keyPem, TestPki::instance().ca().pem}};
    HttpServer plain;
    MessageBoxRecorder boxes;
};

}  // namespace

TEST_F(HostileServer, ASignedNewerListOverHttpsStartsTheListedFetcher) {
    publish(listDated("2026-12-01"));
    EXPECT_EQ(check(), UPDATE_DONE);
    EXPECT_EQ(readFile(program.file("OrvikFetch")), kFetcher);
    EXPECT_TRUE(fetcherRan());
    EXPECT_EQ(boxes.count(), 0u) << boxes.last().text;
}

TEST_F(HostileServer, EveryForgeryIsRefusedWithNothingWrittenOrStarted) {
    const std::string good = listDated("2026-12-01");
    const std::string otherKey = [] {
        static const IssuedCert root = TestPki::instance().selfSigned({.cn = "Mallory Root", .ca = true});
        static const IssuedCert mallory = TestPki::instance().issue({.cn = "Mallory", .keyUsage = 0x80}, root);
        return signedBy(listDated("2026-12-01"), mallory, root.pem);
    }();
    const std::string uncovered =
        listDated("2026-12-01", "<File id=\"1\"><FileName>OrvikFetch</FileName><FileSize>10</FileSize></File>");
    std::string tamperedFetcher = kFetcher;
    tamperedFetcher[tamperedFetcher.size() - 2] = 'X';
    const struct {
        const char* name;
        std::function<void(HostileServer&)> serve;
        int code;
        std::string message;  // empty: no message
        double withinSeconds;
    } rows[] = {
        {"tampered list",
         [&](HostileServer& t) {
             t.publish(good);
             std::string changed = good;
             changed.replace(changed.find("<OrvikPatch>"), 12, "<OrvikPatch> ");
             t.server.set("/u//FileList.xml", changed);
         },
         UPDATE_NO_SERVER, updatetrust::kSignatureInvalid, 5},
        {"list signed by another key",
         [&](HostileServer& t) {
             t.publish(good);
             t.server.set("/u//FileList.xml.p7s", otherKey);
         },
         UPDATE_NO_SERVER, updatetrust::kSignerUntrusted, 5},
        {"list without signature",
         [&](HostileServer& t) {
             t.publish(good);
             t.server.remove("/u//FileList.xml.p7s");
         },
         UPDATE_NO_SERVER, updatetrust::kSignatureMissing, 5},
        {"older list, signed", [&](HostileServer& t) { t.publish(listDated("2024-04-30")); }, UPDATE_NOTHING, "", 5},
        {"same list again", [&](HostileServer& t) { t.publish(listDated("2024-05-01")); }, UPDATE_NOTHING, "", 5},
        {"fetcher without size and hash", [&](HostileServer& t) { t.publish(uncovered); }, UPDATE_NO_SERVER,
         "更新清单没有给出“OrvikFetch”的大小和校验值，已停止更新。", 5},
        {"tampered fetcher", [&](HostileServer& t) { t.publish(good, tamperedFetcher); }, UPDATE_NO_SERVER,
         "下载的“OrvikFetch”与更新清单不符，已停止更新。", 5},
        {"fetcher larger than listed, no length given",
         [&](HostileServer& t) {
             t.publish(good);
             t.server.set("/u//OrvikFetch",
                          HttpResponse{.body = kFetcher, .streamedLength = 256u << 20, .withoutLength = true});
         },
         UPDATE_NO_SERVER, "下载的“OrvikFetch”与更新清单不符，已停止更新。", 5},
        {"list of 200 MiB",
         [&](HostileServer& t) {
             t.publish(good);
             t.server.set("/u//FileList.xml", HttpResponse{.body = good, .streamedLength = 200u << 20});
         },
         UPDATE_NO_SERVER, updatetrust::kListTooLarge, 5},
        {"list of 200 MiB, no length given",
         [&](HostileServer& t) {
             t.publish(good);
             t.server.set("/u//FileList.xml",
                          HttpResponse{.body = good, .streamedLength = 200u << 20, .withoutLength = true});
         },
         UPDATE_NO_SERVER, updatetrust::kListTooLarge, 5},
        {"redirect from https to http",
         [&](HostileServer& t) {
             t.publish(good);
             t.plain.set("/u//OrvikFetch", kFetcher);
             t.server.set("/u//OrvikFetch",
                          HttpResponse{.status = 302, .headers = {{"Location", t.plain.url("/u//OrvikFetch")}}});
         },
         UPDATE_NO_SERVER, updatetrust::kRedirectRefused, 5},
        {"redirect to another host",
         [&](HostileServer& t) {
             t.publish(good);
             t.server.set("/u//FileList.xml",
                          HttpResponse{.status = 301,
                                       .headers = {{"Location", "https://localhost:" + std::to_string(t.server.port()) +
                                                                    "/u//FileList.xml"}}});
         },
         UPDATE_NO_SERVER, updatetrust::kRedirectRefused, 5},
        {"list trickling at 2 bytes a second",
         [&](HostileServer& t) {
             t.publish(good);
             t.server.set("/u//FileList.xml", HttpResponse{.body = good, .bytesPerSecond = 2});
         },
         UPDATE_NO_SERVER, kNoServer, 6},
        {"fetcher trickling at 2 bytes a second",
         [&](HostileServer& t) {
             t.publish(good);
             t.server.set("/u//OrvikFetch", HttpResponse{.body = kFetcher, .bytesPerSecond = 2});
         },
         UPDATE_NO_SERVER, kNoServer, 6},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        MessageBoxRecorder rowBoxes;
        row.serve(*this);
        const auto before = snapshot(program.path());
        const auto start = Clock::now();
        EXPECT_EQ(check(), row.code);
        EXPECT_LT(secondsSince(start), row.withinSeconds);
        if (row.message.empty()) {
            EXPECT_EQ(rowBoxes.count(), 0u) << rowBoxes.last().text;
        } else {
            ASSERT_EQ(rowBoxes.count(), 1u);
            EXPECT_EQ(rowBoxes.last().text, row.message);
        }
        EXPECT_EQ(snapshot(program.path()), before);
        EXPECT_FALSE(fetcherRan());
    }
}

TEST_F(HostileServer, ARedirectToAnotherHostNeedsTheDeploymentsLeave) {
    // Two names of the same plain server: the host changes, the scheme does not.
    publish(listDated("2026-12-01"));
    const std::string elsewhere = "http://localhost:" + std::to_string(plain.port()) + "/x";
    plain.set("/u//FileList.xml", HttpResponse{.status = 302, .headers = {{"Location", elsewhere}}});
    plain.set("/x", "moved");
    UpdateFile file(plain.url(""), 0, "", "");
    ASSERT_TRUE(file.OpenConnection());
    file.SetQuiet(true);
    EXPECT_EQ(file.GetFile("/u//FileList.xml", program.file("got")), 0);
    EXPECT_EQ(file.LastFailure(), UpdateFile::Failure::Redirect);
    EXPECT_EQ(plain.hits("/x"), 0);

    orvik::test::setDeploymentValue("UpdateRedirectHosts", "mirror.example, LOCALHOST:8080");
    UpdateFile allowed(plain.url(""), 0, "", "");
    ASSERT_TRUE(allowed.OpenConnection());
    EXPECT_EQ(allowed.GetFile("/u//FileList.xml", program.file("got")), 5);
    EXPECT_EQ(readFile(program.file("got")), "moved");
}

TEST_F(HostileServer, ABodyPastItsSizeIsStoppedThereNotWrittenWhole) {
    server.set("/big", HttpResponse{.body = "0123456789", .streamedLength = size_t{1} << 30, .withoutLength = true});
    UpdateFile file("127.0.0.1:" + std::to_string(server.port()), 0, "", "");
    ASSERT_TRUE(file.OpenConnection());
    file.SetQuiet(true);
    UpdateFile::Expect expect;
    expect.size = 100;
    long long most = 0;
    const auto start = Clock::now();
    EXPECT_EQ(file.GetFile("/big", program.file("big"), expect,
                           [&](long long received) {
                               most = std::max(most, received);
                               return true;
                           }),
              0);
    EXPECT_LT(secondsSince(start), 5.0);
    EXPECT_EQ(file.LastFailure(), UpdateFile::Failure::TooLarge);
    EXPECT_LE(most, 100);
    EXPECT_FALSE(orvik::test::fileExists(program.file("big")));
    for (const auto& entry : fs::directory_iterator(program.path()))
        EXPECT_EQ(entry.path().filename().string().find(".orvik-part"), std::string::npos) << entry.path();
}

TEST_F(HostileServer, AServerCertificateTheDeploymentDoesNotTrustStopsTheCheck) {
    publish(listDated("2026-12-01"));
    static const IssuedCert otherRoot = TestPki::instance().selfSigned({.cn = "Other TLS Root", .ca = true});
    orvik::test::setDeploymentValue("UpdateServerCa", otherRoot.pem);
    const auto before = snapshot(program.path());
    EXPECT_EQ(check(), UPDATE_NO_SERVER);
    ASSERT_EQ(boxes.count(), 1u);
    EXPECT_EQ(boxes.last().text, updatetrust::kServerUntrusted);
    EXPECT_EQ(snapshot(program.path()), before);
    EXPECT_EQ(server.hits("/u//FileList.xml"), 0) << "no request reaches a server that is not trusted";
    EXPECT_FALSE(fetcherRan());
}
