// Logging in to a service site that asks for a client certificate: the embedded browser finds the
// personal certificates through the module listed in ~/.pki/nssdb, the user picks one, and only
// that choice gets the user in.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QSignalSpy>
#include <QTimer>
#include <QTreeWidget>
#include <chrono>
#include <cstdlib>
#include <map>
#include <thread>

#ifdef ORVIK_HAVE_WEBENGINE
#include <QWebEnginePage>
#include <QWebEngineView>
#endif

#include <orvik/PersonalModule.h>
#include <winuser.h>

#include "MyCertStore.h"
#include "ModalDriver.h"
#include "app/AssistantApp.h"
#include "app/Profile.h"
#include "crypt/MozillaHomeFixture.h"
#include "dialogs/CertificateViewer.h"
#include "dialogs/ClientCertDialog.h"
#include "pages/LifecyclePanel.h"
#include "support/ChildProcess.h"
#include "support/Shell.h"
#include "support/Slapd.h"
#include "support/TempHome.h"
#include "support/TestPki.h"
#include "ui/FileDialogFacade.h"
#include "ui/MessageBoxFacade.h"

using namespace orvikdesk;
using namespace orvik::test;

namespace {

const char kUserCn[] = "Site Login User";

// A page of the site, as the browser in the child saw it: what the picker offered and what loaded.
struct Visit {
    int code = -1;
    std::map<std::string, std::string> facts;
    std::string text;  // the page's plain text
};

std::string upperHex(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) out += {digits[c >> 4], digits[c & 15]};
    return out;
}

// The extensions a browser wants of a site's certificate for a bare address: the address in
// subjectAltName and serverAuth. TestPki writes neither, so the site's authority is OpenSSL's.
const char kSiteConfig[] = R"([req]
distinguished_name = dn
prompt = no
[dn]
CN = unused
[ca]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[site]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = IP:127.0.0.1
authorityKeyIdentifier = keyid
)";

class SiteClientCert : public ::testing::Test {
protected:
    void SetUp() override {
#ifndef ORVIK_HAVE_WEBENGINE
        GTEST_SKIP() << "built without Qt WebEngine";
#endif
        me = TestPki::instance().issue({.cn = kUserCn, .email = "login@example.test", .keyUsage = 0xA0});
        TestPki::save(work.file("me.p12"), TestPki::pkcs12(me, "p12pass"));
        ASSERT_EQ(CMyCertStore().ImportP12(nullptr, work.file("me.p12").c_str(), "p12pass"), 0);

        writeFile(work.file("site.cnf"), kSiteConfig);
        const std::string newKey = " -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes ";
        auto made = runShell("cd " + shellQuoted(work.path()) +
                             " && openssl req -x509 -config site.cnf -extensions ca" + newKey +
                             "-keyout siteca.key -out siteca.pem -days 2 -subj '/CN=Orvik Site Test Authority' 2>&1 && "
                             "openssl req -new -config site.cnf" +
                             newKey +
                             "-keyout site.key -out site.csr -subj /CN=127.0.0.1 2>&1 && "
                             "openssl x509 -req -in site.csr -CA siteca.pem -CAkey siteca.key -set_serial 2 -days 2 "
                             "-extfile site.cnf -extensions site -out site.pem 2>&1");
        ASSERT_EQ(made.code, 0) << made.out;
        TestPki::save(work.file("authorities.pem"), TestPki::instance().root().pem + TestPki::instance().ca().pem);

        // The site's authority is trusted before the module is listed, so that only modutil loads
        // the instrumented module.
        const std::string db = browserHome.sharedDatabase();
        auto trusted = MozillaHome::tool("certutil -A -n siteca -t C,, -i " + shellQuoted(work.file("siteca.pem")) +
                                         " -d sql:" + db);
        ASSERT_EQ(trusted.code, 0) << trusted.out;
        auto added = MozillaHome::tool("modutil -force -add " + shellQuoted(orvik::p11::kNssModuleName) + " -libfile " +
                                       shellQuoted(ORVIK_P11_MODULE) + " -dbdir sql:" + db);
        ASSERT_EQ(added.code, 0) << added.out;

        startSite();
    }

