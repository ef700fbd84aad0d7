// The finished look: drawn artwork at both scales, message boxes captioned as given, no empty
// menus, and a dark scheme that no widget of the main window spoils with a colour of its own.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QRegularExpression>
#include <QStyle>
#include <QTextBrowser>
#include <QUrl>
#include <cmath>
#include <set>
#include <string>

#include <windows.h>

#include "ModalDriver.h"
#include "OtherCertStore.h"
#include "dialogs/AboutDialog.h"
#include "frame/MainFrame.h"
#include "frame/NavigatorBar.h"
#include "support/TempHome.h"
#include "support/TestPki.h"
#include "ui/Artwork.h"
#include "ui/MenuFactory.h"
#include "ui/MessageBoxFacade.h"
#include "widgets/LinkStatic.h"

using namespace orvikdesk;

namespace {

double luminance(const QColor& c) {
    auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}

double contrast(const QColor& a, const QColor& b) {
    double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// Runs of near-white pixels along one row: the letters of a word mark, where bars give none.
int whiteRuns(const QImage& image, int y) {
    int runs = 0;
    bool in = false;
    for (int x = 0; x < image.width(); ++x) {
        const QColor c = image.pixelColor(x, y);
        const bool white = c.alpha() > 200 && c.lightness() > 220;
        if (white && !in) ++runs;
        in = white;
    }
    return runs;
}

// Colours that rich text brings along must read on the palette's base: text in a colour of its
// own contrasts with it, and backgrounds of their own are dark as well.
void expectReadableHtml(QTextBrowser* text, const std::string& who) {
    static const QRegularExpression colour("(?:^|[^-])color:\\s*(#[0-9a-fA-F]{6})");
    static const QRegularExpression background("(?:background(?:-color)?:\\s*|bgcolor=\"?)(#[0-9a-fA-F]{6})");
    const QString html = text->document()->toHtml();
    const QColor base = text->palette().color(QPalette::Active, QPalette::Base);
    for (auto it = colour.globalMatch(html); it.hasNext();) {
        const QColor c(it.next().captured(1));
        EXPECT_GE(contrast(c, base), 4.5) << who << ": text in " << c.name().toStdString();
    }
    for (auto it = background.globalMatch(html); it.hasNext();) {
        const QColor c(it.next().captured(1));
        EXPECT_LT(c.lightness(), 128) << who << ": background " << c.name().toStdString();
    }
}

// The look the program started with comes back after each test.
class DarkScheme {
public:
    DarkScheme() { artwork::applyScheme(artwork::Scheme::Dark); }
    ~DarkScheme() { artwork::applyScheme(artwork::Scheme::Light); }
};

}  // namespace

TEST(Artwork, TheBannerPicturesAreDrawnForBothScales) {
    for (int id : {131, 132, 133, 134, 135, 136, 137, 138, 139, 141, 142, 150, 200}) {
        const QPixmap one = artwork::bitmap(id, 1), two = artwork::bitmap(id, 2);
        ASSERT_FALSE(one.isNull()) << "bitmap " << id;
        ASSERT_FALSE(two.isNull()) << "bitmap " << id << " at 2x";
        EXPECT_EQ(one.devicePixelRatio(), 1.0) << id;
        EXPECT_EQ(two.devicePixelRatio(), 2.0) << id;
        EXPECT_EQ(two.size(), one.size() * 2) << "bitmap " << id << ": the same picture, twice the pixels";
        EXPECT_EQ(two.deviceIndependentSize().toSize(), one.size()) << id;
    }
    EXPECT_TRUE(artwork::bitmap(9999).isNull());
}

TEST(Artwork, TheLogoCarriesTheNameNotPlaceholderBars) {
    for (qreal scale : {1.0, 2.0}) {
        const QImage logo = artwork::bitmap(142, scale).toImage().convertToFormat(QImage::Format_ARGB32);
        std::set<QRgb> colours;
        for (int y = 0; y < logo.height(); ++y)
            for (int x = 0; x < logo.width(); ++x) colours.insert(logo.pixel(x, y));
        EXPECT_GT(colours.size(), 200u) << "a drawn badge has gradients and smooth edges, at " << scale << "x";
        // Through the middle of the lower-case letters: O, r, v, i and k each cross the row.
        const int row = static_cast<int>(19 * scale);
        EXPECT_GE(whiteRuns(logo, row), 7) << "the letters of the name, at " << scale << "x";
        // The badge has a plate of its own: its middle is opaque, whatever it is drawn on.
        EXPECT_EQ(qAlpha(logo.pixel(logo.width() / 2, logo.height() / 2)), 255);
    }
}

TEST(Artwork, TheAboutBoxShowsTheLogoForTheScreen) {
    orvik::test::TempHome home;
    CAboutDialog about;
    auto* logo = about.findChild<QLabel*>("logo");
    ASSERT_NE(logo, nullptr);
    const QPixmap shown = logo->pixmap();
    EXPECT_FALSE(shown.isNull());
    EXPECT_EQ(shown.deviceIndependentSize().toSize(), artwork::bitmap(142, 1).size());
    EXPECT_EQ(shown.devicePixelRatio(), qApp->devicePixelRatio() > 1 ? 2.0 : 1.0);
}

TEST(MessageBoxes, AShownBoxIsCaptionedExactlyAsGiven) {
    // A display name would be appended to every title by the window system ("证书助手 — ...").
    EXPECT_EQ(QGuiApplication::applicationDisplayName(), QGuiApplication::applicationName());

    MessageBoxFacade::setHeadless(false);
    QString title;
    test::onNextModal<QMessageBox>([&](QMessageBox* box) {
        title = box->windowTitle();
        box->findChild<QPushButton*>(QString::number(IDOK))->click();
    });
    EXPECT_EQ(MessageBoxFacade::show(nullptr, "加密成功！", MessageBoxFacade::caption(), MB_OK | MB_ICONINFORMATION),
              IDOK);
    MessageBoxFacade::setHeadless(true);
    EXPECT_EQ(title, QString("证书助手"));
}

TEST(MessageBoxes, EveryPathGivesTheProgramsCaption) {
    MessageBoxFacade::clear();
    // The libraries' boxes, with and without a caption of their own.
    MessageBoxA(nullptr, "打开地址簿错误！", "证书助手", MB_OK | MB_ICONWARNING);
    EXPECT_EQ(MessageBoxFacade::lastCaption(), QString("证书助手"));
    MessageBoxA(nullptr, "目录查询失败！", "查找用户", MB_OK | MB_ICONWARNING);
    EXPECT_EQ(MessageBoxFacade::lastCaption(), MessageBoxFacade::lookupCaption());
    MessageBoxA(nullptr, "allocate memory failure!", nullptr, MB_OK | MB_ICONERROR);
    EXPECT_EQ(MessageBoxFacade::lastCaption(), QString("证书助手"));
    MessageBoxFacade::show(nullptr, "x", QString(), MB_OK);
    EXPECT_EQ(MessageBoxFacade::lastCaption(), QString("证书助手"));

    // A link that cannot be opened says so in a box of the program's.
    CLinkStatic link;
    link.SetURL("ftp://example.test/");
    EXPECT_FALSE(link.open());
    EXPECT_EQ(MessageBoxFacade::lastCaption(), QString("证书助手"));
}

TEST(Menus, AMenuWithNothingToOfferIsHiddenAndComesBack) {
    QMenu* menu = menus::popup(154, 0, nullptr);
    ASSERT_NE(menu, nullptr);
    QMenu parent;
    parent.addMenu(menu);
    EXPECT_TRUE(menu->menuAction()->isVisible());
    for (QAction* a : menu->actions()) a->setVisible(false);
    EXPECT_FALSE(menu->menuAction()->isVisible()) << "only hidden items and separators";
    menus::find(menu, 32774)->setVisible(true);
    EXPECT_TRUE(menu->menuAction()->isVisible());

    // A submenu emptied by its owner disappears from its parent; the parent stays while it has more.
    QMenu* noItem = menus::popup(155, 0, nullptr);
    QMenu* view = nullptr;
    for (QAction* a : noItem->actions())
        if (a->menu()) view = a->menu();
    ASSERT_NE(view, nullptr);
    for (QAction* a : view->actions()) view->removeAction(a);
    EXPECT_FALSE(view->menuAction()->isVisible());
    EXPECT_TRUE(noItem->menuAction()->isVisible());
    delete noItem;
    delete menu;
}

TEST(Menus, NoVisibleMenuOfTheMainWindowIsEmptyOnAnyPage) {
    orvik::test::TempHome home;
    CMainFrame frame;
    ASSERT_TRUE(frame.create());
    frame.show();
    std::function<void(QMenu*, const QString&)> check = [&](QMenu* menu, const QString& path) {
        bool any = false;
        for (QAction* a : menu->actions()) {
            if (!a->isVisible() || a->isSeparator()) continue;
            any = true;
            if (a->menu()) check(a->menu(), path + " > " + a->text());
        }
        EXPECT_TRUE(any) << path.toStdString() << " is shown but empty";
    };
    for (int page = 0; page < frame.bar()->count(); ++page) {
        frame.bar()->select(page);
        QApplication::processEvents();
        const QList<QAction*> top = frame.menuBar()->actions();
        ASSERT_GE(top.size(), 5);
        for (QAction* a : top)
            if (a->isVisible() && a->menu()) check(a->menu(), QString("page %1: %2").arg(page).arg(a->text()));
        EXPECT_EQ(top[3]->text(), QString("查看(&V)")) << "the page's menus keep their positions, page " << page;
    }
    // The web page has no view menu: it stays in its place, out of sight.
    frame.bar()->select(0);
    QApplication::processEvents();
    EXPECT_FALSE(frame.menuBar()->actions()[3]->isVisible());
}

TEST(DarkScheme, AskedForByTheEnvironment) {
    const QByteArray before = qgetenv("ORVIK_COLOR_SCHEME");
    qputenv("ORVIK_COLOR_SCHEME", "dark");
    EXPECT_EQ(artwork::requestedScheme(), artwork::Scheme::Dark);
    qputenv("ORVIK_COLOR_SCHEME", "light");
    EXPECT_EQ(artwork::requestedScheme(), artwork::Scheme::Light);
    qunsetenv("ORVIK_COLOR_SCHEME");
    qputenv("GTK_THEME", "Adwaita:dark");
    EXPECT_EQ(artwork::requestedScheme(), artwork::Scheme::Dark) << "the desktop's GTK theme is dark";
    qunsetenv("GTK_THEME");
    EXPECT_EQ(artwork::requestedScheme(), artwork::Scheme::Light);
    if (!before.isEmpty()) qputenv("ORVIK_COLOR_SCHEME", before);

    {
        DarkScheme dark;
        EXPECT_TRUE(artwork::isDark(QApplication::palette()));
        EXPECT_EQ(QApplication::style()->name().toLower(), QString("fusion"));
        EXPECT_GE(
            contrast(artwork::alertColour(QApplication::palette()), QApplication::palette().color(QPalette::Base)),
            4.5);
    }
    EXPECT_FALSE(artwork::isDark(QApplication::palette())) << "the light look comes back";
}

TEST(DarkScheme, NoWidgetOfTheMainWindowKeepsALightColour) {
    orvik::test::TempHome home;
    orvik::test::TempDir dir;
    // An expired certificate among the other people's: its date is drawn in a warning colour.
    auto expired = orvik::test::TestPki::instance().issue(
        {.cn = "过期用户", .email = "old@example.com", .notBeforeOffset = -400L * 86400, .notAfterOffset = -86400});
    orvik::test::TestPki::save(dir.file("old.cer"), expired.der);
    ASSERT_EQ(COtherCertStore().ImportCert(dir.file("old.cer").c_str()), 0);

    DarkScheme dark;
    CMainFrame frame;
    ASSERT_TRUE(frame.create());
    frame.resize(1000, 640);
    frame.show();
    const QRegularExpression colourInSheet("(#[0-9a-fA-F]{3,8}\\b|rgba?\\(|\\b(white|black|red|blue|gray|grey)\\b)");
    for (int page = 0; page < frame.bar()->count(); ++page) {
        frame.bar()->select(page);
        QApplication::processEvents();
        for (QWidget* w : frame.findChildren<QWidget*>()) {
            if (!w->isVisible()) continue;
            const std::string who = (w->metaObject()->className() + QString(" ") + w->objectName()).toStdString() +
                                    " on page " + std::to_string(page);
            EXPECT_FALSE(colourInSheet.match(w->styleSheet()).hasMatch())
                << who << ": " << w->styleSheet().toStdString();
            const QPalette& p = w->palette();
            for (QPalette::ColorRole r : {QPalette::Window, QPalette::Base, QPalette::Button})
                EXPECT_LT(p.color(QPalette::Active, r).lightness(), 128) << who << ", background role " << r;
            for (QPalette::ColorRole r : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
                EXPECT_GE(contrast(p.color(QPalette::Active, r), p.color(QPalette::Active, QPalette::Window)), 4.5)
                    << who << ", text role " << r;
            if (auto* view = qobject_cast<QAbstractItemView*>(w); view && view->model()) {
                const QAbstractItemModel* m = view->model();
                for (int row = 0; row < std::min(m->rowCount(), 50); ++row)
                    for (int col = 0; col < m->columnCount(); ++col) {
                        const QModelIndex i = m->index(row, col);
                        const QVariant fg = m->data(i, Qt::ForegroundRole), bg = m->data(i, Qt::BackgroundRole);
                        const QColor base = bg.isValid() ? bg.value<QBrush>().color() : p.color(QPalette::Base);
                        if (bg.isValid()) {
                            EXPECT_LT(base.lightness(), 128) << who << " row " << row;
                        }
                        if (fg.isValid()) {
                            EXPECT_GE(contrast(fg.value<QBrush>().color(), base), 4.5) << who << " row " << row;
                        }
                    }
            }
            if (auto* text = qobject_cast<QTextBrowser*>(w)) expectReadableHtml(text, who);
        }
    }
}

TEST(DarkScheme, TheHelpReadsOnADarkPage) {
    const QString help = QFileInfo(ORVIKDESK_PATH).absolutePath() + "/OrvikDesk.html";
    ASSERT_TRUE(QFileInfo(help).isFile());
    DarkScheme dark;
    QTextBrowser browser;
    browser.setSource(QUrl::fromLocalFile(help));
    ASSERT_GT(browser.document()->characterCount(), 1000);
    expectReadableHtml(&browser, "the help");
}
