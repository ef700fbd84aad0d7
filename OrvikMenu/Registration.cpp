#include "Registration.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include <orvik/AtomicFile.h>
#include <orvik/ReadFile.h>

#include "MenuItems.h"

namespace orvikmenu {

namespace {

constexpr const char* kThunarFile = "/Thunar/uca.xml";
constexpr const char* kOurIdPrefix = "orvik-";

std::string envOr(const char* name, const std::string& fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::string(v) : fallback;
}

// A value for Exec= lines: quoted as the desktop-entry format asks.
std::string desktopQuoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string xmlEscaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

// A Python string literal.
std::string pythonQuoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\\' || c == '\'') out += '\\';
        out += c;
    }
    return out + "'";
}

// " invoke [--file|--secure] N": an entry for one kind refuses a file of the other kind with a
// message, so a file manager that shows it on the wrong file cannot make it do the wrong thing.
// The settings are the same for both kinds.
std::string invokeArguments(const MenuItem& item, bool secure) {
    return std::string(" invoke ") + (item.takesPath ? (secure ? "--secure " : "--file ") : "") +
           std::to_string(item.offset);
}

std::string dolphinMenu(bool secure, const std::string& helper) {
    std::ostringstream s;
    s << "[Desktop Entry]\nType=Service\nName=" << kSubmenu << "\n";
    // ExcludeServiceTypes is a KDE list, split at commas: a trailing ';' would name no type.
    s << (secure ? "MimeType=application/x-orvik-secure-file;\n"
                 : "MimeType=all/allfiles;\nExcludeServiceTypes=application/x-orvik-secure-file\n");
    s << "X-KDE-ServiceTypes=KonqPopupMenu/Plugin\nX-KDE-Protocols=file\nX-KDE-RequiredNumberOfUrls=1\n"
      << "X-KDE-Submenu=" << kSubmenu << "\nActions=";
    for (const MenuItem& item : menuItems()) s << item.id << ";";
    s << "\n";
    for (const MenuItem& item : menuItems())
        s << "\n[Desktop Action " << item.id << "]\nName=" << (secure ? item.secureText : item.plainText)
          << "\nExec=" << desktopQuoted(helper) << invokeArguments(item, secure) << " %f\n";
    return s.str();
}

// The link beside the helper that answers Nemo's condition.
std::string plainFileCheck(const std::string& helper) {
    return helper.substr(0, helper.find_last_of('/') + 1) + kPlainFileCheck;
}

// Nemo has no submenus for actions: the submenu's name leads each item's. It cannot exclude an
// extension either: the file items ask a condition program, which Nemo runs with the selection's
// paths where the condition names %F (expanded and quoted as in Exec).
std::string nemoAction(const MenuItem& item, bool secure, const std::string& helper) {
    std::ostringstream s;
    s << "[Nemo Action]\nActive=true\nName=" << kSubmenu << "：" << (secure ? item.secureText : item.plainText)
      << "\nComment=" << kSubmenu << "\nExec=" << desktopQuoted(helper) << invokeArguments(item, secure) << " %F\n"
      << "Icon-Name=orvikdesk\nSelection=s\n"
      << (secure ? "Extensions=.ovk;\n"
                 : "Extensions=nodirs;\nConditions=exec " + desktopQuoted(plainFileCheck(helper)) + " %F;\n");
    return s.str();
}

// Python: true for a path ending in ".ovk" in any ASCII case, as MenuItems decides.
constexpr const char* kPythonIsSecure =
    "def is_secure(path):\n"
    "    return path.encode('utf-8', 'surrogateescape')[-4:].lower() == b'.ovk'\n\n\n";

// Nemo's properties dialog takes pages from nemo-python extensions (the nemo-python package).
std::string nemoPropertiesExtension(const std::string& helper) {
    std::ostringstream s;
    s << "# The secure-file properties as a page of Nemo's properties dialog; orvikmenu reads the file.\n"
      << "import subprocess\nfrom urllib.parse import unquote, urlparse\n\n"
      << "import gi\n\ngi.require_version('Gtk', '3.0')\nfrom gi.repository import GObject, Gtk, Nemo  # noqa: E402\n\n"
      << "HELPER = " << pythonQuoted(helper) << "\n"
      << "LABELS = ['安全文件类型：', '原始文件类型：', '原始文件大小：', '加密算法：', '密码保护设置：',\n"
      << "          '加密者证书信息：']\n\n\n"
      << kPythonIsSecure << "def summary(path):\n"
      << "    out = subprocess.run([HELPER, 'describe', path], capture_output=True, text=True, timeout=20).stdout\n"
      << "    return list(zip(LABELS, out.split('\\n')))\n\n\n"
      << "class OrvikPropertyPage(GObject.GObject, Nemo.PropertyPageProvider):\n"
      << "    def get_property_pages(self, files):\n"
      << "        if len(files) != 1 or files[0].get_uri_scheme() != 'file' or files[0].is_directory():\n"
      << "            return []\n"
      << "        path = unquote(urlparse(files[0].get_uri()).path)\n"
      << "        if not is_secure(path):\n"
      << "            return []\n"
      << "        grid = Gtk.Grid(row_spacing=6, column_spacing=12, border_width=12)\n"
      << "        for row, (label, value) in enumerate(summary(path)):\n"
      << "            grid.attach(Gtk.Label(label=label, xalign=0, yalign=0), 0, row, 1, 1)\n"
      << "            shown = Gtk.Label(label=value, xalign=0, selectable=True)\n"
      << "            shown.set_line_wrap(True)\n"
      << "            grid.attach(shown, 1, row, 1, 1)\n"
      << "        grid.show_all()\n"
      << "        return [Nemo.PropertyPage(name='OrvikMenu::properties', label=Gtk.Label(label='安全文件属性'),\n"
      << "                                  page=grid)]\n";
    return s.str();
}

