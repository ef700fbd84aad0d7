// Each writer run as a child process and killed at many points, or given a disk that fills up:
// afterwards the state is the old one or the new one, whole; nothing is lost; nothing partial
// lies where the user would take it for a result; and the next run starts cleanly.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <Encodings.h>
#include <PFXFile.h>

#include "crypt/FoxmailFixture.h"
#include "support/SecretService.h"
#include "support/Shell.h"
#include "support/TempHome.h"
#include "support/TestPki.h"

using orvik::test::IssuedCert;
using orvik::test::readFile;
using orvik::test::runShell;
using orvik::test::shellQuoted;
using orvik::test::TempDir;
using orvik::test::TestPki;
using orvik::test::writeFile;
namespace fs = std::filesystem;

namespace {

constexpr unsigned kSeed = 20261209;
constexpr size_t kKillPoints = 220;
constexpr int kChildSeconds = 120;

// The folders a writer works in: its ORVIK_HOME and a folder of files; and what its runs add to
// their environment (a session bus).
struct World {
    std::string home, work;
    std::string env{};
    std::string file(const std::string& name) const { return work + "/" + name; }
};

struct Child {
    int code;  // -1: killed
    std::string out;
};

// orvikctl in `world`, with the fault shim's settings in its environment.
Child orvikctl(const World& world, const std::string& args, const std::string& faults = "") {
    std::string env = "ORVIK_HOME=" + shellQuoted(world.home) + " ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0";
    if (!world.env.empty()) env += " " + world.env;
    if (!faults.empty()) env += " LD_PRELOAD=" + shellQuoted(FAULT_SHIM_PATH) + " " + faults;
    // A child that hangs instead of finishing or dying is a failure of its own, not a kill.
    auto run = runShell("cd " + shellQuoted(world.work) + " && exec timeout -k 5 " + std::to_string(kChildSeconds) +
                        " env " + env + " " + ORVIKCTL_PATH + " " + args + " 2>&1 </dev/null");
    if (run.code == 124) ADD_FAILURE() << "orvikctl " << args << " hung with " << faults << ": " << run.out;
    return {run.code == 128 + SIGKILL ? -1 : run.code, run.out};
}

struct Writer {
    const char* name;
    std::function<void(const World&)> setup;  // the old state
    std::string command;                      // the write, as orvikctl arguments
    // "old", "new", or what else the state is.
    std::function<std::string(const World&)> state;
    // A run that must work from either state: the next start of the program.
    std::function<std::string(const std::string& state)> again;
    // Whether that run always ends in the new state; an update whose staged files a killed run
    // had already used up has nothing left to install, and the old or new state must just be whole.
    bool againFinishes = true;
    // A writer of many files (the installer) keeps a journal instead: what a killed run left is
    // undone or completed, whole, by the next run, and only then is the state checked.
    bool settlesOnNextRun = false;
    std::string env{};  // added to the environment of its every run
    size_t killPoints = kKillPoints;
};

// Files a writer leaves while it works; none may outlive the next run.
std::vector<std::string> leftovers(const World& w) {
    std::vector<std::string> out;
    for (const std::string& root : {w.home, w.work})
        for (auto& e : fs::recursive_directory_iterator(root)) {
            const std::string name = e.path().filename().string();
            auto endsWith = [&](const char* tail) {
                const size_t n = std::strlen(tail);
                return name.size() > n && name.compare(name.size() - n, n, tail) == 0;
            };
            const bool temporary =
                endsWith(".tmp") || (name[0] == '.' && (endsWith(".old") || endsWith(".new") || endsWith(".journal")));
            if (name.find(".orvik-") == 0 || name.find(".tmp-") != std::string::npos ||
                name.find("-journal") != std::string::npos || temporary)
                out.push_back(e.path().string());
        }
    return out;
}

void copyTree(const std::string& from, const std::string& to) {
    fs::remove_all(to);
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
}

// The writer's old state, made once, and the folders each run starts from a copy of.
struct Scene {
    // Made where the runs happen, so paths the state records (a Foxmail folder) hold for them.
    explicit Scene(const Writer& writer) {
        world.env = snapshot.env = writer.env;
        fs::create_directories(world.home);
        fs::create_directories(world.work);
        writer.setup(world);
        copyTree(world.home, snapshot.home);
        copyTree(world.work, snapshot.work);
    }
    void reset() const {
        copyTree(snapshot.home, world.home);
        copyTree(snapshot.work, world.work);
    }
    TempDir root;
    World snapshot{root.file("snapshot-home"), root.file("snapshot-work")};
    World world{root.file("home"), root.file("work")};
};

struct Figures {
    size_t operations = 0, points = 0, timed = 0, old = 0, fresh = 0, completed = 0;
};

// A kill point: before the Nth file system call, or so many microseconds after the start for a
// writer whose work is mostly computing (a PKCS #12 file's key derivation).
struct Point {
    bool timed;
    long value;
    std::string fault() const {
        return (timed ? "ORVIK_FAULT_KILL_AFTER_US=" : "ORVIK_FAULT_KILL_AT=") + std::to_string(value);
    }
    std::string text() const { return timed ? std::to_string(value) + " us" : "operation " + std::to_string(value); }
};

// Runs the writer once to count its operations, then kills it at a seeded sample of them.
Figures crashAt(const Writer& writer) {
    Scene scene(writer);
    const TempDir& root = scene.root;
    const World& world = scene.world;
    EXPECT_EQ(writer.state(world), "old") << writer.name;

    Figures f;
    scene.reset();
    const auto started = std::chrono::steady_clock::now();
    Child counted = orvikctl(world, writer.command, "ORVIK_FAULT_COUNT=" + shellQuoted(root.file("count")));
    const long duration = static_cast<long>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started).count());
    EXPECT_EQ(counted.code, 0) << writer.name << ": " << counted.out;
    EXPECT_EQ(writer.state(world), "new") << writer.name;
    f.operations = std::stoul(readFile(root.file("count")));

    std::vector<long> calls(f.operations);
    for (size_t i = 0; i < calls.size(); ++i) calls[i] = static_cast<long>(i + 1);
    std::mt19937 random(kSeed);
    std::shuffle(calls.begin(), calls.end(), random);
    calls.resize(std::min(calls.size(), writer.killPoints));
    std::sort(calls.begin(), calls.end());
    std::vector<Point> points;
    for (long c : calls) points.push_back({false, c});
    // Too few calls to kill at: the rest of the points fall in time, over the whole run.
    std::uniform_int_distribution<long> when(0, duration + duration / 10);
    while (points.size() < writer.killPoints) points.push_back({true, when(random)});
    f.points = points.size();

    for (const Point& point : points) {
        f.timed += point.timed;
        scene.reset();
        Child killed = orvikctl(world, writer.command, point.fault());
        if (killed.code == 0) ++f.completed;
        std::string after = writer.state(world);
        if (writer.settlesOnNextRun) {
            Child recovery = orvikctl(world, writer.again(after));
            after = writer.state(world);
        }
        if (after != "old" && after != "new") {
            ADD_FAILURE() << writer.name << " killed at " << point.text() << ": " << after;
            continue;
        }
        ++(after == "old" ? f.old : f.fresh);
        Child next = orvikctl(world, writer.again(after));
        const std::string settled = writer.state(world);
        if (writer.againFinishes) {
            EXPECT_EQ(next.code, 0) << writer.name << " after a kill at " << point.text() << ": " << next.out;
            EXPECT_EQ(settled, "new") << writer.name << " after a kill at " << point.text();
        } else {
            EXPECT_TRUE(settled == "old" || settled == "new")
                << writer.name << " after a kill at " << point.text() << " and a second run: " << settled;
        }
        auto left = leftovers(world);
        EXPECT_TRUE(left.empty()) << writer.name << " after a kill at " << point.text() << " left " << left.front();
    }
    std::printf("[crash] %-28s %4zu calls, %zu kill points (%zu in time): %zu old, %zu new, %zu ran to the end\n",
                writer.name, f.operations, f.points, f.timed, f.old, f.fresh, f.completed);
    return f;
}

