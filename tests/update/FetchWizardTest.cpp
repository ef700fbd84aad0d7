// The fetcher's wizard driven through its controls, and the whole update chain: the stand-in
// assistant's check, the wizard, the real installer, and the assistant coming back.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <thread>

#include <openssl/sha.h>
#include <orvik/CodePage.h>

#include "ChoosePage.h"
#include "Common.h"
#include "ConfirmPage.h"
#include "DetectDialog.h"
#include "DownloadPage.h"
#include "Fetcher.h"
#include "desk/ModalDriver.h"
#include "support/DeploymentValues.h"
#include "support/HttpServer.h"
#include "support/MessageBoxRecorder.h"
#include "support/TempHome.h"
#include "update/SignedUpdate.h"

namespace fs = std::filesystem;
using orvik::test::HttpResponse;
using orvik::test::readFile;
using orvik::test::writeFile;
using orvikdesk::test::click;
using orvikdesk::test::control;
using orvikdesk::test::onNextModal;

namespace {

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        app_ = new QApplication(argc_, argv_);
    }
    void TearDown() override { delete app_; }

private:
    int argc_ = 1;
    char name_[16] = "fetch_tests";
    char* argv_[2] = {name_, nullptr};
    QApplication* app_ = nullptr;
};
[[maybe_unused]] auto* const kQt = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

const std::string kKey = kAssistantUpdateKey;
const std::string kServerPath = "/upd/";
const std::string kNoServer = "无法连接服务器，请稍候重试";

struct Item {
    std::string name, version, path, reg, size, sha;
};
struct Depart {
    std::string name, display, description, version;
    std::vector<Item> files;
};

// A list as the server publishes it: GB2312 bytes.
std::string listOf(const std::string& date, const std::vector<Depart>& departs) {
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"GB2312\"?>\n<Orvikon>\n  <UpdateDate>" + date + "</UpdateDate>\n";
    for (const Depart& d : departs) {
        xml += "  <" + d.name + ">\n    <Name>" + d.display + "</Name>\n    <Description>" + d.description +
               "</Description>\n    <Version>" + d.version + "</Version>\n    <UpdateFileList>\n";
        int n = 0;
        for (const Item& f : d.files) {
            xml += "      <File id=\"" + std::to_string(++n) + "\">\n        <FileName>" + f.name +
                   "</FileName>\n        <FileVersion>" + f.version + "</FileVersion>\n        <FilePath>" + f.path +
                   "</FilePath>\n        <FileReg>" + f.reg + "</FileReg>\n";
            if (!f.size.empty()) xml += "        <FileSize>" + f.size + "</FileSize>\n";
            if (!f.sha.empty()) xml += "        <FileSHA256>" + f.sha + "</FileSHA256>\n";
            xml += "      </File>\n";
        }
        xml += "    </UpdateFileList>\n  </" + d.name + ">\n";
    }
    return orvik::toCp936(xml + "</Orvikon>\n");
}

std::string sha256Hex(const std::string& bytes) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
    char hex[2 * SHA256_DIGEST_LENGTH + 1] = {};
    for (int i = 0; i < SHA256_DIGEST_LENGTH; ++i) snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    return hex;
}