std::string nautilusExtension(const std::string& helper) {
    std::ostringstream s;
    s << "# The assistant's submenu and secure-file properties in Nautilus; all work is done by\n"
      << "# orvikmenu, so nothing of ours runs inside the file manager but these calls.\n"
      << "import subprocess\nfrom urllib.parse import unquote, urlparse\n\n"
      << "from gi.repository import GObject, Nautilus\n\n"
      << "HELPER = " << pythonQuoted(helper) << "\nSUBMENU = " << pythonQuoted(kSubmenu) << "\nITEMS = [";
    for (const MenuItem& item : menuItems())
        s << "(" << item.offset << ", " << pythonQuoted(item.plainText) << ", " << pythonQuoted(item.secureText)
          << "), ";
    s << "]\nLABELS = ['安全文件类型：', '原始文件类型：', '原始文件大小：', '加密算法：', '密码保护设置：',\n"
      << "          '加密者证书信息：']\n\n\n"
      << kPythonIsSecure << "def local_path(info):\n"
      << "    if info.get_uri_scheme() != 'file' or info.is_directory():\n"
      << "        return None\n"
      << "    return unquote(urlparse(info.get_uri()).path)\n\n\n"
      << "def run(offset, path):\n"
      << "    subprocess.Popen([HELPER, 'invoke', str(offset), path], start_new_session=True)\n\n\n"
      << "class OrvikMenuProvider(GObject.GObject, Nautilus.MenuProvider):\n"
      << "    def get_file_items(self, *args):\n"
      << "        files = args[-1]\n"
      << "        if len(files) != 1:\n"
      << "            return []\n"
      << "        path = local_path(files[0])\n"
      << "        if path is None:\n"
      << "            return []\n"
      << "        secure = is_secure(path)\n"
      << "        top = Nautilus.MenuItem(name='OrvikMenu::submenu', label=SUBMENU)\n"
      << "        sub = Nautilus.Menu()\n"
      << "        top.set_submenu(sub)\n"
      << "        for offset, plain, secured in ITEMS:\n"
      << "            item = Nautilus.MenuItem(name='OrvikMenu::item%d' % offset, label=secured if secure else plain)\n"
      << "            item.connect('activate', lambda _item, o=offset: run(o, path))\n"
      << "            sub.append_item(item)\n"
      << "        return [top]\n\n\n"
      << "if hasattr(Nautilus, 'PropertiesModelProvider'):\n"
      << "    class OrvikPropertiesProvider(GObject.GObject, Nautilus.PropertiesModelProvider):\n"
      << "        def get_models(self, files):\n"
      << "            if len(files) != 1:\n"
      << "                return []\n"
      << "            path = local_path(files[0])\n"
      << "            if path is None or not is_secure(path):\n"
      << "                return []\n"
      << "            out = subprocess.run([HELPER, 'describe', path], capture_output=True, text=True).stdout\n"
      << "            from gi.repository import Gio\n"
      << "            items = Gio.ListStore.new(Nautilus.PropertiesItem)\n"
      << "            for label, value in zip(LABELS, out.split('\\n')):\n"
      << "                items.append(Nautilus.PropertiesItem(name=label, value=value))\n"
      << "            return [Nautilus.PropertiesModel(title='安全文件属性', model=items)]\n";
    return s.str();
}

// Thunar matches an action's patterns against the name, case-sensitively, with only * and ?, and
// cannot exclude one: the secure-file items name every spelling of ".ovk"; the file items match
// every file and refuse a secure one with a message. The settings are one item for all files.
std::string thunarPatterns(bool secure) {
    if (!secure) return "*";
    std::string out;
    for (int spelling = 0; spelling < 8; ++spelling)
        out += std::string(out.empty() ? "" : ";") + "*." + (spelling & 4 ? 'O' : 'o') + (spelling & 2 ? 'V' : 'v') +
               (spelling & 1 ? 'K' : 'k');
    return out;
}

