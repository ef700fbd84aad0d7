// Real clients of the module: OpenSC's pkcs11-tool, GnuTLS through the user's p11-kit
// registration, NSS through a database that lists the module, and TLS client authentication
// against OpenSSL's s_server on the loopback address.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <orvik/PersonalModule.h>

#include "p11/ModuleFixture.h"
#include "support/Shell.h"
#include "support/Slapd.h"

using namespace orvik::test;

namespace {

IssuedCert personal(const std::string& cn) {
    // digitalSignature and keyEncipherment: TLS, signing and decryption alike.
    return TestPki::instance().issue({.cn = cn, .email = cn + "@example.com", .keyUsage = 0xA0});
}

// OpenSSL's test server on 127.0.0.1, requiring a client certificate from the test authority.
class TlsServer {
public:
    TlsServer(const ModuleUser& user) : port_(orvik::test::closedPort()) {
        auto& pki = TestPki::instance();
        auto server = pki.issue({.cn = "127.0.0.1", .email = "", .keyUsage = 0xA0});
        TestPki::save(user.file("server.pem"), server.pem);
        TestPki::save(user.file("server.key"), server.keyPem);
        TestPki::save(user.file("authorities.pem"), pki.root().pem + pki.ca().pem);
        pid_ = fork();
        if (pid_ == 0) {
            const std::string accept = "127.0.0.1:" + std::to_string(port_);
            const std::string cert = user.file("server.pem"), key = user.file("server.key"),
                              cas = user.file("authorities.pem");
            // Its chatter about each client's chain is not the test's output.
            if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr)) _exit(127);
            execlp("openssl", "openssl", "s_server", "-quiet", "-accept", accept.c_str(), "-cert", cert.c_str(), "-key",
                   key.c_str(), "-CAfile", cas.c_str(), "-Verify", "3", "-verify_return_error", "-www", nullptr);
            _exit(127);
        }
        for (int i = 0; i < 100 && !orvik::test::accepts(port_); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ~TlsServer() {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    int port() const { return port_; }

private:
    uint16_t port_;
    pid_t pid_ = -1;
};

const char kRequest[] = "printf 'GET / HTTP/1.0\\r\\n\\r\\n' | ";

std::string objectUri(const std::string& label, const char* type) {
    return "'pkcs11:model=Personal%20store;object=" + label + ";type=" + type + "'";
}

}  // namespace

TEST(PersonalModuleClients, PkcsToolListsSignsAndDecrypts) {
    ModuleUser user;
    auto me = personal("alice");
    user.importPersonal(me);
    user.importCertificate(TestPki::instance().ca(), "CA");
    TestPki::save(user.file("cert.pem"), me.pem);
    const std::string tool = "pkcs11-tool --module " + modulePath() + " ";

    auto list = user.run(tool + "--list-objects");
    ASSERT_EQ(list.code, 0) << list.out;
    EXPECT_NE(list.out.find("Private Key Object; RSA"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("label:      alice"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("Orvik Test CA"), std::string::npos) << "the intermediate is there for chains\n"
                                                                 << list.out;

    ASSERT_EQ(user.run("printf 'a contract' > data && openssl x509 -in cert.pem -pubkey -noout > pub.pem").code, 0);
    auto sign = user.run(tool + "--sign --mechanism SHA256-RSA-PKCS --label alice -i data -o sig");
    ASSERT_EQ(sign.code, 0) << sign.out;
    EXPECT_EQ(user.run("openssl dgst -sha256 -verify pub.pem -signature sig data").code, 0);
    auto pss = user.run(tool + "--sign --mechanism SHA256-RSA-PKCS-PSS --label alice -i data -o pss");
    ASSERT_EQ(pss.code, 0) << pss.out;
    auto checked = user.run(
        "openssl dgst -sha256 -sigopt rsa_padding_mode:pss -sigopt rsa_pss_saltlen:-2 -verify pub.pem -signature pss "
        "data");
    EXPECT_EQ(checked.code, 0) << checked.out;

    ASSERT_EQ(user.run("printf 'the session key' > secret && openssl pkeyutl -encrypt -pubin -inkey pub.pem -in secret "
                       "-out enc && openssl pkeyutl -encrypt -pubin -inkey pub.pem -in secret -out enc-oaep -pkeyopt "
                       "rsa_padding_mode:oaep -pkeyopt rsa_oaep_md:sha256 -pkeyopt rsa_mgf1_md:sha256")
                  .code,
              0);
    auto decrypt = user.run(tool + "--decrypt --mechanism RSA-PKCS --label alice -i enc -o plain");
    ASSERT_EQ(decrypt.code, 0) << decrypt.out;
    EXPECT_EQ(readFile(user.file("plain")), "the session key");
    auto oaep = user.run(tool +
                         "--decrypt --mechanism RSA-PKCS-OAEP --hash-algorithm SHA256 --mgf MGF1-SHA256 --label alice "
                         "-i enc-oaep -o plain-oaep");
    ASSERT_EQ(oaep.code, 0) << oaep.out;
    EXPECT_EQ(readFile(user.file("plain-oaep")), "the session key");
}

TEST(PersonalModuleClients, GnuTlsFindsTheModuleThroughTheUsersP11KitRegistration) {
    ModuleUser user;
    user.importPersonal(personal("bob"));
    auto before = user.run("p11tool --list-tokens");
    EXPECT_EQ(before.out.find("Personal store"), std::string::npos) << "not registered yet";
    user.registerWithP11Kit();
    auto tokens = user.run("p11tool --list-tokens");
    EXPECT_NE(tokens.out.find(orvik::p11::kTokenLabel), std::string::npos) << tokens.out;
    auto certs = user.run("p11tool --list-all-certs 'pkcs11:model=Personal%20store'");
    ASSERT_EQ(certs.code, 0) << certs.out;
    EXPECT_NE(certs.out.find("Label: bob"), std::string::npos) << certs.out;
}

TEST(PersonalModuleClients, TlsClientAuthenticationWithGnuTlsInBothVersionsUntilDeleted) {
    ModuleUser user;
    auto me = personal("carol");
    user.importPersonal(me);
    user.registerWithP11Kit();
    TlsServer server(user);
    const std::string client = std::string(kRequest) + "gnutls-cli --insecure --port " + std::to_string(server.port()) +
                               " --x509certfile " + objectUri("carol", "cert") + " --x509keyfile " +
                               objectUri("carol", "private") + " ";
    for (const char* version : {"VERS-TLS1.2", "VERS-TLS1.3"}) {
        auto r = user.run(client + "--priority NORMAL:-VERS-ALL:+" + version + " 127.0.0.1");
        EXPECT_NE(r.out.find("HTTP/1.0 200 ok"), std::string::npos) << version << "\n" << r.out;
    }
    // Without a certificate the server refuses: the module's key is what let the client in.
    auto bare = user.run(std::string(kRequest) + "gnutls-cli --insecure --port " + std::to_string(server.port()) +
                         " 127.0.0.1");
    EXPECT_EQ(bare.out.find("HTTP/1.0 200 ok"), std::string::npos) << bare.out;

    user.removePersonal(me);
    auto after = user.run(client + "127.0.0.1");
    EXPECT_EQ(after.out.find("HTTP/1.0 200 ok"), std::string::npos) << "deleted in the assistant\n" << after.out;
}

TEST(PersonalModuleClients, NssListsSignsDecryptsAndAuthenticatesWithTheModule) {
    ModuleUser user;
    auto me = personal("dave");
    user.importPersonal(me);
    user.importCertificate(TestPki::instance().ca(), "CA");
    TestPki::save(user.file("root.pem"), TestPki::instance().root().pem);
    TestPki::save(user.file("cert.pem"), me.pem);
    TestPki::save(user.file("chain.pem"), TestPki::instance().root().pem + TestPki::instance().ca().pem);
    const std::string db = " -d sql:" + user.file("nssdb") + " ";
    ASSERT_EQ(user.run("mkdir nssdb && certutil -N --empty-password" + db).code, 0);
    auto added = user.run("modutil -force -add " + shellQuoted(orvik::p11::kNssModuleName) + " -libfile " +
                          modulePath() + " -dbdir sql:" + user.file("nssdb"));
    ASSERT_EQ(added.code, 0) << added.out;
    // The user's own trust decision, as a browser keeps it: the root only.
    ASSERT_EQ(user.run("certutil -A -n root -t CT,C,C -i root.pem" + db).code, 0);

    auto list = user.run("certutil -L -h all" + db);
    ASSERT_EQ(list.code, 0) << list.out;
    const std::string nick = std::string(orvik::p11::kTokenLabel) + ":dave";
    EXPECT_NE(list.out.find(nick), std::string::npos) << list.out;
    auto keys = user.run("certutil -K -h " + shellQuoted(orvik::p11::kTokenLabel) + db);
    EXPECT_NE(keys.out.find("dave"), std::string::npos) << keys.out;
    auto ownKeys = [&] { return user.run("certutil -K" + db).out; };

    // A message signed by NSS with the module's key, verified by OpenSSL.
    ASSERT_EQ(user.run("printf 'signed mail' > data").code, 0);
    auto sign = user.run("cmsutil -S -N " + shellQuoted(nick) + " -i data -o signed.p7m" + db);
    ASSERT_EQ(sign.code, 0) << sign.out;
    auto verify =
        user.run("openssl cms -verify -inform DER -in signed.p7m -CAfile chain.pem -purpose any -out verified");
    EXPECT_EQ(verify.code, 0) << verify.out;
    EXPECT_EQ(readFile(user.file("verified")), "signed mail");

    // A message encrypted by OpenSSL for the certificate, decrypted by NSS through the module.
    ASSERT_EQ(user.run("openssl cms -encrypt -binary -aes256 -in data -outform DER -out enc.p7m cert.pem").code, 0);
    auto decrypt = user.run("cmsutil -D -i enc.p7m -o plain" + db);
    ASSERT_EQ(decrypt.code, 0) << decrypt.out;
    EXPECT_EQ(readFile(user.file("plain")), "signed mail");

    // NSS's own TLS client presents the certificate to a server that requires one.
    TlsServer server(user);
    for (const char* version : {"tls1.2:tls1.2", "tls1.3:tls1.3"}) {
        // From a file: at the end of a pipe it would spin on standard input.
        auto r =
            user.run("printf 'GET / HTTP/1.0\\r\\n\\r\\n' > request && timeout 60 tstclnt -h 127.0.0.1 -p " +
                     std::to_string(server.port()) + " -A request -o -n " + shellQuoted(nick) + " -V " + version + db);
        EXPECT_NE(r.out.find("HTTP/1.0 200 ok"), std::string::npos) << version << "\n" << r.out;
    }
    // Through all of it the key stayed where it lies: the database holds none of its own.
    EXPECT_EQ(ownKeys().find("dave"), std::string::npos) << ownKeys();
}

TEST(PersonalModuleClients, RegisteredForBrowsersTheirDatabasesListTheCertificateUntilUnregistered) {
    ModuleUser user;
    user.importPersonal(personal("erin"));
    const std::string profile = user.home() + "/.mozilla/firefox/abcd.default-release";
    ASSERT_EQ(runShell("mkdir -p " + shellQuoted(profile) + " && certutil -N --empty-password -d sql:" + profile).code,
              0);
    writeFile(user.home() + "/.mozilla/firefox/profiles.ini",
              "[Profile0]\nName=default-release\nIsRelative=1\nPath=abcd.default-release\nDefault=1\n");
    const std::string ctl = std::string(ORVIKCTL_PATH) + " p11 --module " + modulePath() + " ";
    auto registered = runShell("HOME=" + shellQuoted(user.home()) + " " + ctl + "register 2>&1");
    ASSERT_EQ(registered.code, 0) << registered.out;

    const std::string nick = std::string(orvik::p11::kTokenLabel) + ":erin";
    for (const std::string& db : {user.home() + "/.pki/nssdb", profile}) {
        auto list = user.run("certutil -L -h all -d sql:" + db);
        EXPECT_NE(list.out.find(nick), std::string::npos) << db << "\n" << list.out;
    }
    auto unregistered = runShell("HOME=" + shellQuoted(user.home()) + " " + ctl + "unregister 2>&1");
    ASSERT_EQ(unregistered.code, 0) << unregistered.out;
    for (const std::string& db : {user.home() + "/.pki/nssdb", profile}) {
        auto list = user.run("certutil -L -h all -d sql:" + db);
        EXPECT_EQ(list.out.find(nick), std::string::npos) << db << "\n" << list.out;
    }
}
