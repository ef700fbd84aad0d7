// ldap-search: correspondents' certificates from the authority's directories.
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <DirectoryTrust.h>
#include <LdapCert.h>
#include <OtherCertStore.h>

#include "Command.h"
#include "Options.h"

namespace orvikctl {
namespace {

int ldapSearch(const Args& args) {
    Parsed p = parseOptions(args, {"host", "name"}, {"import"});
    if (!p.ok) return fail(p.error);
    if (p.positional.size() > 1) return usage("ldap-search");
    const std::string email = p.positional.empty() ? std::string() : p.positional[0];
    const std::string name = p.value("name");
    if (email.empty() && name.empty()) return usage("ldap-search");

    std::vector<std::string> hosts =
        p.has("host") ? std::vector<std::string>{p.value("host")} : CLdapCert::directoryHosts();
    std::vector<std::unique_ptr<CDigitalCertificate>> found;
    int failures = 0;
    CLdapCert directory;
    for (const auto& host : hosts) {
        std::vector<CDigitalCertificate*> out;
        int rc = directory.getUserCertificates(host.c_str(), name.c_str(), email.c_str(), out);
        for (auto* c : out) found.emplace_back(c);
        if (rc == CLdapCert::kNoConnection) {
            std::fprintf(stderr, "orvikctl: no connection to %s\n", host.c_str());
            ++failures;
        } else if (rc == CLdapCert::kSecureConnectionFailed) {
            std::string why = CLdapCert::TlsProblemWords(directory.tlsProblem());
            if (!directory.tlsDetail().empty()) why += " (" + directory.tlsDetail() + ")";
            std::fprintf(stderr, "orvikctl: no secure connection to %s: %s; nothing was asked\n", host.c_str(),
                         why.c_str());
            ++failures;
        } else if (rc != 0) {
            std::fprintf(stderr, "orvikctl: the search on %s failed (LDAP error %d)\n", host.c_str(), rc);
            ++failures;
        }
    }

    COtherCertStore book;
    if (p.has("import") && book.OpenCertStore() != 0) return fail("cannot open ADDRESSBOOK");
    const CDirectoryTrust trust;
    std::set<std::string> seen;  // the same certificate may stand in both directories
    for (auto& c : found) {
        std::string thumb, cn, mail;
        c->GetCertInfo("ThumbPrint", thumb);
        if (!seen.insert(thumb).second) continue;
        c->GetCertInfo("SubjectCN", cn);
        c->GetCertInfo("SubjectEmail", mail);
        const std::string verdict = CDirectoryTrust::Words(trust.Check(*c));
        std::printf("%s\t%s\t%s\t%s\n", thumb.c_str(), cn.c_str(), mail.c_str(), verdict.c_str());
        if (p.has("import") && book.ImportCert(c.get()) != 0) return fail("cannot add " + thumb + " to ADDRESSBOOK");
    }
    // Every directory failed: the user learns that, not that nothing matched.
    return failures == static_cast<int>(hosts.size()) ? Failed : Ok;
}

const bool added = registered({
    {"ldap-search", "[--host HOST[:PORT]] [--import] EMAIL | --name NAME [EMAIL]",
     "certificates from the directories (both deployment hosts unless --host; TLS as DirectoryTls says): "
     "thumbprint TAB SubjectCN TAB SubjectEmail TAB \"trusted\" or what is wrong (untrusted issuer, expired, not yet "
     "valid, not for encryption); --import adds them to ADDRESSBOOK",
     ldapSearch},
});

}  // namespace
}  // namespace orvikctl