// The writer with a disk that fills after so many bytes: it fails with a message or finishes,
// and the state is whole either way.
void diskFull(const Writer& writer) {
    Scene scene(writer);
    const World& world = scene.world;
    size_t failures = 0;
    for (long bytes : {0L, 1L, 100L, 1000L, 4096L, 10000L, 30000L, 100000L}) {
        scene.reset();
        Child run = orvikctl(world, writer.command, "ORVIK_FAULT_ENOSPC=" + std::to_string(bytes));
        const std::string after = writer.state(world);
        EXPECT_NE(run.code, -1) << writer.name << " with " << bytes << " bytes free crashed: " << run.out;
        if (run.code == 0) {
            EXPECT_EQ(after, "new") << writer.name << " reported success with " << bytes << " bytes free";
        } else {
            ++failures;
            EXPECT_EQ(after, "old") << writer.name << " failed with " << bytes << " bytes free and left " << after;
            EXPECT_NE(run.out.find("orvikctl: "), std::string::npos)
                << writer.name << " failed without a message: " << run.out;
        }
        auto left = leftovers(world);
        EXPECT_TRUE(left.empty()) << writer.name << " with a full disk left " << left.front();
    }
    EXPECT_GT(failures, 0u) << writer.name << " never saw the disk full";
}

