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

#include "DigitalCertificate.h"
#include "OrvikCryptApi.h"
#include "ProgressSink.h"

class ORVIKCRYPT_API CSecureFile {
public:
    // Worker codes; 0 is success. 209 is a step that failed with its own text in `message`.
    enum Code {
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
    };

    struct Result {
        int code = Ok;
        std::string message;  // the text the user is shown; empty for success and cancel
    };

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
    static bool ReadHeader(const std::string& path, Header& out);

    // Encrypts `source` into `target` (a temporary file in the target's folder that replaces it
    // only when complete, mode 0600). The first recipient is the user's own certificate, as the
    // assistant passes them. `password` (UTF-8) may be empty; with one, the session key is made
    // from the password alone, so the password by itself opens the file.
    static Result Encrypt(const std::string& source, const std::string& target,
                          const std::vector<CDigitalCertificate*>& recipients, std::string_view password,
                          ProgressSink* progress = nullptr, const std::atomic<bool>* cancel = nullptr);

    // Decrypts with the private key of record `record`'s certificate from "MY" into `target`
    // (mode 0600, in place only when complete). A file that has a protect password needs it; a
    // password is checked before any output is made. Only regular files are read.
    static Result Decrypt(const std::string& source, const std::string& target, const Header& header, size_t record,
                          std::string_view password, ProgressSink* progress = nullptr,
                          const std::atomic<bool>* cancel = nullptr);

    // The text of a worker code.
    static std::string CodeText(int code);

    static constexpr const char* kPasswordCharacters = "密码中含有无法使用的字符，请重新输入！";
};

// The same file, also through a link: true when both paths name one file.
ORVIKCRYPT_API bool SameFile(const std::string& a, const std::string& b);