// The address a file name is requested under.
std::string remote(const std::string& name) {
    static const char* hex = "0123456789ABCDEF";
    std::string out = kServerPath + "/";
    for (unsigned char c : name) {
        if (isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Every entry of a folder with its mode and bytes: what a failed run must leave as it was.
std::map<std::string, std::string> snapshot(const std::string& dir) {
    std::map<std::string, std::string> out;
    for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it) {
        std::string value = std::to_string(modeOf(it->path().string())) + ":";
        value += it->is_directory() ? "<dir>" : readFile(it->path().string());
        out[fs::relative(it->path(), dir).string()] = value;
    }
    return out;
}

bool waitFor(const std::function<bool()>& done, int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool alive(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == 0;
}

// A process that is not the assistant: its id stored as the one to end must not end it.
class Bystander {
public:
    Bystander() {
        pid_ = fork();
        if (pid_ == 0) {
            execl("/bin/sleep", "sleep", "60", static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~Bystander() {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_;
};

// Checks every offered item, confirms, waits for the download and presses "完成".
void driveWizard() {
    onNextModal<ChoosePage>([](ChoosePage* page) {
        auto* offers = control<QListWidget>(page, ChoosePage::IDC_OFFERS);
        EXPECT_FALSE(control<QPushButton>(page, ChoosePage::IDC_NEXT)->isEnabled());
        for (int i = 0; i < offers->count(); ++i) offers->item(i)->setCheckState(Qt::Checked);
        onNextModal<ConfirmPage>([](ConfirmPage* confirm) {
            onNextModal<DownloadPage>([](DownloadPage* download) {
                auto* timer = new QTimer(download);
                timer->setInterval(10);
                QObject::connect(timer, &QTimer::timeout, download, [download, timer] {
                    auto* done = control<QPushButton>(download, DownloadPage::IDC_DONE);
                    if (!done->isEnabled()) return;
                    timer->stop();
                    done->click();
                });
                timer->start();
            });
            click(confirm, ConfirmPage::IDC_NEXT);
        });
        click(page, ChoosePage::IDC_NEXT);
    });
}

class UpdateChain : public ::testing::Test {
public:
    void SetUp() override {
        fs::create_directories(program);
        fs::create_directories(system);
        orvik::test::setDeploymentValue("SystemDir", system);
        orvik::test::setDeploymentValue("UpdateTimeout", "2");
        orvik::test::update::trustTestAuthority();

        put(program + "/OrvikDesk", readFile(STANDIN_PATH), 0755);
        put(program + "/证书说明.txt", "旧的说明\n");
        put(program + "/keep.dat", "kept as it is");
        put(system + "/data.bin", "old system data");
        put(program + "/FileList.xml", listOf("2026-01-10", {desk("1.0", "1.0")}));

        const std::string notes = "新的说明：第二版\n";
        files = {
            {"证书说明.txt", notes},
            {"工具.so",
             "\x7f"
             "ELF new tool"},
            {"data.bin", "new system data"},
            {"sign.dat", "signing parts"},
            {"libOrvikPatch.so",
             "\x7f"
             "ELF new update library"},
            {"OrvikFetch", "#!/bin/sh\necho started > \"$(dirname \"$0\")/fetcher-started\"\n"},
            {"Handover", readFile(HANDOVER_PATH)},
        };
        Depart newDesk = desk("2.0", "2.0");
        newDesk.files[0].size = std::to_string(notes.size());
        newDesk.files[0].sha = sha256Hex(notes);
        newDesk.files.push_back({"工具.so", "2.0", "", "yes", "", ""});
        offeredList =
            listOf("2026-12-01",
                   covered({newDesk,
                            {"OrvikSign", "签名组件", "新的签名功能", "1.0", {{"sign.dat", "1.0", "", "", "", ""}}},
                            {"OrvikPatch",
                             "升级程序",
                             "在线升级",
                             "2.0",
                             {{"libOrvikPatch.so", "2.0", "", "", "", ""},
                              {"OrvikFetch", "2.0", "", "", "", ""},
                              {"Handover", "2.0", "", "", "", ""}}}}));
        serveAll();
    }

    // The departs with every file's size and hash taken from what the server serves.
    std::vector<Depart> covered(std::vector<Depart> departs) {
        for (Depart& d : departs)
            for (Item& f : d.files) {
                const std::string bytes = files.count(f.name) ? files[f.name] : f.name;
                if (f.size.empty()) f.size = std::to_string(bytes.size());
                if (f.sha.empty()) f.sha = sha256Hex(bytes);
            }
        return departs;
    }

    static Depart desk(const std::string& version, const std::string& fileVersion) {
        return {"OrvikDesk",
                "证书助手",
                "数字证书管理",
                version,
                {{"证书说明.txt", fileVersion, "", "no", "", ""},
                 {"data.bin", fileVersion, "sys", "no", "", ""},
                 {"keep.dat", "1.0", "", "", "", ""}}};
    }

    void serveAll() {
        server.set(kServerPath + "/FileList.xml", offeredList);
        server.set(kServerPath + "/FileList.xml.p7s", orvik::test::update::sign(offeredList));
        for (const auto& [name, bytes] : files) server.set(remote(name), bytes);
    }

    static void put(const std::string& path, const std::string& bytes, mode_t mode = 0644) {
        writeFile(path, bytes);
        chmod(path.c_str(), mode);
    }

    // The update key as the assistant's check leaves it.
    void configure(const std::string& processId) {
        Common common(program);
        Config root;
        root.SetConfigPath(kKey);
        common.SaveConfigtoReg(root, kUpdateRootKey);
        Config config;
        config.SetServer(server.url(""));
        config.SetServerPath(kServerPath);
        config.SetCurrentOperation("1");
        config.SetProcessID(processId);
        common.SaveConfigtoReg(config, kKey);
    }

    Config stored() {
        Config config;
        Common(program).ReadConfigFromReg(config, kKey);
        return config;
    }

    // A run that fails must leave both folders as they were, temp gone and the run ended.
    void expectNothingChanged(const std::map<std::string, std::string>& programBefore,
                              const std::map<std::string, std::string>& systemBefore) {
        EXPECT_EQ(snapshot(program), programBefore);
        EXPECT_EQ(snapshot(system), systemBefore);
        EXPECT_FALSE(fs::exists(program + "/temp"));
        EXPECT_EQ(stored().GetCurrentOperation(), "0");
    }

    orvik::test::TempHome home;
    orvik::test::TempDir root;
    const std::string program = root.file("program");
    const std::string system = root.file("system");
    orvik::test::HttpServer server;
    orvik::test::MessageBoxRecorder boxes;
    std::map<std::string, std::string> files;
    std::string offeredList;
};

TEST_F(UpdateChain, CheckWizardAndInstallerBringTheAssistantBackWithTheNewFiles) {
    // The assistant runs the check, as "检查更新..." does.
    const std::string result = root.file("check-result");
    pid_t assistant = fork();
    if (assistant == 0) {
        std::string path = program + "/OrvikDesk", host = server.url("");
        execl(path.c_str(), path.c_str(), "--check", host.c_str(), kServerPath.c_str(), result.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_TRUE(waitFor([&] { return fs::exists(result) && fs::exists(program + "/fetcher-started"); }, 20000));
    EXPECT_EQ(readFile(result), "100");
    EXPECT_EQ(readFile(program + "/OrvikFetch"), files["OrvikFetch"]);
    EXPECT_EQ(modeOf(program + "/OrvikFetch"), 0755u);
    EXPECT_EQ(stored().GetProcessID(), std::to_string(assistant));
    EXPECT_EQ(stored().GetCurrentOperation(), "1");
    EXPECT_EQ(stored().GetServerPath(), kServerPath);
    fs::remove(program + "/fetcher-started");

    // The fetcher's part, driven through its pages.
    driveWizard();
    EXPECT_TRUE(Fetcher(Common(program), 0).run());
    EXPECT_TRUE(waitFor([&] { return !alive(assistant); }, 1000)) << "the assistant was not ended";
    ASSERT_TRUE(waitFor([&] { return fs::exists(program + "/restarted") && !fs::exists(program + "/temp"); }, 30000))
        << "the installer did not finish";
    pid_t restarted = std::stoi(readFile(program + "/restarted"));

    for (const char* name : {"证书说明.txt", "工具.so", "sign.dat", "libOrvikPatch.so", "OrvikFetch", "Handover"})
        EXPECT_EQ(readFile(program + "/" + name), files[name]) << name;
    EXPECT_EQ(modeOf(program + "/证书说明.txt"), 0644u);
    EXPECT_EQ(modeOf(program + "/工具.so"), 0755u);
    EXPECT_EQ(modeOf(program + "/OrvikFetch"), 0755u);
    EXPECT_EQ(modeOf(program + "/Handover"), 0755u);
    EXPECT_EQ(readFile(system + "/data.bin"), "new system data");
    EXPECT_FALSE(fs::exists(program + "/data.bin")) << "a system file went into the program folder";
    EXPECT_EQ(readFile(program + "/keep.dat"), "kept as it is");
    EXPECT_EQ(readFile(program + "/FileList.xml"), offeredList);
    EXPECT_EQ(stored().GetCurrentOperation(), "0");
    EXPECT_EQ(boxes.count(), 0u) << boxes.last().text;

    // Nothing is newer now.
    EXPECT_EQ(Common(program).CheckForUpdate(kKey, server.url(""), kServerPath), UPDATE_NOTHING);
    EXPECT_FALSE(fs::exists(program + "/temp"));
    ::kill(restarted, SIGKILL);
}

TEST_F(UpdateChain, FailedDownloadsLeaveEverythingAsItWas) {
    struct Variant {
        const char* what;
        std::function<void(UpdateChain&)> serve;
        std::string message;
    };
    const Variant variants[] = {
        {"a body cut short",
         [](UpdateChain& t) {
             t.server.set(remote("工具.so"), HttpResponse{.body = "\x7f"
                                                                  "ELF",
                                                          .headers = {{"Content-Length", "13"}}});
         },
         kNoServer},
        {"a body longer than listed", [](UpdateChain& t) { t.server.set(remote("工具.so"), t.files["工具.so"] + "!"); },
         "下载的“工具.so”与更新清单不符，已停止更新。"},
        {"a 404", [](UpdateChain& t) { t.server.remove(remote("sign.dat")); }, kNoServer},
        {"a file that is not what the list says",
         [](UpdateChain& t) { t.server.set(remote("证书说明.txt"), "tampered"); },
         "下载的“证书说明.txt”与更新清单不符，已停止更新。"},
        {"a name that leaves the folder",
         [](UpdateChain& t) {
             t.offeredList = listOf(
                 "2026-12-01",
                 t.covered({{"OrvikDesk", "证书助手", "数字证书管理", "2.0", {{"../evil.so", "2.0", "", "", "", ""}}},
                            {"OrvikPatch",
                             "升级程序",
                             "在线升级",
                             "2.0",
                             {{"OrvikFetch", "2.0", "", "", "", ""}, {"Handover", "2.0", "", "", "", ""}}}}));
             t.serveAll();
             t.server.set(kServerPath + "/../evil.so", "evil");
         },
         "升级清单中有无效的文件名，本次升级已取消。"},
    };
    for (const Variant& v : variants) {
        SCOPED_TRACE(v.what);
        Bystander bystander;
        serveAll();
        v.serve(*this);
        configure(std::to_string(bystander.pid()));
        const auto programBefore = snapshot(program), systemBefore = snapshot(system);
        driveWizard();
        EXPECT_FALSE(Fetcher(Common(program), 0).run());
        ASSERT_GE(boxes.count(), 1u);
        EXPECT_EQ(boxes.last().text, v.message);
        expectNothingChanged(programBefore, systemBefore);
        EXPECT_TRUE(alive(bystander.pid()));
        EXPECT_EQ(server.hits(kServerPath + "/../evil.so"), 0);
    }
}

TEST_F(UpdateChain, AServerThatStopsAfterTheListInstallsNothing) {
    Bystander bystander;
    configure(std::to_string(bystander.pid()));
    const auto programBefore = snapshot(program), systemBefore = snapshot(system);
    onNextModal<ChoosePage>([this](ChoosePage* page) {
        server.stop();
        control<QListWidget>(page, ChoosePage::IDC_OFFERS)->item(0)->setCheckState(Qt::Checked);
        onNextModal<ConfirmPage>([](ConfirmPage* confirm) {
            onNextModal<DownloadPage>([](DownloadPage* download) {
                auto* timer = new QTimer(download);
                QObject::connect(timer, &QTimer::timeout, download, [download, timer] {
                    if (!control<QPushButton>(download, DownloadPage::IDC_DONE)->isEnabled()) return;
                    timer->stop();
                    click(download, DownloadPage::IDC_DONE);
                });
                timer->start(10);
            });
            click(confirm, ConfirmPage::IDC_NEXT);
        });
        click(page, ChoosePage::IDC_NEXT);
    });
    EXPECT_FALSE(Fetcher(Common(program), 0).run());
    EXPECT_EQ(boxes.last().text, kNoServer);
    expectNothingChanged(programBefore, systemBefore);
    EXPECT_TRUE(alive(bystander.pid()));
}

TEST_F(UpdateChain, AStoredIdThatIsNotTheAssistantStopsTheRun) {
    Bystander bystander;
    for (const std::string& id : {std::to_string(bystander.pid()), std::string(), std::string("0"), std::string("-1"),
                                  std::to_string(getpid())}) {
        SCOPED_TRACE("ProcessID \"" + id + "\"");
        configure(id);
        const auto programBefore = snapshot(program), systemBefore = snapshot(system);
        driveWizard();
        EXPECT_FALSE(Fetcher(Common(program), 0).run());
        EXPECT_EQ(boxes.last().text, "无法关闭正在运行的证书助手，本次升级未完成。");
        expectNothingChanged(programBefore, systemBefore);
        EXPECT_TRUE(alive(bystander.pid()));
    }
}

TEST_F(UpdateChain, AReadOnlyProgramFolderIsNotTouched) {
    configure("");
    const auto programBefore = snapshot(program);
    chmod(program.c_str(), 0555);
    EXPECT_FALSE(Fetcher(Common(program), 0).run());
    chmod(program.c_str(), 0755);
    ASSERT_EQ(boxes.count(), 1u);
    EXPECT_EQ(boxes.last().text, kUpdateThroughPackages);
    EXPECT_EQ(snapshot(program), programBefore);
    EXPECT_EQ(server.hits(kServerPath + "/FileList.xml"), 0);
}

TEST_F(UpdateChain, AServerThatNeverAnswersEndsTheRunInTime) {
    server.set(kServerPath + "/FileList.xml", HttpResponse{.silent = true});
    configure("");
    const auto programBefore = snapshot(program);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Fetcher(Common(program), 0).run());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(snapshot(program), programBefore);
    EXPECT_EQ(stored().GetCurrentOperation(), "0");
}

TEST_F(UpdateChain, CancelOnAnyPageEndsTheRunAndCleansTemp) {
    configure("");
    // Cancel on the choice.
    onNextModal<ChoosePage>([](ChoosePage* page) { click(page, WizardPage::IDC_CANCEL); });
    EXPECT_FALSE(Fetcher(Common(program), 0).run());
    EXPECT_FALSE(fs::exists(program + "/temp"));
    EXPECT_EQ(stored().GetCurrentOperation(), "0");

    // Back from the confirmation keeps the choice; cancel there.
    configure("");
    onNextModal<ChoosePage>([](ChoosePage* page) {
        control<QListWidget>(page, ChoosePage::IDC_OFFERS)->item(1)->setCheckState(Qt::Checked);
        onNextModal<ConfirmPage>([](ConfirmPage* confirm) {
            EXPECT_EQ(control<QListWidget>(confirm, ConfirmPage::IDC_CHOSEN)->count(), 1);
            onNextModal<ChoosePage>([](ChoosePage* again) {
                auto* offers = control<QListWidget>(again, ChoosePage::IDC_OFFERS);
                EXPECT_EQ(offers->item(1)->checkState(), Qt::Checked);
                EXPECT_TRUE(control<QPushButton>(again, ChoosePage::IDC_NEXT)->isEnabled());
                offers->item(1)->setCheckState(Qt::Unchecked);
                EXPECT_FALSE(control<QPushButton>(again, ChoosePage::IDC_NEXT)->isEnabled());
                click(again, WizardPage::IDC_CANCEL);
            });
            click(confirm, ConfirmPage::IDC_BACK);
        });
        click(page, ChoosePage::IDC_NEXT);
    });
    EXPECT_FALSE(Fetcher(Common(program), 0).run());
    EXPECT_FALSE(fs::exists(program + "/temp"));
    EXPECT_EQ(stored().GetCurrentOperation(), "0");
    EXPECT_EQ(server.hits(remote("sign.dat")), 0);
}

TEST_F(UpdateChain, TheChoiceShowsWhatIsNewerAndNeverTheUpdaterItself) {
    configure("");
    onNextModal<ChoosePage>([](ChoosePage* page) {
        auto* supported = control<QListWidget>(page, ChoosePage::IDC_SUPPORTED);
        ASSERT_EQ(supported->count(), 2);
        EXPECT_EQ(supported->item(0)->text(), QStringLiteral("证书助手"));
        EXPECT_EQ(supported->item(1)->text(), QStringLiteral("签名组件"));
        auto* offers = control<QListWidget>(page, ChoosePage::IDC_OFFERS);
        ASSERT_EQ(offers->count(), 2);
        EXPECT_EQ(offers->item(0)->text(), QStringLiteral("证书助手  （数字证书管理）"));
        EXPECT_EQ(page->windowTitle(), QStringLiteral("在线升级"));
        click(page, WizardPage::IDC_CANCEL);
    });
    Fetcher(Common(program), 0).run();
}

TEST_F(UpdateChain, StartedByHandWithEverythingCurrentItShowsTheNoticeAndEnds) {
    put(program + "/FileList.xml", offeredList);
    configure("");
    Config byHand;
    byHand.SetCurrentOperation("0");
    Common(program).SaveConfigtoReg(byHand, kKey);
    bool noticed = false;
    onNextModal<DetectDialog>([&](DetectDialog*) { noticed = true; });
    EXPECT_FALSE(Fetcher(Common(program), 50).run());
    EXPECT_TRUE(noticed);
    EXPECT_FALSE(fs::exists(program + "/temp"));
    EXPECT_EQ(server.hits(kServerPath + "/FileList.xml"), 2);  // asked for, then fetched
    EXPECT_EQ(server.hits(remote("Handover")), 1);
    for (const auto& [name, bytes] : files) {
        if (name == "Handover") continue;
        EXPECT_EQ(server.hits(remote(name)), 0) << name;
    }
}

}  // namespace