// What the writers share: a personal certificate with its key, another person's certificate.
struct People {
    IssuedCert me = TestPki::instance().issue({.cn = "本人", .email = "me@example.test", .keyUsage = 0xA0});
    IssuedCert other = TestPki::instance().issue({.cn = "他人", .email = "other@example.test", .keyUsage = 0x20});
    IssuedCert third = TestPki::instance().issue({.cn = "第三人", .email = "third@example.test", .keyUsage = 0x20});
    std::string myThumb() const { return shellQuoted(BinToThumb(me.sha1)); }

    void importMine(const World& w) const {
        TestPki::save(w.file("me.pem"), me.pem);
        TestPki::save(w.file("me.key"), me.keyPem);
        ASSERT_EQ(orvikctl(w, "import-cert me.pem --key me.key").code, 0);
        fs::remove(w.file("me.key"));
    }
};

const People& people() {
    static People p;
    return p;
}

bool listed(const World& w, const std::string& store, const IssuedCert& c) {
    return orvikctl(w, "list --store " + store).out.find(BinToThumb(c.sha1)) != std::string::npos;
}

Writer certificateStore() {
    return {"certificate store",
            [](const World& w) {
                TestPki::save(w.file("other.cer"), people().other.der);
                TestPki::save(w.file("third.cer"), people().third.der);
                ASSERT_EQ(orvikctl(w, "import-cert other.cer --store ADDRESSBOOK").code, 0);
            },
            "import-cert third.cer --store ADDRESSBOOK",
            [](const World& w) -> std::string {
                if (!listed(w, "ADDRESSBOOK", people().other)) return "the certificate there before is gone";
                return listed(w, "ADDRESSBOOK", people().third) ? "new" : "old";
            },
            [](const std::string&) { return std::string("import-cert third.cer --store ADDRESSBOOK"); }};
}

Writer keyContainer() {
    return {"key container and MY",
            [](const World& w) {
                TestPki::save(w.file("me.pem"), people().me.pem);
                TestPki::save(w.file("me.key"), people().me.keyPem);
                writeFile(w.file("doc.txt"), "to be signed");
            },
            "import-cert me.pem --key me.key",
            [](const World& w) -> std::string {
                if (!listed(w, "MY", people().me)) return "old";
                // Listed means usable: the key must have come along whole.
                Child sign = orvikctl(w, "sign doc.txt doc.p7s --cert " + people().myThumb());
                fs::remove(w.file("doc.p7s"));
                return sign.code == 0 ? "new" : "listed without a usable key: " + sign.out;
            },
            [](const std::string&) { return std::string("import-cert me.pem --key me.key"); }};
}

