// What each file manager makes of the files `orvikmenu register` writes, read the way that file
// manager reads them (Dolphin's service menus, Nemo's actions and their condition program,
// Thunar's uca.xml), and what the user is told when an entry cannot do its work.
#include <gtest/gtest.h>

#include <fnmatch.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <QXmlStreamReader>

#include <orvik/MessageBoxHandler.h>
#include <windows.h>

#include "Launcher.h"
#include "MenuItems.h"
#include "Registration.h"
#include "ScreenMessages.h"
#include "support/MessageBoxRecorder.h"
#include "support/Shell.h"
#include "support/TempHome.h"
#include "support/UserRegistry.h"

using orvik::test::readFile;
using orvik::test::TempDir;
using orvik::test::writeFile;
using namespace orvikmenu;

namespace {

using Strings = std::vector<std::string>;
using KeyFile = std::map<std::string, std::map<std::string, std::string>>;

const Strings kFileItems = {"文件加密...", "加密并发送...", "配置"};
const Strings kSecureItems = {"文件解密...", "安全文件属性", "配置"};

// The groups and keys of a desktop-entry style file (comments and blank lines skipped).
KeyFile parseKeyFile(const std::string& text) {
    KeyFile groups;
    std::string group;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        if (line[0] == '[') {
            group = line.substr(1, line.find(']') - 1);
            continue;
        }
        size_t eq = line.find('=');
        if (eq != std::string::npos) groups[group][line.substr(0, eq)] = line.substr(eq + 1);
    }
    return groups;
}

Strings split(const std::string& list, char at) {
    Strings out;
    std::istringstream in(list);
    for (std::string item; std::getline(in, item, at);)
        if (!item.empty()) out.push_back(item);
    return out;
}

bool contains(const Strings& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

// As the MIME database (with the package's type installed) names the two test files.
std::string mimeOf(const std::string& name) {
    return isSecureFile(name) ? "application/x-orvik-secure-file" : "application/msword";
}

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// A command line as the file manager's shell parsing sees it, with its file token replaced by the
// quoted path; run with no screen, so messages go to standard error.
orvik::test::ShellRun runEntry(std::string command, const char* token, const std::string& path) {
    command.replace(command.find(token), 2, orvik::test::shellQuoted(path));
    return orvik::test::runShell("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " + command + " 2>&1");
}

class FileManagers : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(registerMenus(folders, helper), "");
        writeFile(plain, "x");
        writeFile(secure, "x");
    }
    orvik::test::TempHome home;
    TempDir dir;
    Folders folders{dir.file("data"), dir.file("config")};
    // The real program, so Nemo's condition link lies beside it.
    const std::string helper = ORVIKMENU_PATH;
    const std::string plain = dir.file("report.doc");
    const std::string secure = dir.file("Report.OVK");
};

TEST_F(FileManagers, DolphinShowsOneSetByMimeType) {
    for (const auto& [path, expected] : {std::pair{plain, kFileItems}, std::pair{secure, kSecureItems}}) {
        Strings shown;
        for (const char* name : {"orvik-file.desktop", "orvik-secure-file.desktop"}) {
            KeyFile menu = parseKeyFile(readFile(folders.data + "/kio/servicemenus/" + name));
            const auto& entry = menu["Desktop Entry"];
            const Strings types = split(entry.at("MimeType"), ';');
            // KDE reads ExcludeServiceTypes as its own list type, split at commas.
            const Strings excluded =
                entry.count("ExcludeServiceTypes") ? split(entry.at("ExcludeServiceTypes"), ',') : Strings{};
            const std::string mime = mimeOf(path);
            if (!(contains(types, mime) || contains(types, "all/allfiles")) || contains(excluded, mime)) continue;
            EXPECT_EQ(entry.at("X-KDE-Submenu"), kSubmenu);
            for (const std::string& action : split(entry.at("Actions"), ';'))
                shown.push_back(menu["Desktop Action " + action].at("Name"));
        }
        EXPECT_EQ(shown, expected) << path;
    }
}

