// The encrypt and decrypt workflows as a user runs them: the dialogs filled in, the progress
// dialog left to its worker, every message box recorded. Secure files go back to the same bytes.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QStandardItemModel>
#include <QTabWidget>
#include <QTreeWidget>
#include <csignal>
#include <cstdlib>
#include <filesystem>

#include <winuser.h>

#include "CertFixtures.h"
#include "ModalDriver.h"
#include "MyCertStore.h"
#include "OrvikEncFile.h"
#include "OtherCertStore.h"
#include "SecureFile.h"
#include "app/Profile.h"
#include "app/Workflows.h"
#include "config/ConfigManageDlg.h"
#include "dialogs/DecryptDialog.h"
#include "dialogs/EncProgressDialog.h"
#include "dialogs/EncryptDialog.h"
#include "dialogs/InputPasswordDialog.h"
#include "dialogs/SecureFilePropertiesDialog.h"
#include "dialogs/SelectCertDialog.h"
#include "dialogs/SetPasswordDialog.h"
#include "pages/SecureFilePage.h"
#include "services/DefaultEncCert.h"
#include "ui/CommandIds.h"
#include "ui/MessageBoxFacade.h"

using namespace orvikdesk;
using namespace orvikdesk::test;
using orvik::test::IssuedCert;
using orvik::test::readFile;
using orvik::test::TestPki;
using orvik::test::writeFile;

namespace {

std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 131 + 7);
    return s;
}

// The thumbprint as a user may have stored it: upper case, a space between byte pairs.
std::string spacedThumbprint(const IssuedCert& c) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (unsigned char b : c.sha1) {
        if (!out.empty()) out += ' ';
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::vector<QString> texts() {
    std::vector<QString> out;
    for (const auto& s : MessageBoxFacade::shown()) out.push_back(s.text);
    return out;
}

size_t entriesIn(const std::string& dir) {
    size_t n = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir)) ++n;
    return n;
}

class SecureFileWorkflow : public CertUiTest {
protected:
    SecureFileWorkflow() {
        me = TestPki::instance().issue({.cn = "本人", .email = "me@example.test", .keyUsage = 0x20});
        importMine(me);
        EXPECT_TRUE(profile::write(defaultcert::kSection, defaultcert::kEntry, spacedThumbprint(me)));
    }

    static void importMine(const IssuedCert& c) {
        CDigitalCertificate object(c.der.data(), static_cast<int>(c.der.size()), CDigitalCertificate::ENC_DER);
        EXPECT_EQ(CMyCertStore().ImportCertAndKey(object, c.keyPem), 0);
    }
    IssuedCert addOther(const std::string& cn, const std::string& email) {
        IssuedCert c = TestPki::instance().issue({.cn = cn, .email = email, .keyUsage = 0x20});
        std::string path = dir.file(cn + ".cer");
        TestPki::save(path, c.der);
        EXPECT_EQ(COtherCertStore().ImportCert(path.c_str()), 0);
        std::filesystem::remove(path);
        return c;
    }