Writer pkcs12InPlace() {
    return {"PKCS#12 password in place",
            [](const World& w) { TestPki::save(w.file("me.pfx"), TestPki::pkcs12(people().me, "old")); },
            "passwd-pfx me.pfx me.pfx --old old --new new",
            [](const World& w) -> std::string {
                std::string algorithm;
                const std::string path = w.file("me.pfx");
                if (InspectPkcs12(path.c_str(), "old", algorithm) == 0) return "old";
                if (InspectPkcs12(path.c_str(), "new", algorithm) == 0) return "new";
                return "opens with neither password";
            },
            [](const std::string& state) {
                return "passwd-pfx me.pfx me.pfx --old " + std::string(state == "old" ? "old" : "new") + " --new new";
            }};
}

const char* const kOldText = "the version before";
const char* const kNewText = "the version the user wrote last, 新的";

std::string openSecureFile(const World& w, const std::string& name) {
    Child run = orvikctl(w, "decrypt " + name + " check.out");
    std::string text = run.code == 0 ? readFile(w.file("check.out")) : "<" + run.out + ">";
    fs::remove(w.file("check.out"));
    return text;
}

Writer secureFileWritten() {
    return {"secure file written",
            [](const World& w) {
                people().importMine(w);
                writeFile(w.file("report.txt"), kOldText);
                ASSERT_EQ(orvikctl(w, "encrypt report.txt report.ovk --self " + people().myThumb()).code, 0);
                writeFile(w.file("report.txt"), kNewText);
            },
            "encrypt report.txt report.ovk --self " + people().myThumb(),
            [](const World& w) -> std::string {
                if (readFile(w.file("report.txt")) != kNewText) return "the source changed";
                std::string text = openSecureFile(w, "report.ovk");
                return text == kOldText ? "old" : text == kNewText ? "new" : "report.ovk holds " + text;
            },
            [](const std::string&) { return "encrypt report.txt report.ovk --self " + people().myThumb(); }};
}

Writer secureFileDecrypted() {
    return {"secure file decrypted",
            [](const World& w) {
                people().importMine(w);
                writeFile(w.file("report.txt"), kNewText);
                ASSERT_EQ(orvikctl(w, "encrypt report.txt report.ovk --self " + people().myThumb()).code, 0);
                writeFile(w.file("report.txt"), kOldText);
            },
            "decrypt report.ovk report.txt",
            [](const World& w) -> std::string {
                if (!fs::exists(w.file("report.ovk"))) return "the secure file is gone";
                std::string text = readFile(w.file("report.txt"));
                return text == kOldText ? "old" : text == kNewText ? "new" : "report.txt holds " + text;
            },
            [](const std::string&) { return std::string("decrypt report.ovk report.txt"); }};
}

const char* const kFoxInfo = "MailAddress=me@example.test\r\nSignCertHash=\r\nSMTPHost=smtp.example.test\r\n";

Writer foxmailAccount() {
    return {"Foxmail account rewritten",
            [](const World& w) {
                people().importMine(w);
                const std::string fox = w.file("Foxmail");
                fs::create_directories(fox + "/mail/me");
                fs::create_directories(fox + "/Address");
                orvik::test::writeVer30(fox + "/accounts.cfg", "accounts.cfg",
                                        orvik::test::foxAccountList({{"本人", "C:\\Foxmail\\mail\\me\\"}}));
                orvik::test::writeVer30(fox + "/mail/me/Account.stg", "AccInfo.cfg", kFoxInfo);
                ASSERT_EQ(orvikctl(w, "foxmail --path " + shellQuoted(fox)).code, 0);
            },
            "foxmail set-sign 本人 " + people().myThumb(),
            [](const World& w) -> std::string {
                const std::string stream =
                    orvik::test::ver30Stream(w.file("Foxmail/mail/me/Account.stg"), "AccInfo.cfg");
                if (stream == kFoxInfo) return "old";
                const std::string info = kFoxInfo;
                const size_t at = info.find("SignCertHash=") + 13;
                // The grouped thumbprint, 49 characters, in place; every other byte as it was.
                if (stream.size() == info.size() + 49 && stream.substr(0, at) == info.substr(0, at) &&
                    stream.substr(at + 49) == info.substr(at))
                    return "new";
                return "AccInfo.cfg holds " + stream;
            },
            [](const std::string&) { return "foxmail set-sign 本人 " + people().myThumb(); }};
}

