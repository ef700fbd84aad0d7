#!/usr/bin/env python3
"""The Debian package on this machine: checked by Debian's and freedesktop's own validators,
installed with dpkg, used from the PATH and the file managers' folders, then removed and purged,
leaving the file system as it was. Changes the system: runs as root only (CI), else is skipped.

Usage: package_test.py SOURCE_DIR [PACKAGE.deb]
"""

import configparser
import fnmatch
import glob
import os
import shlex
import subprocess
import sys
import tempfile
import time
import types
import unittest

SKIP = 77
SOURCE = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else os.getcwd()
DEB = sys.argv[2] if len(sys.argv) > 2 else ""
HELPER = "/usr/lib/orvik/orvikmenu"
SECURE_MIME = "application/x-orvik-secure-file"
# What dpkg and apt keep about packages changes with every install; everything else must not.
WATCHED = ("/usr", "/etc", "/opt", "/var/lib")
IGNORED = ("/var/lib/dpkg", "/var/lib/apt", "/var/lib/systemd", "/var/lib/ucf")


def run(*argv, check=True, env=None, **kw):
    done = subprocess.run(argv, capture_output=True, text=True, env=env, **kw)
    if check and done.returncode != 0:
        raise AssertionError("%s: exit %d\n%s%s" % (" ".join(argv), done.returncode, done.stdout, done.stderr))
    return done


def snapshot():
    found = set()
    for top in WATCHED:
        for folder, dirs, files in os.walk(top):
            dirs[:] = [d for d in dirs if os.path.join(folder, d) not in IGNORED]
            found.add(folder)
            found.update(os.path.join(folder, f) for f in files)
    return found


def keyfile(path):
    parser = configparser.RawConfigParser(strict=False, interpolation=None, delimiters=("=",))
    parser.optionxform = str
    with open(path, encoding="utf-8") as f:
        parser.read_string(f.read())
    return parser


def xdg_list(value):
    return [v for v in value.split(";") if v]


def mime_of(path):
    """The type the shared MIME database (as the triggers left it) gives a name, by its globs."""
    name = os.path.basename(path)
    best = ("application/octet-stream", -1)
    with open("/usr/share/mime/globs2", encoding="utf-8") as f:
        for line in f:
            if line.startswith("#"):
                continue
            weight, mime, pattern = line.rstrip("\n").split(":")[:3]
            if fnmatch.fnmatch(name.lower(), pattern.lower()) and int(weight) > best[1]:
                best = (mime, int(weight))
    return best[0]


def expected_items(path, env):
    return run("/usr/bin/orvikmenu", "items", path, env=env).stdout.splitlines()