    // The encrypt dialog filled in and confirmed: rows of the other people's list to check, an
    // optional protect password and the delete option.
    static void fillEncrypt(const QString& output, std::vector<int> rows, const QString& password,
                            bool deleteSource = false) {
        onNextModal<CEncryptDialog>([=](CEncryptDialog* d) {
            if (!output.isNull()) setText(d, CEncryptDialog::IDC_OUTPUT, output);
            auto* list = control<QTreeWidget>(d, CEncryptDialog::IDC_LIST);
            for (int row : rows) list->topLevelItem(row)->setCheckState(0, Qt::Checked);
            if (!password.isEmpty()) {
                onNextModal<CSetPasswordDialog>([=](CSetPasswordDialog* p) {
                    setText(p, CSetPasswordDialog::IDC_PASSWORD, password);
                    setText(p, CSetPasswordDialog::IDC_AGAIN, password);
                    click(p, IDOK);
                });
                control<QCheckBox>(d, CEncryptDialog::IDC_PROTECT)->setChecked(true);
            }
            control<QCheckBox>(d, CEncryptDialog::IDC_DELETE_SOURCE)->setChecked(deleteSource);
            click(d, IDOK);
        });
    }
    static void fillDecrypt(const QString& output, const QString& password) {
        onNextModal<CDecryptDialog>([=](CDecryptDialog* d) {
            if (!output.isNull()) setText(d, CDecryptDialog::IDC_OUTPUT, output);
            if (!password.isEmpty())
                onNextModal<CInputPasswordDialog>([=](CInputPasswordDialog* p) {
                    setText(p, CInputPasswordDialog::IDC_PASSWORD, password);
                    click(p, IDOK);
                });
            click(d, IDOK);
        });
    }
    static int run(LaunchAction action, const std::string& path) { return workflows::run({action, path}); }

    IssuedCert me;
};