std::string updateEntry(const std::string& name, const std::string& path = "") {
    return "  <File><FileName>" + name + "</FileName>" + (path.empty() ? "" : "<FilePath>" + path + "</FilePath>") +
           "</File>\n";
}

const std::string kNewList = "<?xml version=\"1.0\" encoding=\"gb2312\"?>\n<FileList Version=\"1.5.7\">\n" +
                             updateEntry("a.dat") + updateEntry("b.dat") + updateEntry("new.dat") +
                             updateEntry("s.so", "sys") + "</FileList>\n";

Writer updateInstalled() {
    Writer w{"update installed",
             [](const World& w) {
                 fs::create_directories(w.file("program/temp"));
                 fs::create_directories(w.file("system"));
                 writeFile(w.file("program/a.dat"), "old a");
                 writeFile(w.file("program/b.dat"), "old b");
                 writeFile(w.file("program/FileList.xml"), "old list");
                 writeFile(w.file("system/s.so"), "old s");
                 writeFile(w.file("program/temp/a.dat"), "new a");
                 writeFile(w.file("program/temp/b.dat"), "new b");
                 writeFile(w.file("program/temp/new.dat"), "new file");
                 writeFile(w.file("program/temp/s.so"), "new s");
                 writeFile(w.file("program/temp/FileList.xml"), kNewList);
             },
             "update-install --dir program --system system",
             [](const World& w) -> std::string {
                 auto text = [&](const std::string& name) {
                     return fs::exists(w.file(name)) ? readFile(w.file(name)) : std::string("<none>");
                 };
                 const std::string files = text("program/a.dat") + "|" + text("program/b.dat") + "|" +
                                           text("program/new.dat") + "|" + text("system/s.so") + "|" +
                                           text("program/FileList.xml");
                 if (files == "old a|old b|<none>|old s|old list") return "old";
                 if (files == "new a|new b|new file|new s|" + kNewList) return "new";
                 return "the program folder holds " + files;
             },
             [](const std::string&) { return std::string("update-install --dir program --system system"); }};
    w.againFinishes = false;
    w.settlesOnNextRun = true;
    return w;
}

// The Secret Service the runs of the sealing writer find, started once; no other writer's runs see it.
const orvik::test::SecretService& keyring() {
    static orvik::test::SecretService service(orvik::test::SecretService::Start::Keyring, false);
    return service;
}

const std::string kNoBus = "DBUS_SESSION_BUS_ADDRESS=" + shellQuoted(orvik::test::NoSessionBus::address());

Writer keySealed() {
    Writer w{"plain key container sealed",
             [](const World& w) {
                 ASSERT_TRUE(keyring().ready());
                 World bare = w;
                 bare.env = kNoBus;
                 people().importMine(bare);
                 writeFile(w.file("doc.txt"), "to be signed");
             },
             "seal-keys",
             [](const World& w) -> std::string {
                 std::vector<std::string> containers;
                 for (auto& e : fs::directory_iterator(w.home + "/keys/user"))
                     if (e.path().extension() == ".key") containers.push_back(e.path().string());
                 if (containers.size() != 1) return std::to_string(containers.size()) + " containers";
                 const std::string head = readFile(containers[0]).substr(0, 8);
                 // A plain key is used without a Secret Service, so that checking it leaves it plain.
                 World check = w;
                 if (head == "ORVKEY02") check.env = kNoBus;
                 Child sign = orvikctl(check, "sign doc.txt doc.p7s --cert " + people().myThumb());
                 fs::remove(w.file("doc.p7s"));
                 if (sign.code != 0) return "a key that does not sign: " + sign.out;
                 return head == "ORVKEY02" ? "old" : head == "ORVKSEAL" ? "new" : "a container that starts " + head;
             },
             [](const std::string&) { return std::string("seal-keys"); }};
    w.env = keyring().environment();
    return w;
}

// The imports run with fewer kill points: each state check runs the program several times.
constexpr size_t kImportKillPoints = 100;

