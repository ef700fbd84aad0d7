// orvikctl against hostile input and other local users: what a command reads is bounded and a
// regular file, passwords need not be arguments, outputs are whole and plaintext is private.
#include <gtest/gtest.h>

#include <algorithm>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <Encodings.h>

#include "support/Shell.h"
#include "support/TempHome.h"
#include "support/TestPki.h"

using orvik::test::IssuedCert;
using orvik::test::TestPki;

namespace {

using CtlResult = orvik::test::ShellRun;

std::string quote(const std::string& s) { return orvik::test::shellQuoted(s); }

// orvikctl with standard error kept; a command that hangs ends after `seconds` with 124.
CtlResult run(const std::string& args, int seconds = 30) {
    return orvik::test::runShell("timeout -k 5 " + std::to_string(seconds) + " " + ORVIKCTL_PATH + " " + args +
                                 " 2>&1 </dev/null");
}

bool has(const CtlResult& r, const std::string& text) { return r.out.find(text) != std::string::npos; }

int modeOf(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 0777) : -1;
}

// A file of `size` bytes that takes no disk: a hole after `head`.
void sparse(const std::string& path, const std::string& head, off_t size) {
    orvik::test::writeFile(path, head);
    ASSERT_EQ(truncate(path.c_str(), size), 0);
}

// The user's certificate with its key in MY; its thumbprint.
std::string importMine(const orvik::test::TempDir& dir) {
    IssuedCert me = TestPki::instance().issue({.cn = "我", .keyUsage = 0x20});
    TestPki::save(dir.file("me.pem"), me.pem);
    TestPki::save(dir.file("me.key"), me.keyPem);
    EXPECT_EQ(run("import-cert " + quote(dir.file("me.pem")) + " --key " + quote(dir.file("me.key"))).code, 0);
    return BinToThumb(me.sha1);
}

// orvikctl on a terminal of its own: types `typed` once `prompt` has appeared, and returns all the
// terminal showed and the exit status.
CtlResult onTerminal(const std::vector<std::string>& args, const std::string& prompt, const std::string& typed) {
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        std::vector<char*> argv{const_cast<char*>(ORVIKCTL_PATH)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(ORVIKCTL_PATH, argv.data());
        _exit(127);
    }
    std::string shown;
    bool answered = false;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0) break;  // the child is gone and the terminal closed
        shown.append(buffer, static_cast<size_t>(n));
        if (!answered && shown.find(prompt) != std::string::npos) {
            answered = true;
            (void)!write(master, typed.data(), typed.size());
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    close(master);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, shown};
}

}  // namespace