std::string thunarAction(const MenuItem& item, bool secure, const std::string& helper) {
    std::ostringstream s;
    const std::string kind = !item.takesPath ? "" : secure ? "secure-" : "file-";
    s << "<action>\n<icon>orvikdesk</icon>\n<name>" << xmlEscaped(secure ? item.secureText : item.plainText)
      << "</name>\n<submenu>" << xmlEscaped(kSubmenu) << "</submenu>\n<unique-id>" << kOurIdPrefix << kind << item.id
      << "</unique-id>\n<command>" << xmlEscaped(desktopQuoted(helper) + invokeArguments(item, secure) + " %f")
      << "</command>\n<description>" << xmlEscaped(kSubmenu) << "</description>\n<patterns>"
      << thunarPatterns(secure && item.takesPath) << "</patterns>\n"
      << "<audio-files/>\n<image-files/>\n<other-files/>\n<text-files/>\n<video-files/>\n</action>\n";
    return s.str();
}

std::string thunarActions(const std::string& helper) {
    std::string out;
    for (bool secure : {false, true})
        for (const MenuItem& item : menuItems())
            if (item.takesPath || !secure) out += thunarAction(item, secure, helper);
    return out;
}

// The files read here are a few kilobytes of menu definitions.
bool readAll(const std::string& path, std::string& out) { return orvik::readRegularFile(path, out, size_t{1} << 20); }

bool makeFolders(const std::string& file) {
    for (size_t at = file.find('/', 1); at != std::string::npos; at = file.find('/', at + 1)) {
        std::string dir = file.substr(0, at);
        if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    return true;
}

// Written beside the target and renamed over it, so a reader never sees half a file.
bool writeAtomically(const std::string& path, const std::string& text, mode_t mode) {
    return makeFolders(path) && orvik::writeFileAtomically(path, text, mode);
}

std::string thunarPath(const Folders& f) { return f.config + kThunarFile; }

}  // namespace

Folders Folders::ofUser() {
    std::string home = envOr("HOME", "");
    return {envOr("XDG_DATA_HOME", home + "/.local/share"), envOr("XDG_CONFIG_HOME", home + "/.config")};
}

std::vector<GeneratedFile> generatedFiles(const Folders& f, const std::string& helper) {
    std::vector<GeneratedFile> files = {
        {f.data + "/kio/servicemenus/orvik-file.desktop", dolphinMenu(false, helper), true},
        {f.data + "/kio/servicemenus/orvik-secure-file.desktop", dolphinMenu(true, helper), true},
        {f.data + "/nautilus-python/extensions/orvik_menu.py", nautilusExtension(helper), false},
        {f.data + "/nemo-python/extensions/orvik_properties.py", nemoPropertiesExtension(helper), false},
    };
    for (bool secure : {false, true})
        for (const MenuItem& item : menuItems())
            files.push_back(
                {f.data + "/nemo/actions/orvik-" + (secure ? "secure-" : "file-") + item.id + ".nemo_action",
                 nemoAction(item, secure, helper), false});
    return files;
}

std::string withoutThunarActions(const std::string& existing) {
    std::string out;
    size_t at = 0;
    for (;;) {
        size_t open = existing.find("<action>", at);
        size_t close = open == std::string::npos ? open : existing.find("</action>", open);
        if (close == std::string::npos) break;
        close += std::strlen("</action>");
        const bool ours =
            existing.substr(open, close - open).find(std::string("<unique-id>") + kOurIdPrefix) != std::string::npos;
        out += existing.substr(at, ours ? open - at : close - at);
        // One of ours goes with the line break written after it; the user's text stays as it was.
        if (ours && close < existing.size() && existing[close] == '\n') ++close;
        at = close;
    }
    return out + existing.substr(at);
}

std::string mergedThunarActions(const std::string& existing, const std::string& helper) {
    std::string base = withoutThunarActions(existing);
    size_t end = base.rfind("</actions>");
    if (end == std::string::npos) {
        base = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<actions>\n</actions>\n";
        end = base.rfind("</actions>");
    }
    return base.substr(0, end) + thunarActions(helper) + base.substr(end);
}

std::string registerMenus(const Folders& f, const std::string& helper) {
    std::vector<std::string> written;
    auto rollBack = [&](const std::string& why) {
        for (const std::string& path : written) ::unlink(path.c_str());
        return why;
    };
    for (const GeneratedFile& file : generatedFiles(f, helper)) {
        if (!writeAtomically(file.path, file.text, file.executable ? 0755 : 0644))
            return rollBack("cannot write " + file.path + ": " + std::strerror(errno));
        written.push_back(file.path);
    }
    std::string before;
    readAll(thunarPath(f), before);
    if (!writeAtomically(thunarPath(f), mergedThunarActions(before, helper), 0644))
        return rollBack("cannot write " + thunarPath(f) + ": " + std::strerror(errno));
    return {};
}

std::string unregisterMenus(const Folders& f) {
    std::string failed;
    for (const GeneratedFile& file : generatedFiles(f, ""))
        if (::unlink(file.path.c_str()) != 0 && errno != ENOENT) failed += "cannot remove " + file.path + "; ";
    std::string before;
    if (readAll(thunarPath(f), before) && before.find(std::string("<unique-id>") + kOurIdPrefix) != std::string::npos &&
        !writeAtomically(thunarPath(f), withoutThunarActions(before), 0644))
        failed += "cannot write " + thunarPath(f) + "; ";
    return failed;
}

}  // namespace orvikmenu