TEST_F(FileManagers, NemoShowsOneSetThroughItsConditionProgram) {
    size_t actions = 0;
    for (const auto& [path, expected] : {std::pair{plain, kFileItems}, std::pair{secure, kSecureItems}}) {
        Strings shown;
        for (const auto& file : std::filesystem::directory_iterator(folders.data + "/nemo/actions")) {
            ++actions;
            const auto action = parseKeyFile(readFile(file.path()))["Nemo Action"];
            ASSERT_EQ(action.at("Selection"), "s");
            // Nemo compares the lower-case name's end with each lower-case extension.
            const std::string name = lower(path.substr(path.rfind('/') + 1));
            bool match = false;
            for (const std::string& e : split(lower(action.at("Extensions")), ';'))
                match = match || e == "nodirs" || e == "any" || name.ends_with(e);
            for (const std::string& condition : split(action.count("Conditions") ? action.at("Conditions") : "", ';')) {
                ASSERT_EQ(condition.rfind("exec ", 0), 0u) << condition;
                // Nemo expands %F in the condition to the quoted paths and runs it; exit 0 shows.
                ASSERT_NE(condition.find("%F"), std::string::npos) << "the paths reach the program only through %F";
                match = match && runEntry(condition.substr(5), "%F", path).code == 0;
            }
            if (!match) continue;
            const std::string label = action.at("Name");
            ASSERT_EQ(label.rfind(std::string(kSubmenu) + "：", 0), 0u) << label;
            shown.push_back(label.substr(std::string(kSubmenu).size() + std::string("：").size()));
        }
        std::sort(shown.begin(), shown.end());
        Strings sorted = expected;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(shown, sorted) << path;
    }
    EXPECT_EQ(actions, 12u);
    // The condition is quick and says no to a folder and to two files.
    const std::string check = orvik::test::shellQuoted(std::filesystem::path(helper).parent_path() / kPlainFileCheck);
    EXPECT_NE(runEntry(check + " %F", "%F", dir.path()).code, 0);
    EXPECT_NE(runEntry(check + " %F", "%F", dir.file("gone.doc")).code, 0);
    EXPECT_NE(
        orvik::test::runShell(check + " " + orvik::test::shellQuoted(plain) + " " + orvik::test::shellQuoted(plain))
            .code,
        0);
}

struct ThunarAction {
    std::string name, submenu, command, patterns;
    bool otherFiles = false, directories = false;
};

std::vector<ThunarAction> thunarActions(const std::string& xml) {
    std::vector<ThunarAction> actions;
    QXmlStreamReader reader(QByteArray::fromStdString(xml));
    while (!reader.atEnd()) {
        if (reader.readNext() != QXmlStreamReader::StartElement) continue;
        const QString tag = reader.name().toString();
        if (tag == "action") actions.emplace_back();
        if (actions.empty()) continue;
        ThunarAction& a = actions.back();
        if (tag == "name") a.name = reader.readElementText().toStdString();
        if (tag == "submenu") a.submenu = reader.readElementText().toStdString();
        if (tag == "command") a.command = reader.readElementText().toStdString();
        if (tag == "patterns") a.patterns = reader.readElementText().toStdString();
        if (tag == "other-files") a.otherFiles = true;
        if (tag == "directories") a.directories = true;
    }
    EXPECT_FALSE(reader.hasError()) << reader.errorString().toStdString();
    return actions;
}

// Thunar's test: the file's type class (both test files are "other" files), then one of the
// patterns against the name, case-sensitively, with * and ? only.
std::vector<ThunarAction> thunarShown(const std::vector<ThunarAction>& actions, const std::string& path) {
    std::vector<ThunarAction> shown;
    const std::string name = path.substr(path.rfind('/') + 1);
    for (const ThunarAction& a : actions) {
        if (!a.otherFiles) continue;
        bool match = false;
        for (const std::string& p : split(a.patterns, ';'))
            match = match || (p.find('[') == std::string::npos && fnmatch(p.c_str(), name.c_str(), FNM_NOESCAPE) == 0);
        if (match) shown.push_back(a);
    }
    return shown;
}

