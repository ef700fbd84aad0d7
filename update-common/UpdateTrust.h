// What makes an update trustworthy: FileList.xml signed (a detached CMS signature beside it) by a
// certificate that chains to the deployment's update-signing authority, later than the installed
// list, and naming the size and SHA-256 of every file it offers. Nothing from the server is put in
// place or started before these hold.
#pragma once

#include <string>

#include "UpdateApi.h"

class FileList;
class OrvikFile;

namespace updatetrust {

inline constexpr const char* kListName = "FileList.xml";
inline constexpr const char* kSignatureName = "FileList.xml.p7s";
// The reader takes lists up to 1 MiB; a download is stopped as soon as it passes these.
inline constexpr long long kMaxListBytes = 1LL << 20;
inline constexpr long long kMaxSignatureBytes = 256LL << 10;

// The programs the update starts: the list must name both with size and hash.
inline constexpr const char* kFetcherName = "OrvikFetch";
inline constexpr const char* kInstallerName = "Handover";

enum class Verdict {
    Good,
    Missing,      // no signature
    Invalid,      // not a signature, or not one over these bytes
    Untrusted,    // a good signature by a certificate that does not chain to the authority
    NoAuthority,  // the deployment names no usable authority
};

// `authority`: PEM certificates, or the SHA-256 fingerprint (hex, colons and blanks allowed) of a
// certificate the signature carries. The first form uses the deployment's UpdateAuthority.
// `signer` receives the signing certificate's subject when the signature is good.
ORVIKUPDATE_API Verdict verifyList(const std::string& list, const std::string& signature,
                                   std::string* signer = nullptr);
ORVIKUPDATE_API Verdict verifyList(const std::string& list, const std::string& signature, const std::string& authority,
                                   std::string* signer);

// A detached, DER-encoded signature of `list` (SHA-256) carrying the signer's certificate and
// those of `chainPem`. False with `error` set when the inputs do not make a signature.
ORVIKUPDATE_API bool signList(const std::string& list, const std::string& certPem, const std::string& keyPem,
                              const std::string& chainPem, std::string& signature, std::string& error);

// The text between the first <UpdateDate> and the </UpdateDate> after it; empty without one.
// Dates compare as texts: a later list sorts after.
ORVIKUPDATE_API std::string listDate(const std::string& list);

// The name of the first file the list offers without a decimal FileSize and a 64-digit
// FileSHA256, or of the fetcher or installer when it lacks them; empty when every file is covered.
ORVIKUPDATE_API std::string uncoveredFile(const FileList& list);
// The list's entry for `name` and its size; false when the list names no such file.
ORVIKUPDATE_API bool listedFile(const FileList& list, const std::string& name, OrvikFile& file, long long& size);

// The size and SHA-256 (lower-case hex) of a regular file, read in pieces; false when it is not
// one or cannot be read.
ORVIKUPDATE_API bool hashFile(const std::string& path, long long& size, std::string& sha256);

// What the user reads when an update is refused, or the server did not answer.
inline constexpr const char* kNoServer = "无法连接服务器，请稍候重试";
inline constexpr const char* kSignatureMissing = "服务器上的更新清单没有签名，已停止更新。";
inline constexpr const char* kSignatureInvalid = "更新文件签名无效，已停止更新。";
inline constexpr const char* kSignerUntrusted = "更新清单不是由受信任的发布者签名的，已停止更新。";
inline constexpr const char* kNoAuthority = "没有设置可用的更新签名机构，无法验证更新，已停止更新。";
inline constexpr const char* kListOlder = "服务器上的更新清单早于已安装的清单，已停止更新。";
inline constexpr const char* kListTooLarge = "更新清单超出了允许的大小，已停止更新。";
inline constexpr const char* kServerUntrusted = "无法验证更新服务器的证书，已停止更新。";
inline constexpr const char* kRedirectRefused = "更新服务器把下载转到了不允许的地址，已停止更新。";
// With the file's name in place of %s.
inline constexpr const char* kFileUncovered = "更新清单没有给出“%s”的大小和校验值，已停止更新。";
inline constexpr const char* kFileMismatch = "下载的“%s”与更新清单不符，已停止更新。";

ORVIKUPDATE_API const char* verdictText(Verdict verdict);
ORVIKUPDATE_API std::string withName(const char* text, const std::string& name);

}  // namespace updatetrust
