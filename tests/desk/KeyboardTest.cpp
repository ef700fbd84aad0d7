// A run without the mouse: keys alone import a PKCS #12 file into the personal store, encrypt a
// file for the user with a protect password, and decrypt it again to the same bytes. Keys go
// where the focus is, as a keyboard sends them; message boxes are answered by the facade.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QMenu>
#include <QTest>

#include <winuser.h>

#include "CertFixtures.h"
#include "ModalDriver.h"
#include "MyCertStore.h"
#include "dialogs/DecryptDialog.h"
#include "dialogs/EncryptDialog.h"
#include "dialogs/InputPasswordDialog.h"
#include "dialogs/PfxImportDialog.h"
#include "dialogs/SelectCertDialog.h"
#include "dialogs/SetPasswordDialog.h"
#include "frame/MainFrame.h"
#include "frame/NavigatorBar.h"
#include "ui/MessageBoxFacade.h"

using namespace orvikdesk;
using orvik::test::readFile;
using orvik::test::TestPki;
using orvik::test::writeFile;

namespace {

// Where a key goes: an open menu, else the widget with the focus.
QWidget* keyTarget() {
    if (QWidget* popup = QApplication::activePopupWidget()) return popup;
    if (QWidget* focus = QApplication::focusWidget()) return focus;
    if (QWidget* modal = QApplication::activeModalWidget()) return modal;
    return QApplication::activeWindow();
}

void press(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QWidget* target = keyTarget();
    ASSERT_NE(target, nullptr) << "no window has the focus";
    QTest::keyClick(target, key, modifiers);
}

// Each character as the keyboard (or the input method) delivers it.
void type(const QString& text) {
    QWidget* target = keyTarget();
    ASSERT_NE(target, nullptr) << "no window has the focus";
    for (QChar c : text) {
        if (c.unicode() < 0x80)
            QTest::keyClick(target, c.toLatin1());
        else
            QTest::sendKeyEvent(QTest::Click, target, Qt::Key_unknown, QString(c), Qt::NoModifier);
    }
}

// A dialog takes keys once it is the active window. A window manager activates a new window once
// it is mapped; the offscreen platform does so at once, while the closing menu still holds the
// application's focus, so the test activates it as the window manager would.
void waitActive(QWidget* dialog) {
    if (!dialog->isActiveWindow()) dialog->activateWindow();
    EXPECT_TRUE(QTest::qWaitFor([dialog] { return dialog->isActiveWindow(); })) << "never became active";
}

// The menu-bar popup "操作(&O)" by its mnemonic, then the entry `down` steps below the first.
void operateMenuEntry(int down) {
    press(Qt::Key_O, Qt::AltModifier);
    ASSERT_NE(qobject_cast<QMenu*>(QApplication::activePopupWidget()), nullptr) << "Alt+O opened no menu";
    for (int i = 0; i < down; ++i) press(Qt::Key_Down);
    press(Qt::Key_Return);
}

class Keyboard : public test::CertUiTest {};

TEST_F(Keyboard, ImportEncryptForOneselfAndDecryptWithKeysAlone) {
    const orvik::test::IssuedCert mine =
        TestPki::instance().issue({.cn = "张三", .email = "zs@example.com", .keyUsage = 0xB0});
    const std::string pfx = dir.file("张三.p12"), plain = dir.file("报告.txt");
    TestPki::save(pfx, test::makePfx(mine, "口令123"));
    const std::string original = "季度报告\n" + std::string(5000, 'x');
    writeFile(plain, original);

    CMainFrame frame;
    ASSERT_TRUE(frame.create());
    frame.show();
    frame.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&frame));

    // The personal page, and its "导入" from the menu bar.
    press(Qt::Key_2, Qt::ControlModifier);
    ASSERT_EQ(frame.bar()->selected(), 1);
    bool imported = false;
    test::onNextModal<CPfxImportDialog>([&](CPfxImportDialog* d) {
        waitActive(d);
        EXPECT_EQ(QApplication::focusWidget(), test::control(d, CPfxImportDialog::IDC_PATH))
            << "the file first, not " << QApplication::focusWidget()->metaObject()->className() << " "
            << QApplication::focusWidget()->objectName().toStdString();
        type(QString::fromStdString(pfx));
        press(Qt::Key_P, Qt::AltModifier);  // "保护口令(&P)："
        type(QStringLiteral("口令123"));
        press(Qt::Key_Return);
        imported = true;
    });
    operateMenuEntry(0);
    ASSERT_TRUE(imported);
    EXPECT_EQ(MessageBoxFacade::lastText(), QStringLiteral("导入成功！"));
    {
        CMyCertStore store;
        ASSERT_EQ(store.OpenCertStore(), 0);
        ASSERT_EQ(store.GetCertCount(), 1);
        std::string provider;
        store.getCert(0)->getCSP(provider);
        EXPECT_EQ(provider, "Microsoft Enhanced Cryptographic Provider v1.0") << "the key store keeps the provider";
    }

    // The file page: "加密..." with the own certificate chosen as the default, a protect password,
    // and the original removed once it is encrypted.
    frame.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&frame));
    press(Qt::Key_6, Qt::ControlModifier);
    ASSERT_EQ(frame.bar()->selected(), 5);
    bool encrypted = false;
    test::onNextModal<CEncryptDialog>([&](CEncryptDialog* d) {
        waitActive(d);
        type(QString::fromStdString(plain));
        test::onNextModal<CDlgSelectCert>([](CDlgSelectCert* picker) {
            waitActive(picker);
            press(Qt::Key_Down);  // the one row, chosen
            EXPECT_EQ(picker->selectedIndex(), 0);
            press(Qt::Key_Return);
        });
        // A mnemonic clicks its button a moment later, as a press shows it going down first.
        auto* defaultName = test::control<QLineEdit>(d, CEncryptDialog::IDC_DEFAULT);
        press(Qt::Key_H, Qt::AltModifier);  // "更改(&H)..."
        EXPECT_TRUE(QTest::qWaitFor([defaultName] { return !defaultName->text().isEmpty(); })) << "no default chosen";
        waitActive(d);  // back from the picker
        test::onNextModal<CSetPasswordDialog>([](CSetPasswordDialog* p) {
            waitActive(p);
            type(QStringLiteral("保护"));
            press(Qt::Key_Tab);
            type(QStringLiteral("保护"));
            press(Qt::Key_Return);
        });
        auto* protect = test::control<QCheckBox>(d, CEncryptDialog::IDC_PROTECT);
        auto* removeSource = test::control<QCheckBox>(d, CEncryptDialog::IDC_DELETE_SOURCE);
        press(Qt::Key_P, Qt::AltModifier);  // "设置保护密码(&P)"
        EXPECT_TRUE(QTest::qWaitFor([protect] { return protect->isChecked(); })) << "no protect password";
        waitActive(d);
        press(Qt::Key_D, Qt::AltModifier);  // "加密完成后自动删除原始文件(&D)"
        EXPECT_TRUE(QTest::qWaitFor([removeSource] { return removeSource->isChecked(); }));
        press(Qt::Key_Return);
        encrypted = true;
    });
    operateMenuEntry(0);
    ASSERT_TRUE(encrypted);
    EXPECT_EQ(MessageBoxFacade::lastText(), QStringLiteral("加密成功！"));
    ASSERT_EQ(readFile(plain + ".ovk").substr(0, 16), "OrvikFileType=2;");
    ASSERT_FALSE(QFile::exists(QString::fromStdString(plain))) << "the original went";

    // "解密...": the secure file typed, its output proposed, the protect password asked.
    frame.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&frame));
    MessageBoxFacade::setNextAnswer(IDCANCEL);  // "解密成功，是否打开解密文件？": not opened
    bool decrypted = false;
    test::onNextModal<CDecryptDialog>([&](CDecryptDialog* d) {
        waitActive(d);
        type(QString::fromStdString(plain + ".ovk"));
        test::onNextModal<CInputPasswordDialog>([](CInputPasswordDialog* p) {
            waitActive(p);
            type(QStringLiteral("保护"));
            press(Qt::Key_Return);
        });
        press(Qt::Key_Return);
        EXPECT_EQ(test::control<QLineEdit>(d, CDecryptDialog::IDC_OUTPUT)->text(), QString::fromStdString(plain));
        decrypted = true;
    });
    operateMenuEntry(1);
    ASSERT_TRUE(decrypted);
    EXPECT_EQ(MessageBoxFacade::lastText(), QStringLiteral("解密成功，是否打开解密文件？"));
    EXPECT_EQ(readFile(plain), original);
}

}  // namespace