TEST_F(FileManagers, ThunarShowsTheSecureItemsOnEverySpellingAndFileItemsRefuseThem) {
    const auto actions = thunarActions(readFile(folders.config + "/Thunar/uca.xml"));
    ASSERT_EQ(actions.size(), 5u);
    for (const ThunarAction& a : actions) {
        EXPECT_EQ(a.submenu, kSubmenu);
        EXPECT_FALSE(a.directories);
        EXPECT_EQ(a.command.rfind("\"" + helper + "\" invoke ", 0), 0u) << a.command;
    }
    auto names = [](const std::vector<ThunarAction>& shown) {
        Strings out;
        for (const ThunarAction& a : shown) out.push_back(a.name);
        return out;
    };
    EXPECT_EQ(names(thunarShown(actions, plain)), kFileItems);
    const auto onSecure = thunarShown(actions, secure);
    EXPECT_EQ(names(onSecure), (Strings{"文件加密...", "加密并发送...", "配置", "文件解密...", "安全文件属性"}))
        << "Thunar cannot exclude a pattern; the settings appear once";
    for (const char* spelling : {"a.ovk", "a.OvK", "a.oVK", "a.OVK"})
        EXPECT_EQ(thunarShown(actions, spelling).size(), 5u) << spelling;

    // What is left of Thunar's limit: the file items on a secure file tell the user, start nothing.
    for (const ThunarAction& a : onSecure) {
        if (a.name != "文件加密..." && a.name != "加密并发送...") continue;
        orvik::test::ShellRun run = runEntry(a.command, "%f", secure);
        EXPECT_EQ(run.code, 1) << a.name;
        EXPECT_NE(run.out.find("是安全文件，不能再加密"), std::string::npos) << run.out;
    }
}

TEST_F(FileManagers, NemoPropertyPageListsTheSummaryForSecureFilesOnly) {
    const std::string extension = folders.data + "/nemo-python/extensions/orvik_properties.py";
    // Nemo's extension against stand-ins of the few classes it uses; orvikmenu itself answers.
    const std::string script = R"PY(
import sys, types
class W:
    def __init__(self, *a, **k): self.k, self.children = k, []
    def attach(self, w, *a): self.children.append(w.k.get('label'))
    def __getattr__(self, name): return lambda *a, **k: None
gi = types.ModuleType('gi'); gi.require_version = lambda *a: None
repo = types.ModuleType('gi.repository')
repo.GObject = types.SimpleNamespace(GObject=type('GObject', (), {}))
repo.Gtk = types.SimpleNamespace(Grid=W, Label=W)
repo.Nemo = types.SimpleNamespace(PropertyPageProvider=type('Provider', (), {}), PropertyPage=lambda **k: k)
sys.modules.update({'gi': gi, 'gi.repository': repo})
sys.path.insert(0, sys.argv[1])
import orvik_properties
class Info:
    def __init__(self, p): self.p = p
    def get_uri_scheme(self): return 'file'
    def is_directory(self): return False
    def get_uri(self): return 'file://' + self.p.replace(' ', '%20')
provider = orvik_properties.OrvikPropertyPage()
for path in sys.argv[2:]:
    pages = provider.get_property_pages([Info(path)])
    print(len(pages), '|'.join(str(c) for c in pages[0]['page'].children) if pages else '')
)PY";
    writeFile(dir.file("page.py"), script);
    writeFile(dir.file("a b.ovk"), "OrvikFileType=1;");
    orvik::test::ShellRun run = orvik::test::runShell(
        "python3 " + orvik::test::shellQuoted(dir.file("page.py")) + " " +
        orvik::test::shellQuoted(std::filesystem::path(extension).parent_path()) + " " +
        orvik::test::shellQuoted(dir.file("a b.ovk")) + " " + orvik::test::shellQuoted(plain) + " 2>&1");
    ASSERT_EQ(run.code, 0) << run.out;
    EXPECT_EQ(run.out,
              "1 安全文件类型：|加密文件(Version 1.0)|原始文件类型：||原始文件大小：||加密算法：|RSA-3DES|"
              "密码保护设置：|未设置密码保护|加密者证书信息：|\n0 \n");
}

