// accounts, account-cert: the mail client's accounts and their certificates.
#include <cstdio>
#include <string>

#include <MyCertStore.h>
#include <OEEmailAcc.h>

#include "Command.h"
#include "Options.h"

namespace orvikctl {
namespace {

std::string hexOf(CRegProperty* value) {
    CBBuffer* b = value->getBuf();
    if (b->size() == 0) return "-";
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (int i = 0; i < b->size(); ++i) {
        if (i) out += ' ';
        out += digits[b->GetBuffer()[i] >> 4];
        out += digits[b->GetBuffer()[i] & 15];
    }
    return out;
}

int accounts(const Args& args) {
    if (!args.empty()) return usage("accounts");
    COEEmailAcc list;
    if (list.getEmailAcc() != 0) return fail("the mail client has no accounts (no " OE_ACCOUNTS_KEY " key)");
    // key, name, address, signing and encryption thumbprints
    for (int i = 0; i < list.GetCount(); ++i) {
        CEmailAccount* a = list.getAccount(i);
        std::printf("%s\t%s\t%s\t%s\t%s\n", a->getAccountKey()->getText().c_str(),
                    a->getAccountName()->getText().c_str(), a->getEmailAddress()->getText().c_str(),
                    hexOf(a->getSignBuffer()).c_str(), hexOf(a->getCryptBuffer()).c_str());
    }
    return Ok;
}

// "none" empties the value; a thumbprint must name a personal certificate with that use.
bool pick(CMyCertStore& store, const std::string& thumb, bool signing, CDigitalCertificate*& out, std::string& error) {
    out = nullptr;
    if (thumb == "none") return true;
    std::string text = thumb;
    out = store.FindByThumb(text);
    if (!out) {
        error = "no certificate " + thumb + " in the personal store";
        return false;
    }
    if (signing ? !out->isSignUse() : !out->isCryptUse()) {
        error = thumb + (signing ? " may not sign" : " may not encrypt");
        return false;
    }
    return true;
}

int accountCert(const Args& args) {
    Parsed p = parseOptions(args, {"sign", "encrypt"});
    if (!p.ok) return fail(p.error);
    if (p.positional.size() != 1 || (!p.has("sign") && !p.has("encrypt"))) return usage("account-cert");
    COEEmailAcc list;
    if (list.getEmailAcc() != 0) return fail("the mail client has no accounts");
    CEmailAccount* account = nullptr;
    for (int i = 0; i < list.GetCount() && !account; ++i)
        if (list.getAccount(i)->getAccountKey()->getText() == p.positional[0]) account = list.getAccount(i);
    for (int i = 0; i < list.GetCount() && !account; ++i)
        if (list.getAccount(i)->getAccountName()->getText() == p.positional[0]) account = list.getAccount(i);
    if (!account) return fail("no account " + p.positional[0]);
    CMyCertStore store;
    if (store.OpenCertStore() != 0) return fail("cannot open the personal store");
    std::string error;
    CDigitalCertificate* cert = nullptr;
    if (p.has("sign")) {
        if (!pick(store, p.value("sign"), true, cert, error)) return fail(error);
        account->setSignCert(cert);
    }
    if (p.has("encrypt")) {
        if (!pick(store, p.value("encrypt"), false, cert, error)) return fail(error);
        account->setCrytpCert(cert);
    }
    int rc = list.SaveEmailAcc(account);
    if (rc == 20) return fail("the account " + p.positional[0] + " is no longer in the registry");
    if (rc != 0) return fail("the account's certificates cannot be written");
    std::printf("%s: signing %s, encryption %s\n", account->getAccountName()->getText().c_str(),
                hexOf(account->getSignBuffer()).c_str(), hexOf(account->getCryptBuffer()).c_str());
    return Ok;
}

const bool added = registered({
    {"accounts", "", "the mail client's accounts: key, name, e-mail, signing and encryption thumbprints", accounts},
    {"account-cert", "ACCOUNT [--sign THUMBPRINT|none] [--encrypt THUMBPRINT|none]",
     "set or clear an account's signing and encryption certificates", accountCert},
});

}  // namespace
}  // namespace orvikctl