std::string base64Of(const std::string& pem) {
    std::string out;
    for (size_t at = 0; at < pem.size();) {
        size_t end = pem.find('\n', at);
        if (end == std::string::npos) end = pem.size();
        const std::string line = pem.substr(at, end - at);
        if (line.find("-----") == std::string::npos) out += line;
        at = end + 1;
    }
    return out;
}

std::string card(const std::string& name, const std::string& email, const std::string& pem = "") {
    std::string c = "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:" + name + "\r\nEMAIL:" + email + "\r\n";
    if (!pem.empty()) c += "KEY;TYPE=X509;ENCODING=b:" + base64Of(pem) + "\r\n";
    return c + "END:VCARD\r\n";
}

const char* const kNewPeople[][2] = {{"甲", "a@example.test"},
                                     {"乙", "b@example.test"},
                                     {"丙", "c@example.test"},
                                     {"丁", "d@example.test"},
                                     {"戊", "e@example.test"}};

Writer vcardImported() {
    Writer w{"vCard import",
             [](const World& w) {
                 writeFile(w.file("old.vcf"), card("老朋友", "old@example.test"));
                 ASSERT_EQ(orvikctl(w, "vcard-import old.vcf").code, 0);
                 std::string file;
                 for (const auto& p : kNewPeople) file += card(p[0], p[1]);
                 // The same person twice, the second card with a certificate: one contact.
                 file += card("他人", "other@example.test") + card("他人", "other@example.test", people().other.pem);
                 writeFile(w.file("new.vcf"), file);
             },
             "vcard-import new.vcf",
             [](const World& w) -> std::string {
                 Child list = orvikctl(w, "contacts");
                 if (list.code != 0) return "the contacts cannot be listed: " + list.out;
                 if (list.out.find("\told@example.test\t") == std::string::npos)
                     return "the contact there before is gone";
                 size_t have = 0, lines = 0;
                 auto has = [&](const std::string& email) {
                     return list.out.find("\t" + email + "\t") != std::string::npos;
                 };
                 for (const auto& p : kNewPeople) have += has(p[1]);
                 for (char c : list.out) lines += c == '\n';
                 const bool other = has("other@example.test");
                 const bool cert = listed(w, "ADDRESSBOOK", people().other);
                 if (have == 0 && !other && !cert && lines == 1) return "old";
                 if (have == std::size(kNewPeople) && other && cert && lines == 7) return "new";
                 return std::to_string(have) + " of the new contacts, " + std::to_string(lines) + " in all" +
                        (other ? ", the merged one" : "") + (cert ? ", its certificate" : "");
             },
             [](const std::string&) { return std::string("vcard-import new.vcf"); }};
    w.killPoints = kImportKillPoints;
    return w;
}

const char* const kRegFile =
    "Windows Registry Editor Version 5.00\r\n\r\n"
    "[HKEY_CURRENT_USER\\Software\\Orvikon\\CrashTest]\r\n\"Old\"=-\r\n\"Kept\"=\"新的\"\r\n\r\n"
    "[HKEY_CURRENT_USER\\Software\\Orvikon\\CrashTest\\A]\r\n\"One\"=dword:00000001\r\n"
    "\"Two\"=\"二\"\r\n\"Three\"=hex:01,02,03\r\n\r\n"
    "[HKEY_CURRENT_USER\\Software\\Orvikon\\CrashTest\\B]\r\n\"Four\"=\"四\"\r\n\"Five\"=dword:00000005\r\n";