void setInstallDir(const std::string& dir) {
    orvik::test::setUserValue("Software\\Orvikon\\Orvik数字证书助手\\Common", "InstallDir", REG_SZ,
                              std::string(dir.c_str(), dir.size() + 1));
}

TEST(Invoke, TellsTheUserWhyNothingStarts) {
    orvik::test::TempHome home;
    TempDir dir;
    orvik::test::MessageBoxRecorder boxes;
    writeFile(dir.file("a.doc"), "x");
    writeFile(dir.file("b.ovk"), "x");
    setInstallDir(dir.file("nowhere"));
    auto told = [&](bool started) {
        EXPECT_FALSE(started);
        return boxes.count() ? boxes.last().text : std::string("(no box)");
    };
    EXPECT_NE(told(invoke(0, dir.file("gone.doc"))).find("找不到文件“" + dir.file("gone.doc") + "”"),
              std::string::npos);
    EXPECT_NE(told(invoke(1, dir.path())).find("不是文件"), std::string::npos);
    EXPECT_NE(told(invoke(0, dir.file("b.ovk"), Asked::File)).find("请使用“文件解密...”"), std::string::npos);
    EXPECT_NE(told(invoke(1, dir.file("b.ovk"), Asked::File)).find("请使用“安全文件属性”"), std::string::npos);
    EXPECT_NE(told(invoke(0, dir.file("a.doc"), Asked::Secure)).find("不是安全文件"), std::string::npos);
    EXPECT_NE(told(invoke(0, dir.file("a.doc"))).find("找不到Orvik数字证书助手程序"), std::string::npos);
    EXPECT_EQ(boxes.last().caption, kCaption);

    // A program that cannot be run: its interpreter is missing.
    std::filesystem::create_directory(dir.file("install"));
    writeFile(dir.file("install/OrvikDesk"), "#!/nonexistent/interpreter\n");
    std::filesystem::permissions(dir.file("install/OrvikDesk"), std::filesystem::perms::owner_all);
    setInstallDir(dir.file("install"));
    const std::string text = told(invoke(2, dir.file("gone.doc")));
    EXPECT_NE(text.find("无法启动Orvik数字证书助手：" + dir.file("install/OrvikDesk")), std::string::npos) << text;
    EXPECT_NE(text.find("该程序不存在"), std::string::npos) << "the settings need no file, only the program";
    EXPECT_EQ(boxes.count(), 7u);
}

TEST(ScreenMessages, ShowsAQtDialogOffscreen) {
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int argc = 1;
    char name[] = "menu_tests";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    EXPECT_TRUE(haveScreen());
    showMessagesOnScreen();
    QString title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            title = box->windowTitle();
            text = box->text();
            icon = box->icon();
            box->accept();
        }
    });
    poll.start(20);
    EXPECT_EQ(MessageBoxA(nullptr, "找不到文件“x”。", kCaption, MB_OK | MB_ICONWARNING), IDOK);
    poll.stop();
    orvik::setMessageBoxHandler({});
    if (platform.isEmpty())
        qunsetenv("QT_QPA_PLATFORM");
    else
        qputenv("QT_QPA_PLATFORM", platform);
    EXPECT_EQ(title.toStdString(), kCaption);
    EXPECT_EQ(text.toStdString(), "找不到文件“x”。");
    EXPECT_EQ(icon, QMessageBox::Warning);
}

}  // namespace