    void TearDown() override {
        if (server_ > 0) {
            kill(server_, SIGTERM);
            waitpid(server_, nullptr, 0);
        }
    }

    // OpenSSL's test server, which lets in only a certificate of the test authority and then
    // answers every request with a page naming the client's certificate.
    void startSite() {
        port_ = orvik::test::closedPort();
        server_ = fork();
        if (server_ == 0) {
            const std::string accept = "127.0.0.1:" + std::to_string(port_);
            const std::string cert = work.file("site.pem"), key = work.file("site.key"),
                              cas = work.file("authorities.pem");
            if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr)) _exit(127);
            execlp("openssl", "openssl", "s_server", "-quiet", "-accept", accept.c_str(), "-cert", cert.c_str(), "-key",
                   key.c_str(), "-CAfile", cas.c_str(), "-Verify", "2", "-verify_return_error", "-www", nullptr);
            _exit(127);
        }
        for (int i = 0; i < 200 && !orvik::test::accepts(port_); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_TRUE(orvik::test::accepts(port_)) << "s_server did not start";
    }

    // The service page in a process of its own: the browser reads ~/.pki/nssdb once, when it
    // starts, so it must start with this test's HOME.
    Visit visit(const std::string& answer) {
        Visit v;
        const std::string out = work.file("visit-" + answer + ".txt");
        ChildProcess child("site-client-cert", {"https://127.0.0.1:" + std::to_string(port_) + "/", answer, out});
        EXPECT_TRUE(child.started());
        v.code = child.wait();
        const std::string report = fileExists(out) ? readFile(out) : std::string();
        const size_t body = report.find("\n--\n");
        size_t at = 0;
        while (at < body && body != std::string::npos) {
            const size_t end = report.find('\n', at);
            const std::string line = report.substr(at, end - at);
            const size_t eq = line.find('=');
            if (eq != std::string::npos) v.facts[line.substr(0, eq)] = line.substr(eq + 1);
            at = end + 1;
        }
        if (body != std::string::npos) v.text = report.substr(body + 4);
        return v;
    }

    TempHome home;
    MozillaHome browserHome;  // HOME, with ~/.pki/nssdb
    TempDir work;
    IssuedCert me;

private:
    uint16_t port_ = 0;
    pid_t server_ = -1;
};

#ifdef ORVIK_HAVE_WEBENGINE