Writer regImported() {
    Writer w{"registry file imported",
             [](const World& w) {
                 const std::string key = "'HKCU\\Software\\Orvikon\\CrashTest'";
                 ASSERT_EQ(orvikctl(w, "reg-set " + key + " Old sz 旧的").code, 0);
                 ASSERT_EQ(orvikctl(w, "reg-set " + key + " Kept sz 旧的").code, 0);
                 writeFile(w.file("new.reg"), kRegFile);
             },
             "reg-import new.reg --any-key",
             [](const World& w) -> std::string {
                 // Three queries, not one per value: the state is checked after every kill.
                 auto key = [&](const std::string& sub) {
                     Child q = orvikctl(w, "reg-query 'HKCU\\Software\\Orvikon\\CrashTest" + sub + "'");
                     return q.code == 0 ? q.out : std::string();
                 };
                 const std::string top = key(""), a = key("\\A"), b = key("\\B");
                 int added = 0;
                 for (const char* name : {"One\t", "Two\t", "Three\t"}) added += a.find(name) != std::string::npos;
                 for (const char* name : {"Four\t", "Five\t"}) added += b.find(name) != std::string::npos;
                 const bool old = top.find("Old\t") != std::string::npos;
                 const bool wasOld = top.find("Kept\tREG_SZ\t旧的") != std::string::npos && old;
                 const bool isNew = top.find("Kept\tREG_SZ\t新的") != std::string::npos && !old;
                 if (wasOld && added == 0) return "old";
                 if (isNew && added == 5) return "new";
                 return std::to_string(added) + " of 5 values, the key holding " + top;
             },
             [](const std::string&) { return std::string("reg-import new.reg --any-key"); }};
    w.killPoints = kImportKillPoints;
    return w;
}

// The key containers on the disk, counted after the program has opened "MY" once.
size_t containers(const World& w) {
    size_t n = 0;
    if (fs::exists(w.home + "/keys/user"))
        for (auto& e : fs::directory_iterator(w.home + "/keys/user")) n += e.path().extension() == ".key";
    return n;
}

Writer pkcs12Imported() {
    Writer w{"PKCS#12 import",
             [](const World& w) {
                 TestPki::save(w.file("me.pfx"), TestPki::pkcs12(people().me, "pw"));
                 writeFile(w.file("doc.txt"), "to be signed");
             },
             "import-pfx me.pfx --password pw",
             [](const World& w) -> std::string {
                 // Listing opens "MY": what a killed import left goes then.
                 const bool mine = listed(w, "MY", people().me);
                 const size_t keys = containers(w);
                 if (!mine) return keys == 0 ? "old" : std::to_string(keys) + " key containers without a certificate";
                 if (keys != 1) return "listed, with " + std::to_string(keys) + " key containers";
                 Child sign = orvikctl(w, "sign doc.txt doc.p7s --cert " + people().myThumb());
                 fs::remove(w.file("doc.p7s"));
                 return sign.code == 0 ? "new" : "listed without a usable key: " + sign.out;
             },
             [](const std::string&) { return std::string("import-pfx me.pfx --password pw"); }};
    w.killPoints = kImportKillPoints;
    return w;
}

std::vector<Writer> writers() {
    return {certificateStore(),    keyContainer(),   pkcs12InPlace(),   secureFileWritten(),
            secureFileDecrypted(), foxmailAccount(), updateInstalled(), keySealed(),
            vcardImported(),       regImported(),    pkcs12Imported()};
}

class CrashEach : public ::testing::TestWithParam<int> {};

TEST_P(CrashEach, KilledAnywhereLeavesTheOldOrTheNewStateAndStartsCleanly) {
    Writer w = writers()[static_cast<size_t>(GetParam())];
    Figures f = crashAt(w);
    EXPECT_GE(f.points, w.killPoints) << w.name << " has too few operations to kill";
    // A journal's next run finishes what the staged files allow: the old state may never remain.
    if (!w.settlesOnNextRun) {
        EXPECT_GT(f.old, 0u) << w.name;
    }
    EXPECT_GT(f.fresh, 0u) << w.name;
}

TEST_P(CrashEach, AFullDiskGivesAMessageAndLosesNothing) { diskFull(writers()[static_cast<size_t>(GetParam())]); }

std::string writerName(const ::testing::TestParamInfo<int>& info) {
    static const char* const names[] = {"CertificateStore",    "KeyContainer",   "Pkcs12InPlace",   "SecureFileWritten",
                                        "SecureFileDecrypted", "FoxmailAccount", "UpdateInstalled", "KeySealed",
                                        "VcardImport",         "RegImport",      "Pkcs12Import"};
    return names[info.param];
}

INSTANTIATE_TEST_SUITE_P(Writers, CrashEach, ::testing::Range(0, 11), writerName);

}  // namespace
