// The subcommands of orvikctl. Each area of the library adds its commands in its own unit.
#pragma once

#include <sys/types.h>

#include <climits>
#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace orvikctl {

using Args = std::vector<std::string>;

struct Command {
    const char* name;
    const char* usage;    // arguments, shown after the name
    const char* summary;  // one line
    int (*run)(const Args& args);
};

// Exit codes of every command.
enum Exit { Ok = 0, Failed = 1, Usage = 2 };

void addCommands(const std::vector<Command>& commands);
const std::vector<Command>& commands();

// Prints "orvikctl: <message>" to standard error and returns Failed.
int fail(const std::string& message);
// Prints the usage of one command to standard error and returns Usage.
int usage(const char* name);

// The most a command reads of one input into memory, and what the input is, for the message.
struct Limit {
    size_t bytes;
    const char* what;
};
inline constexpr Limit kCertificateFile{size_t{1} << 20, "a certificate file"};
inline constexpr Limit kKeyFile{size_t{1} << 20, "a private key file"};
inline constexpr Limit kSignatureFile{size_t{64} << 20, "a signature"};
inline constexpr Limit kRegistryFile{size_t{64} << 20, "a registry file"};
// Lengths of the one-piece formats (signed data, secure files of versions 0 and 1) are ints.
inline constexpr Limit kOnePiece{size_t{INT_MAX} - 4096, "a file handled in one piece"};
inline constexpr Limit kTextInput{size_t{64} << 20, "a text input"};

// Reads the whole of a regular file, or of standard input for "-", of at most `limit` bytes.
// Anything else (a folder, a FIFO, a device) is refused unread. False with `error` saying why.
bool readAll(const std::string& path, std::string& out, const Limit& limit, std::string& error);
// The same with a message made by fail().
bool readAll(const std::string& path, std::string& out, const Limit& limit = kTextInput);

// Who may read what a command writes: the owner alone (plaintext, keys), or as the umask says.
enum class Readers { Owner, Umask };
// Writes a whole file through a temporary file beside it that takes its place only when complete
// (a symbolic link at `path` is replaced, never followed); "-" is standard output. With
// `replace` false an existing file stays and the write fails with errno EEXIST. False with
// `error` saying why, and the target as it was.
bool writeAll(const std::string& path, std::string_view bytes, Readers readers, std::string& error,
              bool replace = true);
bool writeAll(const std::string& path, const std::string& bytes);

// False with `error` when `path` exists and is not a regular file: a FIFO or a device would
// block a reader or take the place of a file.
bool regularOrAbsent(const std::string& path, std::string& error);
// False with `error` unless `path` is a regular file.
bool regularFile(const std::string& path, std::string& error);
// "1 MiB", "2 GiB".
std::string sizeText(unsigned long long bytes);
// Hex digits (spaces and colons allowed between pairs) into bytes; false on anything else.
bool parseHex(const std::string& text, std::string& out);
std::string toHex(const std::string& bytes);

// What a token's result code means (no token, wrong or locked PIN, none given); empty for others.
std::string tokenProblem(unsigned long error);

// Registration run before main by each unit: static const bool x = orvikctl::registered({...}).
bool registered(const std::vector<Command>& commands);

}  // namespace orvikctl