TEST_F(SecureFileWorkflow, EncryptAndDecryptGiveBackTheSameBytes) {
    addOther("甲", "jia@example.test");
    addOther("乙", "yi@example.test");
    struct Case {
        size_t size;
        std::vector<int> others;
        const char* password;
    };
    const Case cases[] = {
        {1, {}, ""}, {1007, {0}, "口令1"}, {1008, {0, 1}, ""}, {1009, {1}, "secret"}, {5u << 20, {0, 1}, "大文件"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        MessageBoxFacade::clear();
        const std::string source = dir.file("data.bin");
        writeFile(source, pattern(c.size));
        fillEncrypt(QString(), c.others, QString::fromUtf8(c.password));
        EXPECT_EQ(run(LaunchAction::Encrypt, source), 0);
        EXPECT_EQ(texts(), std::vector<QString>{QStringLiteral("加密成功！")});
        CSecureFile::Header header;
        ASSERT_TRUE(CSecureFile::ReadHeader(source + ".ovk", header));
        EXPECT_EQ(header.records.size(), 1 + c.others.size());
        EXPECT_EQ(header.passwordSet, *c.password != 0);
        EXPECT_EQ(header.extension, ".bin");

        MessageBoxFacade::clear();
        MessageBoxFacade::setNextAnswer(IDCANCEL);  // do not open the result
        fillDecrypt(QString::fromStdString(dir.file("back")), QString::fromUtf8(c.password));
        EXPECT_EQ(run(LaunchAction::Decrypt, source + ".ovk"), 0);
        EXPECT_EQ(texts(), std::vector<QString>{QStringLiteral("解密成功，是否打开解密文件？")});
        ASSERT_TRUE(orvik::test::fileExists(dir.file("back.bin"))) << "the original extension is added";
        EXPECT_TRUE(readFile(dir.file("back.bin")) == readFile(source));
        struct stat st {};
        ASSERT_EQ(stat(dir.file("back.bin").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << "plaintext is the user's alone";
        for (const char* name : {"data.bin.ovk", "back.bin"}) std::filesystem::remove(dir.file(name));
    }
}

TEST_F(SecureFileWorkflow, AnEmptySourceIsRefusedAndWritesNothing) {
    writeFile(dir.file("empty.txt"), "");
    fillEncrypt(QString(), {}, QString());
    EXPECT_EQ(run(LaunchAction::Encrypt, dir.file("empty.txt")), 1);
    EXPECT_EQ(texts(), std::vector<QString>{QStringLiteral("源文件内容为空！")});
    EXPECT_EQ(MessageBoxFacade::lastCaption(), QStringLiteral("证书助手"));
    EXPECT_EQ(entriesIn(dir.path()), 1u);
}

TEST_F(SecureFileWorkflow, TheOverwriteQuestionIsAboutTheFileThatIsWritten) {
    writeFile(dir.file("a.txt"), "plain");
    writeFile(dir.file("out.ovk"), "old secure file");
    bool stayed = false;
    onNextModal<CEncryptDialog>([&](CEncryptDialog* d) {
        setText(d, CEncryptDialog::IDC_OUTPUT, QString::fromStdString(dir.file("out")));  // ".ovk" is added
        MessageBoxFacade::setNextAnswer(IDNO);
        click(d, IDOK);
        stayed = d->isVisible();
        d->reject();
    });
    EXPECT_EQ(run(LaunchAction::Encrypt, dir.file("a.txt")), 1);
    EXPECT_TRUE(stayed) << "No keeps the dialog open";
    EXPECT_EQ(texts(), std::vector<QString>{QStringLiteral("您所指定加密的文件已经存在，要覆盖它吗？")});
    EXPECT_EQ(readFile(dir.file("out.ovk")), "old secure file");
    EXPECT_FALSE(orvik::test::fileExists(dir.file("out.ovk.ovk")));

    MessageBoxFacade::clear();
    MessageBoxFacade::setNextAnswer(IDYES);
    fillEncrypt(QString::fromStdString(dir.file("out")), {}, QString());
    EXPECT_EQ(run(LaunchAction::Encrypt, dir.file("a.txt")), 0);
    EXPECT_EQ(texts(), (std::vector<QString>{QStringLiteral("您所指定加密的文件已经存在，要覆盖它吗？"),
                                             QStringLiteral("加密成功！")}));
    CSecureFile::Header replaced;
    ASSERT_TRUE(CSecureFile::ReadHeader(dir.file("out.ovk"), replaced));
    EXPECT_EQ(replaced.version, 2) << "Yes replaces it";

    MessageBoxFacade::clear();
    fillEncrypt(QString::fromStdString(dir.file("new.OVK")), {}, QString());
    EXPECT_EQ(run(LaunchAction::Encrypt, dir.file("a.txt")), 0);
    CSecureFile::Header header;
    ASSERT_TRUE(CSecureFile::ReadHeader(dir.file("new.OVK"), header));
    EXPECT_EQ(header.version, 2) << "a typed \".OVK\" is kept as it is";
}

TEST_F(SecureFileWorkflow, TheSourceIsNeverItsOwnTarget) {
    writeFile(dir.file("a.ovk"), "not yet a secure file");
    std::filesystem::create_symlink(dir.file("a.ovk"), dir.file("link.ovk"));
    for (const char* target : {"a.ovk", "link.ovk"}) {
        MessageBoxFacade::clear();
        onNextModal<CEncryptDialog>([&](CEncryptDialog* d) {
            setText(d, CEncryptDialog::IDC_OUTPUT, QString::fromStdString(dir.file(target)));
            control<QCheckBox>(d, CEncryptDialog::IDC_DELETE_SOURCE)->setChecked(true);
            click(d, IDOK);
            EXPECT_TRUE(d->isVisible()) << "refused, the dialog stays";
            d->reject();
        });
        EXPECT_EQ(run(LaunchAction::Encrypt, dir.file("a.ovk")), 1) << target;
        EXPECT_EQ(texts(), std::vector<QString>{QStringLiteral("加密后的文件不能与原始文件相同！")}) << target;
        EXPECT_EQ(readFile(dir.file("a.ovk")), "not yet a secure file") << target;
    }
}

TEST_F(SecureFileWorkflow, AFailedWriteKeepsTheSourceAndTheOldTarget) {
    const std::string source = dir.file("big.bin");
    writeFile(source, pattern(3u << 20));
    writeFile(dir.file("big.ovk"), "the old secure file");
    // A file-size limit stands in for a full disk: writes past it fail with EFBIG.
    rlimit before{};
    getrlimit(RLIMIT_FSIZE, &before);
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = before;
    small.rlim_cur = 256 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    MessageBoxFacade::setNextAnswer(IDYES);
    fillEncrypt(QString::fromStdString(dir.file("big.ovk")), {}, QString(), true);
    int rc = run(LaunchAction::Encrypt, source);
    setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, previous);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(texts(), (std::vector<QString>{QStringLiteral("您所指定加密的文件已经存在，要覆盖它吗？"),
                                             QStringLiteral("文件读写错误！")}));
    EXPECT_EQ(readFile(dir.file("big.ovk")), "the old secure file");
    EXPECT_TRUE(readFile(source) == pattern(3u << 20)) << "the source stays, although its deletion was asked";
    EXPECT_EQ(entriesIn(dir.path()), 2u) << "no partial file is left";
}

TEST_F(SecureFileWorkflow, CancelStopsTheWorkerAndLeavesNoOutput) {
    const std::string source = dir.file("big.bin");
    writeFile(source, pattern(8u << 20));
    fillEncrypt(QString(), {}, QString(), true);
    bool cancelDisabled = false;
    onNextModal<CDlgEncProgress>([&](CDlgEncProgress* p) {
        EXPECT_EQ(p->windowTitle(), QStringLiteral("正在加密，请稍候..."));
        EXPECT_EQ(control<QLabel>(p, CDlgEncProgress::IDC_LABEL)->text(), QStringLiteral("加密已完成："));
        QObject::connect(p, &CDlgEncProgress::progressed, p, [p, &cancelDisabled] {
            if (!p->running()) return;
            p->reject();
            cancelDisabled = !control<QPushButton>(p, IDCANCEL)->isEnabled();
        });
    });
    EXPECT_EQ(run(LaunchAction::Encrypt, source), 1);
    EXPECT_TRUE(cancelDisabled) << "a cancel asked for cannot be asked again";
    EXPECT_TRUE(texts().empty()) << "a cancel says nothing";
    EXPECT_TRUE(orvik::test::fileExists(source)) << "a cancelled run deletes nothing";
    EXPECT_EQ(entriesIn(dir.path()), 1u) << "no output, no temporary file";
}

TEST_F(SecureFileWorkflow, EncryptAndMailAddressesTheOtherRecipients) {
    addOther("甲", "jia@example.test");
    addOther("乙", "-oops@example.test");  // would read as an option
    addOther("丙", "bing@example.test");
    // A stand-in for the desktop's mail composer that writes down its arguments.
    const std::string bin = dir.file("bin");
    std::filesystem::create_directory(bin);
    writeFile(bin + "/xdg-email", "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$MAIL_ARGS\"\n");
    std::filesystem::permissions(bin + "/xdg-email", std::filesystem::perms::owner_all);
    const std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("PATH", (bin + ":" + oldPath).c_str(), 1);
    setenv("MAIL_ARGS", dir.file("args").c_str(), 1);
    writeFile(dir.file("report.doc"), "report");
    fillEncrypt(QString(), {0, 1, 2}, QString());
    int rc = run(LaunchAction::EncryptAndMail, dir.file("report.doc"));
    setenv("PATH", oldPath.c_str(), 1);
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(texts().empty()) << "the mail comes instead of the success message";
    std::string attachment = std::filesystem::canonical(dir.file("report.doc.ovk")).string();
    std::string args = readFile(dir.file("args"));
    // The list follows the store's order; only the two usable addresses are there.
    EXPECT_EQ(args.rfind("--utf8\n--attach\n" + attachment + "\n", 0), 0u) << args;
    EXPECT_NE(args.find("jia@example.test\n"), std::string::npos) << args;
    EXPECT_NE(args.find("bing@example.test\n"), std::string::npos) << args;
    EXPECT_EQ(args.find("oops"), std::string::npos) << args;
    EXPECT_EQ(args.find("me@example.test"), std::string::npos) << "not to oneself";
}

TEST_F(SecureFileWorkflow, AMailerThatFailsIsReportedAndTheSecureFileStays) {
    const std::string bin = dir.file("bin");
    std::filesystem::create_directory(bin);
    writeFile(bin + "/xdg-email", "#!/bin/sh\nexit 3\n");
    std::filesystem::permissions(bin + "/xdg-email", std::filesystem::perms::owner_all);
    const std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("PATH", (bin + ":" + oldPath).c_str(), 1);
    writeFile(dir.file("a.txt"), "a");
    fillEncrypt(QString(), {}, QString());
    int rc = run(LaunchAction::EncryptAndMail, dir.file("a.txt"));
    setenv("PATH", oldPath.c_str(), 1);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(texts(), std::vector<QString>{QStringLiteral("无法打开邮件程序，加密后的文件保存在原处。")});
    EXPECT_TRUE(orvik::test::fileExists(dir.file("a.txt.ovk")));
}

TEST_F(SecureFileWorkflow, DecryptRefusalsChangeNothing) {
    IssuedCert stranger = TestPki::instance().issue({.cn = "外人", .keyUsage = 0x20});
    CDigitalCertificate theirs(stranger.der.data(), static_cast<int>(stranger.der.size()),
                               CDigitalCertificate::ENC_DER);
    writeFile(dir.file("a.doc"), "secret");
    ASSERT_EQ(CSecureFile::Encrypt(dir.file("a.doc"), dir.file("theirs.ovk"), {&theirs}, "").code, 0);
    onNextModal<CDecryptDialog>([](CDecryptDialog* d) {
        EXPECT_EQ(control<QComboBox>(d, CDecryptDialog::IDC_CERTIFICATES)->count(), 0);
        click(d, IDOK);
        d->reject();
    });
    EXPECT_EQ(run(LaunchAction::Decrypt, dir.file("theirs.ovk")), 1);
    EXPECT_EQ(texts(), std::vector<QString>{QStringLiteral("没有可用的解密证书！")});

    // A protect password not given: "解密失败！" and no output.
    CDigitalCertificate mine(me.der.data(), static_cast<int>(me.der.size()), CDigitalCertificate::ENC_DER);
    ASSERT_EQ(CSecureFile::Encrypt(dir.file("a.doc"), dir.file("mine.ovk"), {&mine}, "pw").code, 0);
    MessageBoxFacade::clear();
    onNextModal<CDecryptDialog>([&](CDecryptDialog* d) {
        EXPECT_EQ(control<QLineEdit>(d, CDecryptDialog::IDC_OUTPUT)->text(),
                  QString::fromStdString(dir.file("mine.doc")));
        setText(d, CDecryptDialog::IDC_OUTPUT, QString::fromStdString(dir.file("out")));
        onNextModal<CInputPasswordDialog>([](CInputPasswordDialog* p) { p->reject(); });
        click(d, IDOK);
    });
    EXPECT_EQ(run(LaunchAction::Decrypt, dir.file("mine.ovk")), 1);
    EXPECT_EQ(texts(), std::vector<QString>{QStringLiteral("解密失败！")});
    EXPECT_FALSE(orvik::test::fileExists(dir.file("out.doc")));

    // A wrong one: the library's text, no output.
    MessageBoxFacade::clear();
    fillDecrypt(QString::fromStdString(dir.file("out")), "wrong");
    EXPECT_EQ(run(LaunchAction::Decrypt, dir.file("mine.ovk")), 1);
    EXPECT_EQ(texts(), std::vector<QString>{QStringLiteral("口令错误！")});
    EXPECT_FALSE(orvik::test::fileExists(dir.file("out.doc")));

    // A file that is none: the dialog never opens.
    MessageBoxFacade::clear();
    writeFile(dir.file("junk.ovk"), pattern(3000));
    EXPECT_EQ(run(LaunchAction::Decrypt, dir.file("junk.ovk")), 1);
    EXPECT_EQ(texts(), std::vector<QString>{QStringLiteral("加密文件格式错误！")});
}

TEST_F(SecureFileWorkflow, VersionOneFilesDecryptUnderTheSourceNameWithoutItsExtension) {
    CDigitalCertificate mine(me.der.data(), static_cast<int>(me.der.size()), CDigitalCertificate::ENC_DER);
    const std::string plain = pattern(5000);
    COrvikEncFile file;
    int length = 0;
    const auto* data = reinterpret_cast<const unsigned char*>(plain.data());
    ASSERT_EQ(file.EncryptWithCert(data, static_cast<int>(plain.size()), nullptr, length, {&mine}), 0);
    std::string image(static_cast<size_t>(length), '\0');
    ASSERT_EQ(file.EncryptWithCert(data, static_cast<int>(plain.size()), reinterpret_cast<unsigned char*>(image.data()),
                                   length, {&mine}),
              0);
    writeFile(dir.file("old.ovk"), image.substr(0, static_cast<size_t>(length)));
    MessageBoxFacade::setNextAnswer(IDCANCEL);
    onNextModal<CDecryptDialog>([&](CDecryptDialog* d) {
        EXPECT_FALSE(control<QComboBox>(d, CDecryptDialog::IDC_CERTIFICATES)->isVisibleTo(d));
        EXPECT_EQ(control<QLabel>(d, CDecryptDialog::IDC_AUTOMATIC_TEXT)->text(),
                  QStringLiteral("证书助手会为你选择合适的解密证书进行解密"));
        EXPECT_EQ(control<QLineEdit>(d, CDecryptDialog::IDC_OUTPUT)->text(), QString::fromStdString(dir.file("old")));
        click(d, IDOK);
    });
    EXPECT_EQ(run(LaunchAction::Decrypt, dir.file("old.ovk")), 0);
    EXPECT_EQ(texts(), std::vector<QString>{QStringLiteral("解密成功，是否打开解密文件?")});
    EXPECT_TRUE(readFile(dir.file("old")) == plain);
    struct stat st {};
    ASSERT_EQ(stat(dir.file("old").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(entriesIn(dir.path()), 2u) << "no temporary file left";
}

TEST_F(SecureFileWorkflow, AnExtensionThatLeavesTheFolderIsNotProposed) {
    CDigitalCertificate mine(me.der.data(), static_cast<int>(me.der.size()), CDigitalCertificate::ENC_DER);
    writeFile(dir.file("r.doc"), "text");
    ASSERT_EQ(CSecureFile::Encrypt(dir.file("r.doc"), dir.file("r.doc.ovk"), {&mine}, "").code, 0);
    std::string bytes = readFile(dir.file("r.doc.ovk"));
    std::memset(bytes.data() + 17, 0, 259);
    std::memcpy(bytes.data() + 17, "/../../evil", 11);
    writeFile(dir.file("r.doc.ovk"), bytes);
    onNextModal<CDecryptDialog>([&](CDecryptDialog* d) {
        EXPECT_EQ(control<QLineEdit>(d, CDecryptDialog::IDC_OUTPUT)->text(), QString::fromStdString(dir.file("r.doc")));
        d->reject();
    });
    EXPECT_EQ(run(LaunchAction::Decrypt, dir.file("r.doc.ovk")), 1);
}

TEST_F(SecureFileWorkflow, TheDefaultCertificateIsFoundAsStoredAndChangedOnlyToAnEncryptionOne) {
    IssuedCert signer = TestPki::instance().issue({.cn = "只签名", .keyUsage = 0x80});
    importMine(signer);
    writeFile(dir.file("a.txt"), "a");
    int listed = -1;
    onNextModal<CEncryptDialog>([&](CEncryptDialog* d) {
        EXPECT_EQ(control<QLineEdit>(d, CEncryptDialog::IDC_DEFAULT)->text(), QStringLiteral("本人"))
            << "stored in upper case with spaces";
        EXPECT_TRUE(control<QPushButton>(d, CEncryptDialog::IDC_VIEW_DEFAULT)->isEnabled());
        onNextModal<CDlgSelectCert>([&](CDlgSelectCert* picker) {
            listed = control<QTreeWidget>(picker, CDlgSelectCert::IDC_LIST)->topLevelItemCount();
            picker->reject();
        });
        click(d, CEncryptDialog::IDC_CHANGE_DEFAULT);
        d->reject();
    });
    EXPECT_EQ(run(LaunchAction::Encrypt, dir.file("a.txt")), 1);
    EXPECT_EQ(listed, 1) << "the signing-only certificate is not offered";

    // A default whose certificate has gone: the dialog asks for one instead of encrypting.
    ASSERT_TRUE(profile::write(defaultcert::kSection, defaultcert::kEntry, std::string(40, 'A')));
    MessageBoxFacade::clear();
    onNextModal<CEncryptDialog>([](CEncryptDialog* d) {
        EXPECT_TRUE(control<QLineEdit>(d, CEncryptDialog::IDC_DEFAULT)->text().isEmpty());
        click(d, IDOK);
        d->reject();
    });
    EXPECT_EQ(run(LaunchAction::Encrypt, dir.file("a.txt")), 1);
    EXPECT_EQ(texts(), std::vector<QString>{QStringLiteral("请配置默认的文件加密证书！")});
    EXPECT_FALSE(orvik::test::fileExists(dir.file("a.txt.ovk")));
}

TEST_F(SecureFileWorkflow, PropertiesDescribeEachVersionWithoutDecrypting) {
    IssuedCert a = addOther("甲", "jia@example.test"), b = addOther("乙", "yi@example.test");
    CDigitalCertificate mine(me.der.data(), static_cast<int>(me.der.size()), CDigitalCertificate::ENC_DER);
    CDigitalCertificate first(a.der.data(), static_cast<int>(a.der.size()), CDigitalCertificate::ENC_DER);
    CDigitalCertificate second(b.der.data(), static_cast<int>(b.der.size()), CDigitalCertificate::ENC_DER);
    writeFile(dir.file("a.doc"), pattern(1234));
    ASSERT_EQ(CSecureFile::Encrypt(dir.file("a.doc"), dir.file("v2.ovk"), {&mine, &first, &second}, "pw").code, 0);
    writeFile(dir.file("v1.ovk"), std::string("OrvikFileType=1;") + pattern(100));
    writeFile(dir.file("v0.ovk"), std::string("OrvikFileType=0;") + pattern(100));
    writeFile(dir.file("random.bin"), pattern(9000));
    // A foreign tag in front of a real header and records.
    std::string foreign = readFile(dir.file("v2.ovk"));
    foreign.replace(0, 16, "OrvikFileType=9;");
    writeFile(dir.file("foreign.ovk"), foreign);

    struct Expect {
        const char* file;
        const char *type, *extension, *size, *algorithm, *protection;
        std::vector<QString> names;
    };
    const Expect rows[] = {
        {"v2.ovk", "加密文件(Version 2.0)", ".doc", "1234 Byte", "RSA-3DES", "已设置密码保护", {"乙", "甲", "本人"}},
        {"v1.ovk", "加密文件(Version 1.0)", "", "", "RSA-3DES", "未设置密码保护", {}},
        {"v0.ovk", "文件格式错误!", "", "", "", "", {}},
        {"random.bin", "文件格式错误!", "", "", "", "", {}},
        {"foreign.ovk", "", "", "", "", "", {}},
        {"missing.ovk", "文件格式错误!", "", "", "", "", {}},
    };
    using D = CSecureFilePropertiesDialog;
    for (const Expect& e : rows) {
        D d("  \"" + dir.file(e.file) + "\"");
        auto label = [&](int id) { return control<QLabel>(&d, id)->text(); };
        EXPECT_EQ(d.windowTitle(), QStringLiteral("安全文件属性"));
        EXPECT_EQ(label(D::IDC_TYPE), QString::fromUtf8(e.type)) << e.file;
        EXPECT_EQ(label(D::IDC_EXTENSION), QString::fromUtf8(e.extension)) << e.file;
        EXPECT_EQ(label(D::IDC_SIZE), QString::fromUtf8(e.size)) << e.file;
        EXPECT_EQ(label(D::IDC_ALGORITHM), QString::fromUtf8(e.algorithm)) << e.file;
        EXPECT_EQ(label(D::IDC_PROTECTION), QString::fromUtf8(e.protection)) << e.file;
        auto* list = control<QListWidget>(&d, D::IDC_RECIPIENTS);
        std::vector<QString> names;
        for (int i = 0; i < list->count(); ++i) names.push_back(list->item(i)->text());
        EXPECT_EQ(names, e.names) << e.file;
    }
}

TEST_F(SecureFileWorkflow, TheFilePageStartsEachWorkflow) {
    CSecureFilePage page;
    ASSERT_EQ(page.model()->rowCount(), 3);
    EXPECT_EQ(page.model()->item(0, 0)->text(), QStringLiteral("文件加密"));
    EXPECT_EQ(page.model()->item(0, 1)->text(), QStringLiteral("用证书加密文件"));
    EXPECT_EQ(page.model()->item(1, 0)->text(), QStringLiteral("文件解密"));
    EXPECT_EQ(page.model()->item(1, 1)->text(), QStringLiteral("用证书解密文件"));
    EXPECT_EQ(page.model()->item(2, 0)->text(), QStringLiteral("设置默认加密证书"));
    bool encryptShown = false, decryptShown = false;
    int tab = -1;
    onNextModal<CEncryptDialog>([&](CEncryptDialog* d) {
        encryptShown = true;
        d->reject();
    });
    EXPECT_TRUE(page.onCommand(cmd::Encrypt));
    onNextModal<CDecryptDialog>([&](CDecryptDialog* d) {
        decryptShown = true;
        d->reject();
    });
    page.activateEntry(CSecureFilePage::DecryptEntry);
    onNextModal<CConfigManageDlg>([&](CConfigManageDlg* d) {
        tab = control<QTabWidget>(d, CConfigManageDlg::IDC_TABS)->currentIndex();
        d->reject();
    });
    EXPECT_TRUE(page.onCommand(cmd::FileConfigure));
    EXPECT_TRUE(encryptShown);
    EXPECT_TRUE(decryptShown);
    EXPECT_EQ(tab, 3) << "the default-certificate page";
    EXPECT_TRUE(page.onCommand(cmd::Details));
    EXPECT_EQ(page.currentView()->objectName(), QStringLiteral("1004-details"));
}

}  // namespace

// The decrypted file is offered under the name it had: "报告.txt.ovk" gives "报告.txt", and a
// renamed "报告.ovk" gets its extension back.
TEST_F(SecureFileWorkflow, DecryptOffersTheOriginalName) {
    CDigitalCertificate mine(me.der.data(), static_cast<int>(me.der.size()), CDigitalCertificate::ENC_DER);
    writeFile(dir.file("报告.txt"), "text");
    ASSERT_EQ(CSecureFile::Encrypt(dir.file("报告.txt"), dir.file("报告.txt.ovk"), {&mine}, "").code, CSecureFile::Ok);
    std::filesystem::copy_file(dir.file("报告.txt.ovk"), dir.file("报告.ovk"));
    for (const char* name : {"报告.txt.ovk", "报告.ovk"}) {
        QString offered;
        onNextModal<CDecryptDialog>([&](CDecryptDialog* d) {
            offered = control<QLineEdit>(d, CDecryptDialog::IDC_OUTPUT)->text();
            d->reject();
        });
        run(LaunchAction::Decrypt, dir.file(name));
        EXPECT_EQ(offered, QString::fromStdString(dir.file("报告.txt"))) << name;
    }
}
