// Deployment data: the hosts and addresses one installation talks to. Each value has a compiled-in
// default that HKLM\Software\Orvikon\Deployment overrides (a REG_SZ, or a REG_DWORD for numbers),
// so an installer or a test can point the system elsewhere. A host value may carry ":port".
#pragma once

#include <string>

#include "../windef.h"

namespace orvik::deployment {

// Directory host 1 is searched with an empty base, every other host with kDirectoryBase.
inline constexpr const char* kDirectoryHost1 = "DirectoryHost1";
inline constexpr const char* kDirectoryHost2 = "DirectoryHost2";
inline constexpr const char* kDirectoryBase = "DirectoryBase";
// Seconds: to set up a directory connection, and to wait for any one answer on it.
inline constexpr const char* kDirectoryConnectTimeout = "DirectoryConnectTimeout";
inline constexpr const char* kDirectoryTimeout = "DirectoryTimeout";
// Entries one directory search returns at most.
inline constexpr const char* kDirectorySizeLimit = "DirectorySizeLimit";
// "none" (plain LDAP), "ldaps" (TLS from the start, port 636 unless given) or "starttls" (TLS asked
// for before the bind). The server's certificate must chain to an authority of the system's CA
// bundle or the user's "Root" and "CA" stores, and name the host.
inline constexpr const char* kDirectoryTls = "DirectoryTls";

// The maker's home page, the address problem reports go to, the service site shown when the user
// has chosen none, and the update server's host.
inline constexpr const char* kHomePage = "HomePage";
inline constexpr const char* kProblemReport = "ProblemReport";
inline constexpr const char* kServiceSite = "ServiceSite";
inline constexpr const char* kUpdateHost = "UpdateHost";
// The update server's folder of this build's files (its list names Linux programs), and where the
// list's "sys" files go (empty: the program folder, where the programs load their libraries from).
inline constexpr const char* kUpdatePath = "UpdatePath";
inline constexpr const char* kSystemDir = "SystemDir";
// Seconds the update list and existence checks may take in all, so a dead server cannot hold up
// the assistant's start.
inline constexpr const char* kUpdateTimeout = "UpdateTimeout";
// The authority whose certificates may sign FileList.xml: its certificate in PEM, or the SHA-256
// fingerprint of it (hex) when the signature carries the certificate.
inline constexpr const char* kUpdateAuthority = "UpdateAuthority";
// PEM certificates the update server's TLS certificate must chain to; empty: the system's bundle.
inline constexpr const char* kUpdateServerCa = "UpdateServerCa";
// Hosts, separated by blanks or commas, that the update server may redirect downloads to.
inline constexpr const char* kUpdateRedirectHosts = "UpdateRedirectHosts";

// The registry's value when it holds one, else the default; empty for an unknown name.
ORVIK_PLATFORM_API std::string text(const char* name);
// A number: a REG_DWORD, or a REG_SZ of decimal digits; else the default (0 for an unknown name).
ORVIK_PLATFORM_API unsigned long number(const char* name);

}  // namespace orvik::deployment
