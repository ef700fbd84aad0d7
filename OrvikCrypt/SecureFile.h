// Version 2 secure files: a header, one record per recipient, and the file encrypted as one
// 3DES stream. Streamed with constant memory, whatever the size; progress goes to a sink and a
// cancel flag is read between buffers. Knows nothing of any window.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <orvik/AtomicFile.h>

#include "DigitalCertificate.h"
#include "OrvikCryptApi.h"
#include "ProgressSink.h"

class ORVIKCRYPT_API CSecureFile {
public:
    // Worker codes; 0 is success. 209 is a step that failed with its own text in `message`; the
    // codes from 210 come from the whole-file versions 0 and 1.
    enum Code : int {
        Ok = 0,
        EmptySource = 201,
        ReadWrite = 202,
        CryptoCall = 203,
        CopyCertificate = 204,
        ImportPublicKey = 205,
        SessionKeyTooLarge = 206,
        WrapSessionKey = 207,
        Cancelled = 208,
        StepFailed = 209,
        OpenSource = 210,    // the source cannot be read, or is no regular file
        TooLarge = 211,      // more than kMaxWhole bytes
        NoPrivateKey = 212,  // "MY" holds the private key of no recipient
        TargetExists = 213,  // the target was there and was to stay
    };

    struct Result {
        Code code = Ok;
        std::string message;  // the text the user is shown; empty for success and cancel
        int error = 0;        // the errno of a failed read or write, when there was one
    };

    // Versions 0 and 1 are whole-buffer formats with int lengths.
    static constexpr size_t kMaxWhole = size_t{0x7FFFFFFF} - 4096;

    static constexpr size_t kMaxRecords = 10000;

    struct Record {
        std::string displayName, subject, serial, thumbprint;  // UTF-8
        uint32_t blobLength = 0;
        int64_t blobAt = 0;  // where the stored key field (512 bytes) lies in the file; read when used
    };

    struct Header {
        std::string tag;
        int version = -1;  // 0, 1, 2 for the known tags, -1 otherwise
        bool passwordSet = false;
        std::string extension;  // with its dot; empty, or one path component at most
        int32_t size = 0;       // as stored (capped at 0x7FFFFFFF)
        std::string provider, algorithm;
        std::vector<Record> records;
        int64_t payloadOffset = 0;
    };

    // The tag, and for version 2 the header and records. False when the file cannot be read, or
    // holds more recipient records than any file written for people does (kMaxRecords).
    [[nodiscard]] static bool ReadHeader(const std::string& path, Header& out);

    // Encrypts `source` into `target` (a temporary file in the target's folder that replaces it
    // only when complete, mode 0600). The first recipient is the user's own certificate, as the
    // assistant passes them. `password` (UTF-8) may be empty; with one, the session key is made
    // from the password alone, so the password by itself opens the file.
    [[nodiscard]] static Result Encrypt(const std::string& source, const std::string& target,
                                        const std::vector<CDigitalCertificate*>& recipients, std::string_view password,
                                        ProgressSink* progress = nullptr, const std::atomic<bool>* cancel = nullptr);

    // Whether Encrypt can make a record for this certificate: Ok, or the code it would fail with
    // (ImportPublicKey for a key that is not RSA, SessionKeyTooLarge for RSA above 4000 bits),
    // so a recipient is refused when chosen rather than when the file is written.
    [[nodiscard]] static Code CheckRecipient(const CDigitalCertificate& cert);

    // Decrypts with the private key of record `record`'s certificate from "MY" into `target`
    // (mode 0600, in place only when complete). A file that has a protect password needs it; a
    // password is checked before any output is made. Only regular files are read.
    [[nodiscard]] static Result Decrypt(const std::string& source, const std::string& target, const Header& header,
                                        size_t record, std::string_view password, ProgressSink* progress = nullptr,
                                        const std::atomic<bool>* cancel = nullptr);

    // Version 0 (`password` alone, no recipients) or 1 (for `recipients`, no password), made
    // in memory from a source of at most kMaxWhole bytes; the image becomes `target` (mode 0600)
    // only when complete.
    [[nodiscard]] static Result EncryptWhole(int version, const std::string& source, const std::string& target,
                                             const std::vector<CDigitalCertificate*>& recipients,
                                             std::string_view password);

    // The reverse for a file whose header says version 0 or 1: version 0 with `password`, version
    // 1 with a private key of "MY". Version 0 has no check of its password, and a wrong one can
    // give garbage: Replace::No keeps a file the user has at `target` (TargetExists).
    [[nodiscard]] static Result DecryptWhole(const std::string& source, const std::string& target, const Header& header,
                                             std::string_view password,
                                             orvik::AtomicFile::Replace replace = orvik::AtomicFile::Replace::Yes);

    // The text of a worker code.
    static std::string CodeText(Code code);

    static constexpr const char* kPasswordCharacters = "密码中含有无法使用的字符，请重新输入！";
};

// The same file, also through a link: true when both paths name one file.
ORVIKCRYPT_API bool SameFile(const std::string& a, const std::string& b);