// Opens the url as the service site, answers the picker ("pick" or "cancel"), and writes what
// was offered and what the page shows to the report file.
int visitSite(const std::vector<std::string>& args) {
    if (args.size() != 3) return 2;
    alarm(240);  // never outlive the test that waits for it
    unsetenv("ORVIK_NO_WEBENGINE");
    const bool pick = args[1] == "pick";
    int argc = 1;
    char name[] = "desk_tests";
    char* argv[] = {name, nullptr};
    QApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    CAssistantApp::prepare(app);
    MessageBoxFacade::setHeadless(true);
    FileDialogFacade::setHeadless(true);
    CCertificateViewer::setHeadless(true);
    profile::write("ServiceURL\\00000000", "Value", args[0]);
    profile::write("ServiceURL", "Default", "00000000");

    std::string facts;
    int asked = 0;
    QTimer picker;
    picker.setInterval(20);
    QObject::connect(&picker, &QTimer::timeout, [&] {
        auto* d = qobject_cast<CClientCertDialog*>(QApplication::activeModalWidget());
        if (!d) return;
        auto* list = d->findChild<QTreeWidget*>(QString::number(CClientCertDialog::IDC_LIST));
        if (++asked == 1 && list) {
            facts += "offered=" + std::to_string(list->topLevelItemCount()) + "\n";
            for (int i = 0; i < list->topLevelItemCount(); ++i) {
                facts += "name" + std::to_string(i) + "=" + list->topLevelItem(i)->text(0).toStdString() + "\n";
                facts += "issuer" + std::to_string(i) + "=" + list->topLevelItem(i)->text(1).toStdString() + "\n";
            }
            // The viewer names the certificate itself, by its thumbprint.
            CCertificateViewer::clearShown();
            if (list->topLevelItemCount() == 1) {
                list->setCurrentItem(list->topLevelItem(0));
                test::click(d, CClientCertDialog::IDC_VIEW);
                if (!CCertificateViewer::shown().empty())
                    facts += "thumbprint=" + CCertificateViewer::shown().back().toStdString() + "\n";
            }
        }
        if (pick && list && list->topLevelItemCount() > 0) {
            list->setCurrentItem(list->topLevelItem(0));
            test::click(d, IDOK);
        } else {
            test::click(d, IDCANCEL);
        }
    });
    picker.start();

    int code = 0;
    {
        CLifecyclePanel panel(nullptr);
        if (!panel.usesEngine()) return 3;
        panel.setLoadTimeout(120000);  // the picker's time is not counted; an instrumented start is slow
        panel.resize(800, 600);
        panel.show();
        QSignalSpy loads(&panel, &CLifecyclePanel::loadEnded);
        panel.home();
        if (!loads.wait(180000)) code = 4;
        facts += "asked=" + std::to_string(asked) + "\n";
        facts += "loaded=" + std::string(!loads.isEmpty() && loads.first().at(0).toBool() ? "1" : "0") + "\n";
        facts += "fallback=" + std::string(panel.showingFallback() ? "1" : "0") + "\n";
        QString text;
        auto* page = panel.findChild<QWebEngineView*>(QString::number(CLifecyclePanel::IDC_BROWSER))->page();
        QEventLoop wait;
        page->toPlainText([&](const QString& t) {
            text = t;
            wait.quit();
        });
        QTimer::singleShot(30000, &wait, &QEventLoop::quit);
        wait.exec();
        QFile out(QString::fromStdString(args[2]));
        if (!out.open(QIODevice::WriteOnly)) return 5;
        out.write(QByteArray::fromStdString(facts + "--\n") + text.toUtf8());
    }
    picker.stop();
    return code;
}

ORVIK_CHILD_ENTRY("site-client-cert", visitSite);

#endif

}  // namespace

TEST_F(SiteClientCert, TheServicePageLogsInWithTheCertificateTheUserPicks) {
    Visit v = visit("pick");
    ASSERT_EQ(v.code, 0) << v.text;
    EXPECT_EQ(v.facts["asked"], "1");
    ASSERT_EQ(v.facts["offered"], "1") << "the personal certificate, found through the module, and nothing else";
    EXPECT_EQ(v.facts["name0"], kUserCn);
    EXPECT_EQ(v.facts["issuer0"], "Orvik Test CA");
    EXPECT_EQ(v.facts["thumbprint"], upperHex(me.sha1));
    EXPECT_EQ(v.facts["loaded"], "1");
    EXPECT_EQ(v.facts["fallback"], "0");
    const size_t server = v.text.find("s_server");
    ASSERT_NE(server, std::string::npos) << v.text;
    EXPECT_NE(v.text.find(kUserCn, server), std::string::npos) << "the site saw the chosen certificate\n" << v.text;
}

TEST_F(SiteClientCert, DecliningThePickerSendsNoCertificateAndTheSiteRefuses) {
    Visit v = visit("cancel");
    ASSERT_EQ(v.code, 0) << v.text;
    EXPECT_EQ(v.facts["asked"], "1");
    EXPECT_EQ(v.facts["offered"], "1");
    EXPECT_EQ(v.facts["loaded"], "0");
    EXPECT_EQ(v.facts["fallback"], "1") << "the refused site gives the text page";
    EXPECT_EQ(v.text.find("s_server"), std::string::npos) << v.text;
    EXPECT_EQ(v.text.find(kUserCn), std::string::npos) << v.text;
}
