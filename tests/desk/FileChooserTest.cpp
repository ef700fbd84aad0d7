// The file choosers: each keeps its own filter text first and shows the files people have under
// the names other systems give them.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QFileDialog>
#include <QListView>
#include <QTest>

#include "CertFixtures.h"
#include "support/TestPki.h"
#include "ui/FileDialogFacade.h"

using namespace orvikdesk;
using Kind = FileDialogFacade::Kind;

namespace {

TEST(FileChooser, FiltersKeepTheirTextAndWidenWhatTheyMatch) {
    struct Case {
        const char* filter;
        Kind kind;
        QStringList expected;
    } cases[] = {
        {"PFX Files (*.pfx)|*.pfx||", Kind::Open, {"PFX Files (*.pfx) (*.pfx *.p12)", "所有文件 (*) (*)"}},
        {"PFX Files (*.pfx)|*.pfx||", Kind::Save, {"PFX Files (*.pfx) (*.pfx)", "所有文件 (*) (*)"}},
        {"CER Files (*.cer)|*.cer||", Kind::Open, {"CER Files (*.cer) (*.cer *.crt *.pem *.der)", "所有文件 (*) (*)"}},
        {"所有文件 (*.*)|*.*||", Kind::Open, {"所有文件 (*.*) (*)"}},
        {"所有文件(*.*)|*.*||", Kind::Save, {"所有文件(*.*) (*)"}},
        {"OVK Files(*.ovk)|*.ovk||", Kind::Open, {"OVK Files(*.ovk) (*.ovk)", "所有文件 (*) (*)"}},
        {"OVK 文件(*.ovk)|*.ovk|所有文件(*.*)|*.*||", Kind::Save, {"OVK 文件(*.ovk) (*.ovk)", "所有文件(*.*) (*)"}},
        {"Keys|*.P12;*.key||", Kind::Open, {"Keys (*.P12 *.key) (*.P12 *.key *.pfx)", "所有文件 (*) (*)"}},
        {"", Kind::Open, {"所有文件 (*) (*)"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FileDialogFacade::nameFilters(QString::fromUtf8(c.filter), c.kind), c.expected) << c.filter;
}

// What a user sees in a real (Qt's own) dialog: the texts of the list, and which files each shows.
class FileChooserDialog : public ::testing::Test {
protected:
    orvik::test::TempDir dir;

    void SetUp() override {
        for (const char* name : {"a.pfx", "b.p12", "C.PFX", "d.cer", "e.crt", "f.pem", "g.der", "usercert", "h.txt"})
            orvik::test::writeFile(dir.file(name), "x");
    }

    static QStringList shown(QFileDialog& dialog) {
        auto* view = dialog.findChild<QListView*>("listView");
        if (!view) return {"no list view"};
        QStringList names;
        // The folder is read on another thread: wait until the list stops growing.
        int last = -1;
        for (int round = 0; round < 100; ++round) {
            QTest::qWait(30);
            const int rows = view->model()->rowCount(view->rootIndex());
            if (rows > 0 && rows == last) break;
            last = rows;
        }
        for (int r = 0; r < view->model()->rowCount(view->rootIndex()); ++r)
            names << view->model()->index(r, 0, view->rootIndex()).data().toString();
        names.sort();
        return names;
    }
};

TEST_F(FileChooserDialog, ShowsTheTextsAndTheFilesOfEachKind) {
    QFileDialog dialog;
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::ExistingFile);
    FileDialogFacade::applyFilters(dialog, "PFX Files (*.pfx)|*.pfx||", Kind::Open);
    dialog.setDirectory(QString::fromStdString(dir.path()));
    dialog.show();
    auto* types = dialog.findChild<QComboBox*>("fileTypeCombo");
    ASSERT_NE(types, nullptr);
    ASSERT_EQ(types->count(), 2);
    EXPECT_EQ(types->itemText(0), QStringLiteral("PFX Files (*.pfx)")) << "the text as the program words it";
    EXPECT_EQ(types->itemText(1), QStringLiteral("所有文件 (*)"));
    EXPECT_EQ(shown(dialog), QStringList({"C.PFX", "a.pfx", "b.p12"}));
    dialog.selectNameFilter(dialog.nameFilters().last());
    EXPECT_EQ(shown(dialog).size(), 9) << "every file, also one without an extension";

    FileDialogFacade::applyFilters(dialog, "CER Files (*.cer)|*.cer||", Kind::Open);
    EXPECT_EQ(types->itemText(0), QStringLiteral("CER Files (*.cer)"));
    EXPECT_EQ(shown(dialog), QStringList({"d.cer", "e.crt", "f.pem", "g.der"}));

    FileDialogFacade::applyFilters(dialog, "所有文件 (*.*)|*.*||", Kind::Open);
    EXPECT_EQ(types->count(), 1);
    EXPECT_EQ(types->itemText(0), QStringLiteral("所有文件 (*.*)"));
    EXPECT_TRUE(shown(dialog).contains("usercert")) << "\"*.*\" is every file, as the text promises";
}

}  // namespace