class InstalledPackage(unittest.TestCase):
    """One install of the package, shared by the checks, and its removal as the last check."""

    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory()
        home = cls.scratch.name
        cls.env = dict(os.environ, HOME=home, ORVIK_HOME=os.path.join(home, "orvik"), PATH="/usr/bin:/bin",
                       XDG_RUNTIME_DIR=home, XDG_CONFIG_HOME=os.path.join(home, "config"),
                       XDG_DATA_HOME=os.path.join(home, "data"))
        os.chmod(home, 0o700)
        cls.plain = os.path.join(home, "report.doc")
        cls.secure = os.path.join(home, "Report.OVK")
        for f in (cls.plain, cls.secure):
            open(f, "w").close()
        # Dependencies first, so that the snapshot holds them and only the package differs.
        depends = run("dpkg-deb", "-f", DEB, "Depends").stdout.strip()
        run("apt-get", "satisfy", "-y", "-qq", "--no-install-recommends", depends,
            env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
        cls.before = snapshot()
        run("dpkg", "-i", DEB)

    @classmethod
    def tearDownClass(cls):
        run("dpkg", "-P", "orvik", check=False)
        cls.scratch.cleanup()

    def test_1_validators_report_no_errors(self):
        lint = run("lintian", "--no-tag-display-limit", DEB, check=False)
        errors = [l for l in lint.stdout.splitlines() if l.startswith("E:")]
        self.assertEqual(errors, [], lint.stdout)
        run("desktop-file-validate", "/usr/share/applications/orvikdesk.desktop")
        meta = run("appstreamcli", "validate", "--no-net", "--no-color",
                   "/usr/share/metainfo/com.orvikon.orvikdesk.metainfo.xml", check=False)
        self.assertFalse([l for l in meta.stdout.splitlines() if l.startswith("E:")], meta.stdout)

    def test_2_launchers_icons_and_types_are_in_place(self):
        for name, program in (("orvikdesk", "OrvikDesk"), ("orvikctl", "orvikctl"), ("orvikmenu", "orvikmenu")):
            self.assertEqual(os.path.realpath("/usr/bin/" + name), "/usr/lib/orvik/" + program)
        listed = run("orvikctl", "list", "--store", "ADDRESSBOOK", env=self.env)
        self.assertEqual(listed.stdout, "", "a new user's store is empty")
        for size in (16, 22, 24, 32, 48, 64, 128, 256):
            for icon in ("apps/orvikdesk.png", "mimetypes/application-x-orvik-secure-file.png"):
                self.assertTrue(os.path.isfile("/usr/share/icons/hicolor/%dx%d/%s" % (size, size, icon)))
        # The triggers of shared-mime-info and desktop-file-utils have run.
        self.assertEqual(mime_of(self.secure), SECURE_MIME)
        with open("/usr/share/applications/mimeinfo.cache", encoding="utf-8") as f:
            self.assertIn(SECURE_MIME + "=orvikdesk.desktop;", f.read())
        for page in ("orvikctl", "orvikmenu"):
            self.assertTrue(os.path.isfile("/usr/share/man/man1/%s.1.gz" % page))
        with open("/usr/share/p11-kit/modules/orvik-personal.module", encoding="utf-8") as f:
            self.assertIn("module: /usr/lib/orvik/libOrvikP11.so\n", f.read())
        self.assertTrue(os.path.isfile("/usr/lib/orvik/libOrvikP11.so"))
        # p11-kit reads the system's module configuration and loads the module.
        if os.path.exists("/usr/bin/p11-kit"):
            self.assertIn("orvik-personal", run("p11-kit", "list-modules", env=self.env).stdout)

    def test_3_the_assistant_starts_from_the_menu_command(self):
        display = ":%d" % (200 + os.getpid() % 500)
        xvfb = subprocess.Popen(["Xvfb", display, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            env = dict(self.env, DISPLAY=display, QT_QPA_PLATFORM="xcb", QTWEBENGINE_DISABLE_SANDBOX="1")
            time.sleep(1)
            log = open(os.path.join(self.scratch.name, "orvikdesk.log"), "w+")
            desk = subprocess.Popen(["orvikdesk"], env=env, stdout=log, stderr=subprocess.STDOUT)
            try:
                shown = ""
                for _ in range(60):
                    shown = run("xwininfo", "-root", "-tree", env=env, check=False, timeout=10).stdout
                    if "Orvik数字证书助手" in shown or desk.poll() is not None:
                        break
                    time.sleep(0.5)
                log.seek(0)
                self.assertIsNone(desk.poll(), "orvikdesk ended: " + log.read())
                self.assertIn("Orvik数字证书助手", shown)
            finally:
                desk.kill()
                desk.wait(10)
                log.close()
        finally:
            xvfb.terminate()
            xvfb.wait(10)

    def test_4_dolphin_service_menus_select_by_type(self):
        found = sorted(glob.glob("/usr/share/kio/servicemenus/orvik-*.desktop"))
        self.assertEqual(len(found), 2, found)
        for path, expected in ((self.plain, "plain"), (self.secure, "secure")):
            mime = mime_of(path)
            shown = []
            for menu in found:
                entry = keyfile(menu)["Desktop Entry"]
                types_ = xdg_list(entry.get("MimeType", ""))
                # KDE reads ExcludeServiceTypes as its own list type: split at commas.
                excluded = [t.strip() for t in entry.get("ExcludeServiceTypes", "").split(",") if t.strip()]
                if (mime in types_ or "all/allfiles" in types_ or "all/all" in types_) and mime not in excluded:
                    entries = keyfile(menu)
                    for action in xdg_list(entry["Actions"]):
                        group = entries["Desktop Action " + action]
                        self.assertTrue(group["Exec"].startswith('"%s" invoke ' % HELPER), group["Exec"])
                        shown.append(group["Name"])
            self.assertEqual(shown, expected_items(path, self.env), "%s (%s)" % (path, mime))

    def test_5_nemo_actions_select_by_type(self):
        found = sorted(glob.glob("/usr/share/nemo/actions/orvik-*.nemo_action"))
        self.assertEqual(len(found), 6, found)
        for path in (self.plain, self.secure):
            shown = []
            for action_file in found:
                action = keyfile(action_file)["Nemo Action"]
                if action.get("Selection", "s").lower() not in ("s", "single", "any"):
                    continue
                name = os.path.basename(path).lower()
                extensions = [e.lower() for e in xdg_list(action.get("Extensions", ""))]
                match = "any" in extensions or "nodirs" in extensions or any(name.endswith(e) for e in extensions)
                match = match or mime_of(path) in xdg_list(action.get("Mimetypes", ""))
                for condition in xdg_list(action.get("Conditions", "")):
                    kind, _, command = condition.partition(" ")
                    self.assertEqual(kind, "exec", condition)
                    # Nemo expands %F to the quoted paths, runs the command line and shows on exit 0.
                    self.assertIn("%F", command)
                    argv = shlex.split(command.replace("%F", shlex.quote(path)))
                    match = match and run(*argv, env=self.env, check=False).returncode == 0
                if match:
                    self.assertTrue(action["Exec"].startswith('"%s" invoke ' % HELPER), action["Exec"])
                    shown.append(action["Name"].split("：", 1)[1])
            self.assertEqual(sorted(shown), sorted(expected_items(path, self.env)), path)

    def test_6_nautilus_extension_offers_the_items_of_the_file(self):
        # The extension as Nautilus loads it, against stand-ins of the few classes it uses.
        class Item:
            def __init__(self, name, label):
                self.label, self.sub = label, None

            def set_submenu(self, sub):
                self.sub = sub

            def connect(self, *args):
                pass

        class Menu(list):
            append_item = list.append

        class Info:
            def __init__(self, path):
                self.path = path

            def get_uri_scheme(self):
                return "file"

            def is_directory(self):
                return False

            def get_uri(self):
                return "file://" + self.path

        nautilus = types.SimpleNamespace(MenuItem=Item, Menu=Menu, MenuProvider=type("MenuProvider", (), {}))
        gi = types.ModuleType("gi")
        gi.repository = types.ModuleType("gi.repository")
        gi.repository.GObject = types.SimpleNamespace(GObject=type("GObject", (), {}))
        gi.repository.Nautilus = nautilus
        sys.modules.update({"gi": gi, "gi.repository": gi.repository})
        sys.path.insert(0, "/usr/share/nautilus-python/extensions")
        try:
            import orvik_menu
        finally:
            sys.path.pop(0)
        self.assertEqual(orvik_menu.HELPER, HELPER)
        provider = orvik_menu.OrvikMenuProvider()
        for path in (self.plain, self.secure):
            (top,) = provider.get_file_items(None, [Info(path)])
            self.assertEqual([i.label for i in top.sub], expected_items(path, self.env), path)
        self.assertEqual(provider.get_file_items(None, [Info(self.plain), Info(self.secure)]), [])

    def test_9_removing_and_purging_leave_nothing_behind(self):
        # As root the library logs beside the programs; the import above compiled the extension.
        run("/usr/bin/orvikctl", "list", env=self.env)
        run("dpkg", "-r", "orvik")
        self.assertEqual(sorted(snapshot() ^ self.before), [], "after dpkg -r")
        run("dpkg", "-P", "orvik")
        self.assertEqual(sorted(snapshot() ^ self.before), [], "after dpkg -P")
        self.assertNotIn("ii", run("dpkg-query", "-W", "-f=${db:Status-Abbrev}", "orvik", check=False).stdout)


def main():
    global DEB
    if os.geteuid() != 0:
        print("package test: needs root (it installs the package); skipped")
        return SKIP
    if run("dpkg-query", "-W", "-f=${Status}", "orvik", check=False).stdout.startswith("install ok"):
        print("package test: orvik is installed on this machine already; left alone, skipped")
        return SKIP
    if not DEB:
        built = sorted(glob.glob(os.path.join(SOURCE, "build", "package", "orvik_*.deb")), key=os.path.getmtime)
        DEB = built[-1] if built else run(os.path.join(SOURCE, "scripts", "package.sh")).stdout.split()[-1]
        DEB = os.path.join(SOURCE, DEB) if not os.path.isabs(DEB) else DEB
    result = unittest.main(argv=[sys.argv[0], "-v"], exit=False).result
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
