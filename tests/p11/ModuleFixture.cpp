#include "p11/ModuleFixture.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include <orvik/PersonalModule.h>

#include "MyCertStore.h"
#include "support/Shell.h"

namespace orvik::test {

std::string modulePath() { return ORVIK_P11_CLIENT_MODULE; }

LoadedModule::LoadedModule() {
    // Kept loaded: the module's state for the process outlives one client, as in a browser.
    library_ = dlopen(ORVIK_P11_MODULE, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!library_) throw std::runtime_error(dlerror());
    auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(library_, "C_GetFunctionList"));
    if (!get || get(&functions_) != CKR_OK) throw std::runtime_error("no C_GetFunctionList");
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    if (functions_->C_Initialize(&args) != CKR_OK) throw std::runtime_error("C_Initialize failed");
}

LoadedModule::~LoadedModule() {
    if (functions_) functions_->C_Finalize(nullptr);
    if (library_) dlclose(library_);
}

CK_SESSION_HANDLE LoadedModule::open() {
    CK_SESSION_HANDLE session = 0;
    EXPECT_EQ(functions_->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
    return session;
}

std::vector<CK_OBJECT_HANDLE> LoadedModule::find(CK_SESSION_HANDLE session, std::vector<CK_ATTRIBUTE> templ) {
    std::vector<CK_OBJECT_HANDLE> out;
    if (functions_->C_FindObjectsInit(session, templ.data(), templ.size()) != CKR_OK) return out;
    CK_OBJECT_HANDLE batch[7];
    CK_ULONG n = 0;
    while (functions_->C_FindObjects(session, batch, 7, &n) == CKR_OK && n) out.insert(out.end(), batch, batch + n);
    functions_->C_FindObjectsFinal(session);
    return out;
}

std::vector<CK_OBJECT_HANDLE> LoadedModule::findClass(CK_SESSION_HANDLE session, CK_OBJECT_CLASS cls) {
    return find(session, {{CKA_CLASS, &cls, sizeof cls}});
}

std::string LoadedModule::attribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE a{type, nullptr, 0};
    if (functions_->C_GetAttributeValue(session, object, &a, 1) != CKR_OK) return "<none>";
    std::string value(a.ulValueLen, '\0');
    a.pValue = value.data();
    if (functions_->C_GetAttributeValue(session, object, &a, 1) != CKR_OK) return "<none>";
    return value;
}

bool LoadedModule::flag(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
    std::string value = attribute(session, object, type);
    return value.size() == 1 && value[0] == CK_TRUE;
}

CK_OBJECT_HANDLE LoadedModule::keyOf(CK_SESSION_HANDLE session, const std::string& label) {
    CK_OBJECT_CLASS cert = CKO_CERTIFICATE;
    auto certs =
        find(session, {{CKA_CLASS, &cert, sizeof cert}, {CKA_LABEL, const_cast<char*>(label.data()), label.size()}});
    if (certs.size() != 1) return CK_INVALID_HANDLE;
    std::string id = attribute(session, certs[0], CKA_ID);
    CK_OBJECT_CLASS priv = CKO_PRIVATE_KEY;
    auto keys = find(session, {{CKA_CLASS, &priv, sizeof priv}, {CKA_ID, id.data(), id.size()}});
    return keys.size() == 1 ? keys[0] : CK_INVALID_HANDLE;
}

ModuleUser::ModuleUser() {
    if (const char* home = std::getenv("HOME")) previousHome_ = home;
    setenv("HOME", home_.path().c_str(), 1);
}

ModuleUser::~ModuleUser() { setenv("HOME", previousHome_.c_str(), 1); }

void ModuleUser::importPersonal(const IssuedCert& cert) {
    const std::string path = work_.file("import.p12");
    TestPki::save(path, TestPki::pkcs12(cert, "p12pass"));
    ASSERT_EQ(CMyCertStore().ImportP12(nullptr, path.c_str(), "p12pass"), 0);
}

void ModuleUser::importCertificate(const IssuedCert& cert, const char* store) {
    const std::string path = work_.file("import.pem");
    TestPki::save(path, cert.pem);
    auto r = runShell(std::string(ORVIKCTL_PATH) + " import-cert " + path + " --store " + store + " 2>&1");
    ASSERT_EQ(r.code, 0) << r.out;
}

void ModuleUser::removePersonal(const IssuedCert& cert) {
    auto r = runShell(std::string(ORVIKCTL_PATH) + " remove " + hex(cert.sha1) + " --store MY 2>&1");
    ASSERT_EQ(r.code, 0) << r.out;
}

void ModuleUser::registerWithP11Kit() {
    const std::string dir = home_.path() + "/.config/pkcs11/modules";
    ASSERT_EQ(runShell("mkdir -p " + shellQuoted(dir)).code, 0);
    writeFile(dir + "/" + p11::kP11KitModuleName + ".module", "module: " + modulePath() + "\n");
}

ModuleUser::Result ModuleUser::run(const std::string& command) const {
    // p11-kit reads no user's registration in a program running as root: as root (CI), the tools
    // run as an unprivileged user who owns this user's folders.
    std::string prefix;
    if (getuid() == 0) {
        const std::string folders =
            shellQuoted(orvikHome_.path()) + " " + shellQuoted(home_.path()) + " " + shellQuoted(work_.path());
        EXPECT_EQ(runShell("chown -R 65534:65534 " + folders).code, 0);
        prefix = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    }
    auto r = runShell("env HOME=" + shellQuoted(home_.path()) + " ORVIK_HOME=" + shellQuoted(orvikHome_.path()) + " " +
                      prefix + "sh -c " + shellQuoted("cd " + shellQuoted(work_.path()) + " && " + command) + " 2>&1");
    return {r.code, r.out};
}

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

}  // namespace orvik::test
