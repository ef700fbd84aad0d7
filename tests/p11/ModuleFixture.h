// The personal store's PKCS#11 module as its clients meet it: loaded in this process, or used by
// outside tools, over a fresh ORVIK_HOME and HOME that the fixture fills.
#pragma once

#include <p11-kit/pkcs11.h>

#include <string>
#include <vector>

#include "support/TempHome.h"
#include "support/TestPki.h"

namespace orvik::test {

// The module's path in the build, for programs outside it.
std::string modulePath();

// The module loaded and initialised; finalised and unloaded at the end.
class LoadedModule {
public:
    LoadedModule();
    ~LoadedModule();
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    CK_FUNCTION_LIST* operator->() const { return functions_; }
    CK_FUNCTION_LIST* get() const { return functions_; }

    CK_SESSION_HANDLE open();
    // Every object matching a template, found in one search.
    std::vector<CK_OBJECT_HANDLE> find(CK_SESSION_HANDLE session, std::vector<CK_ATTRIBUTE> templ);
    std::vector<CK_OBJECT_HANDLE> findClass(CK_SESSION_HANDLE session, CK_OBJECT_CLASS cls);
    std::string attribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type);
    bool flag(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type);
    // The private key whose CKA_ID is that of the certificate with this label.
    CK_OBJECT_HANDLE keyOf(CK_SESSION_HANDLE session, const std::string& label);

private:
    void* library_ = nullptr;
    CK_FUNCTION_LIST* functions_ = nullptr;
};

// A user of the assistant: their ORVIK_HOME and HOME, and what they imported.
class ModuleUser {
public:
    ModuleUser();
    ~ModuleUser();

    // A certificate with its key into the personal store, as the import dialog does.
    void importPersonal(const IssuedCert& cert);
    // A certificate alone into a store ("MY", "CA", ...).
    void importCertificate(const IssuedCert& cert, const char* store);
    // Deleted by another process, as the assistant deletes it.
    void removePersonal(const IssuedCert& cert);
    // The module registered with p11-kit for this user.
    void registerWithP11Kit();

    const std::string& home() const { return home_.path(); }
    std::string file(const std::string& name) const { return work_.file(name); }
    // Runs a command with this user's HOME and the tools' environment; standard error included.
    struct Result {
        int code;
        std::string out;
    };
    Result run(const std::string& command) const;

private:
    TempHome orvikHome_;
    TempDir home_, work_;
    std::string previousHome_;
};

std::string hex(const std::string& bytes);

}  // namespace orvik::test