TEST(OrvikctlInput, EveryReaderRefusesWhatItCannotHoldAndWhatIsNoFileWithAMessage) {
    orvik::test::TempHome home;
    orvik::test::TempDir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    sparse(dir.file("huge.cer"), "-----BEGIN CERTIFICATE-----\n", off_t{8} << 30);
    sparse(dir.file("huge.reg"), "REGEDIT4\r\n", off_t{8} << 30);
    sparse(dir.file("v0-8g.ovk"), "OrvikFileType=0;", off_t{8} << 30);
    // 2 GiB overflowed the int lengths of the one-piece formats.
    sparse(dir.file("v0-2g.ovk"), "OrvikFileType=0;", off_t{2} << 30);
    sparse(dir.file("v1-2g.ovk"), "OrvikFileType=1;", off_t{2} << 30);
    sparse(dir.file("plain-2g.txt"), "x", off_t{2} << 30);
    orvik::test::writeFile(dir.file("small.txt"), "text");
    TestPki::save(dir.file("cert.pem"), TestPki::instance().issue({.cn = "某人"}).pem);
    const struct {
        std::string command;
        const char* says;
    } cases[] = {
        {"import-cert " + quote(dir.file("huge.cer")), "larger than 1 MiB"},
        {"import-cert /dev/zero", "/dev/zero is not a regular file"},
        {"import-cert " + quote(fifo), "is not a regular file"},
        {"show " + quote(fifo), "is not a regular file"},
        {"import-cert " + quote(dir.file("cert.pem")) + " --key /dev/zero", "is not a regular file"},
        {"reg-import /dev/zero", "/dev/zero is not a regular file"},
        {"reg-import " + quote(fifo), "is not a regular file"},
        {"reg-import " + quote(dir.file("huge.reg")), "larger than 64 MiB"},
        {"decrypt " + quote(dir.file("v0-8g.ovk")) + " " + quote(dir.file("out")) + " --password pw",
         "larger than 2 GiB"},
        {"decrypt " + quote(dir.file("v0-2g.ovk")) + " " + quote(dir.file("out")) + " --password pw",
         "larger than 2 GiB"},
        {"decrypt " + quote(dir.file("v1-2g.ovk")) + " " + quote(dir.file("out")), "larger than 2 GiB"},
        {"encrypt " + quote(dir.file("plain-2g.txt")) + " " + quote(dir.file("out")) + " --version 0 --password pw",
         "larger than 2 GiB"},
        {"decrypt " + quote(fifo) + " " + quote(dir.file("out")), "is not a regular file"},
        {"decrypt " + quote(dir.file("small.txt")) + " /dev/null", "/dev/null is not a regular file"},
        {"info " + quote(fifo), "cannot read"},
        {"encrypt " + quote(fifo) + " " + quote(dir.file("out")) + " --version 0 --password pw",
         "is not a regular file"},
        {"verify " + quote(fifo) + " " + quote(dir.file("small.txt")), "is not a regular file"},
        {"verify " + quote(dir.file("small.txt")) + " /dev/zero", "is not a regular file"},
        {"sign " + quote(dir.file("plain-2g.txt")) + " " + quote(dir.file("out")) + " --cert 00", "larger than 2 GiB"},
        {"vcard-import " + quote(fifo), "is not a regular file"},
        {"vcard-import /dev/zero", "is not a regular file"},
        {"import-pfx " + quote(fifo) + " --password pw", "is not a regular file"},
        {"passwd-pfx /dev/zero " + quote(dir.file("out")) + " --old a --new b", "is not a regular file"},
        {"base64 encode /dev/zero", "is not a regular file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        CtlResult r = run(c.command, 20);
        EXPECT_EQ(r.code, 1) << r.out;
        EXPECT_TRUE(has(r, "orvikctl: ") && has(r, c.says)) << r.out;
    }
    EXPECT_FALSE(orvik::test::fileExists(dir.file("out")));
}

TEST(OrvikctlInput, PasswordsComeFromADescriptorTheEnvironmentOrTheTerminalToo) {
    orvik::test::TempHome home;
    orvik::test::TempDir dir;
    const std::string in = dir.file("doc.txt"), ovk = dir.file("doc.ovk"), out = dir.file("out.txt");
    orvik::test::writeFile(in, "只给知道口令的人\n");
    orvik::test::writeFile(dir.file("pw"), "口令 with spaces\nsecond line is not read\n");
    const std::string ctl = std::string(ORVIKCTL_PATH);
    auto shell = [](const std::string& command) { return orvik::test::runShell(command + " 2>&1 </dev/null"); };

    CtlResult r = shell(ctl + " encrypt " + quote(in) + " " + quote(ovk) + " --version 0 --password-fd 3 3<" +
                        quote(dir.file("pw")));
    ASSERT_EQ(r.code, 0) << r.out;
    r = shell("env SECRET_PW='口令 with spaces' " + ctl + " decrypt " + quote(ovk) + " " + quote(out) +
              " --password-env SECRET_PW");
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(orvik::test::readFile(out), "只给知道口令的人\n");
    r = shell("env ORVIK_PASSWORD='口令 with spaces' " + ctl + " decrypt " + quote(ovk) + " " +
              quote(dir.file("env.txt")));
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(orvik::test::readFile(dir.file("env.txt")), "只给知道口令的人\n");

    // None given and no terminal: a message, not a wait.
    r = run("decrypt " + quote(ovk) + " " + quote(dir.file("none.txt")));
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(has(r, "no password given (--password, --password-fd, --password-env, ORVIK_PASSWORD")) << r.out;
    r = run("decrypt " + quote(ovk) + " " + quote(dir.file("none.txt")) + " --password-env NO_SUCH_VARIABLE_X");
    EXPECT_TRUE(has(r, "the environment has no variable NO_SUCH_VARIABLE_X")) << r.out;
    r = run("decrypt " + quote(ovk) + " " + quote(dir.file("none.txt")) + " --password a --password-fd 0");
    EXPECT_TRUE(has(r, "one way only")) << r.out;
    EXPECT_FALSE(orvik::test::fileExists(dir.file("none.txt")));

    // On a terminal it is asked for and not shown.
    CtlResult typed =
        onTerminal({"decrypt", ovk, dir.file("tty.txt")}, "Password of the secure file: ", "口令 with spaces\n");
    EXPECT_EQ(typed.code, 0) << typed.out;
    EXPECT_TRUE(has(typed, "Password of the secure file: ")) << typed.out;
    EXPECT_FALSE(has(typed, "口令")) << typed.out;
    EXPECT_EQ(orvik::test::readFile(dir.file("tty.txt")), "只给知道口令的人\n");
}

TEST(OrvikctlInput, AProtectPasswordIsRequiredAndAloneOpensTheFile) {
    orvik::test::TempHome home;
    orvik::test::TempDir dir;
    const std::string me = importMine(dir);
    const std::string in = dir.file("doc.txt"), ovk = dir.file("doc.ovk");
    orvik::test::writeFile(in, "payload of the secure file\n");
    ASSERT_EQ(run("encrypt " + quote(in) + " " + quote(ovk) + " --self " + quote(me) + " --password 口令").code, 0);

    CtlResult r = run("decrypt " + quote(ovk) + " " + quote(dir.file("out.txt")));
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(has(r, "no password given")) << r.out;
    EXPECT_FALSE(orvik::test::fileExists(dir.file("out.txt")));
    ASSERT_EQ(run("decrypt " + quote(ovk) + " " + quote(dir.file("out.txt")) + " --password 口令").code, 0);
    EXPECT_EQ(orvik::test::readFile(dir.file("out.txt")), "payload of the secure file\n");
    EXPECT_EQ(modeOf(dir.file("out.txt")), 0600);

    // Without the private key, the payload behind the one record opens with the password alone:
    // it is the key's MD5, as a version 0 file's is.
    orvik::test::TempHome stranger;
    const std::string image = orvik::test::readFile(ovk);
    const size_t payload = 16 + 648 + 1688;
    orvik::test::writeFile(dir.file("v0.ovk"), "OrvikFileType=0;" + image.substr(payload));
    r = run("decrypt " + quote(dir.file("v0.ovk")) + " " + quote(dir.file("alone.txt")) + " --password 口令");
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(orvik::test::readFile(dir.file("alone.txt")), "payload of the secure file\n");
}

TEST(OrvikctlInput, AVersion0ResultReplacesAFileOnlyWhenTheUserSaysSo) {
    orvik::test::TempHome home;
    orvik::test::TempDir dir;
    const std::string ovk = dir.file("doc.ovk"), out = dir.file("report.txt");
    orvik::test::writeFile(dir.file("doc.txt"), "new text");
    ASSERT_EQ(run("encrypt " + quote(dir.file("doc.txt")) + " " + quote(ovk) + " --version 0 --password pw").code, 0);
    orvik::test::writeFile(out, "the user's own report");
    // A wrong password may decrypt to garbage: it must not take the place of the report.
    CtlResult r = run("decrypt " + quote(ovk) + " " + quote(out) + " --password pw");
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(has(r, "exists; --force replaces it")) << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << "one line, the steps only in the log: " << r.out;
    EXPECT_EQ(orvik::test::readFile(out), "the user's own report");
    ASSERT_EQ(run("decrypt " + quote(ovk) + " " + quote(out) + " --password pw --force").code, 0);
    EXPECT_EQ(orvik::test::readFile(out), "new text");
    EXPECT_EQ(modeOf(out), 0600);
    const auto left = std::distance(std::filesystem::directory_iterator(dir.path()), {});
    EXPECT_EQ(left, 3) << "no temporary file stays";
}

TEST(OrvikctlInput, OutputsReplaceALinkInsteadOfWritingThroughIt) {
    orvik::test::TempHome home;
    orvik::test::TempDir dir;
    const std::string me = importMine(dir);
    const std::string victim = dir.file("victim");
    orvik::test::writeFile(victim, "another user's file");
    orvik::test::writeFile(dir.file("doc.txt"), "document");
    // Outputs of every kind, each at a name another user planted a link at.
    const struct {
        std::string target, command;
        int mode;
    } cases[] = {
        {"sig.p7s", "sign " + quote(dir.file("doc.txt")) + " " + quote(dir.file("sig.p7s")) + " --cert " + quote(me),
         -1},
        {"v2.ovk", "encrypt " + quote(dir.file("doc.txt")) + " " + quote(dir.file("v2.ovk")) + " --self " + quote(me),
         0600},
        {"v1.ovk",
         "encrypt " + quote(dir.file("doc.txt")) + " " + quote(dir.file("v1.ovk")) + " --version 1 --self " + quote(me),
         -1},
        {"me.pfx", "export-pfx " + quote(me) + " " + quote(dir.file("me.pfx")) + " --password pw", 0600},
        {"book.vcf", "vcard-export " + quote(dir.file("book.vcf")), 0600},
        {"book.vcf.part", "vcard-export " + quote(dir.file("book.vcf")), 0600},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        ASSERT_EQ(symlink(victim.c_str(), dir.file(c.target).c_str()), 0);
        CtlResult r = run(c.command);
        EXPECT_EQ(r.code, 0) << r.out;
        EXPECT_EQ(orvik::test::readFile(victim), "another user's file");
        const std::string written = dir.file(c.target.substr(0, c.target.find(".part")));
        struct stat st {};
        ASSERT_EQ(lstat(written.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        if (c.mode >= 0) {
            EXPECT_EQ(modeOf(written), c.mode);
        }
        std::filesystem::remove(dir.file(c.target));
        std::filesystem::remove(written);
    }
    // The decrypted version 1 and 2 files are the owner's alone, whatever the umask.
    ASSERT_EQ(run("encrypt " + quote(dir.file("doc.txt")) + " " + quote(dir.file("d.ovk")) + " --version 1 --self " +
                  quote(me))
                  .code,
              0);
    ASSERT_EQ(run("decrypt " + quote(dir.file("d.ovk")) + " " + quote(dir.file("d.txt"))).code, 0);
    EXPECT_EQ(modeOf(dir.file("d.txt")), 0600);
}

TEST(OrvikctlInput, RegImportTakesOnlyMailAndAssistantKeysUnlessTold) {
    orvik::test::TempHome home;
    orvik::test::TempDir dir;
    orvik::test::writeFile(
        dir.file("mixed.reg"),
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_CURRENT_USER\\Software\\Microsoft\\Internet Account Manager\\Accounts\\00000001]\r\n"
        "\"SMTP Server\"=\"smtp.example.com\"\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\WAB\\DLLPath]\r\n@=\"/srv/evil/libwab.so\"\r\n\r\n"
        "[HKEY_CURRENT_USER\\Software\\Orvikon\\Orvik数字证书助手\\UpdateConfig]\r\n"
        "\"StartUpCheckNew\"=\"1\"\r\n\"ServerName\"=\"update.evil.example\"\r\n");
    CtlResult r = run("reg-import " + quote(dir.file("mixed.reg")));
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(has(r,
                    "2 keys lie outside the mail accounts, the address book, Foxmail and the assistant's settings; "
                    "nothing was imported (--any-key imports them too):\n"
                    "refused: HKEY_LOCAL_MACHINE\\Software\\Microsoft\\WAB\\DLLPath\n"
                    "refused: HKEY_CURRENT_USER\\Software\\Orvikon\\Orvik数字证书助手\\UpdateConfig\\ServerName\n"))
        << r.out;
    EXPECT_EQ(run("reg-query " + quote("HKCU\\Software\\Microsoft\\Internet Account Manager")).code, 1);
    r = run("reg-import " + quote(dir.file("mixed.reg")) + " --any-key");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(run("reg-query " + quote("HKLM\\Software\\Microsoft\\WAB\\DLLPath")).out,
              "(default)\tREG_SZ\t/srv/evil/libwab.so\n");
}

TEST(OrvikctlInput, AnExistingHomeBecomesTheUsersAlone) {
    orvik::test::TempHome home;
    ASSERT_EQ(chmod(home.path().c_str(), 0755), 0);
    ASSERT_EQ(run("reg-set " + quote("HKCU\\Software\\Orvikon\\X") + " v sz 1").code, 0);
    ASSERT_EQ(chmod(home.file("registry.db").c_str(), 0644), 0);
    ASSERT_EQ(chmod(home.path().c_str(), 0755), 0);
    EXPECT_EQ(run("reg-query " + quote("HKCU\\Software\\Orvikon\\X") + " v").code, 0);
    EXPECT_EQ(modeOf(home.path()), 0700);
    EXPECT_EQ(modeOf(home.file("registry.db")), 0600);
}
