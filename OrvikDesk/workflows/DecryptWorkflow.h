// Decrypting a secure file: the decrypt dialog, then version 1 files in memory and version 2
// files through the progress of the worker, and the offer to open the result.
#pragma once

#include <string>

#include "SecureFile.h"

class QWidget;

namespace orvikdesk {

class CDecryptWorkflow {
public:
    explicit CDecryptWorkflow(QWidget* owner = nullptr) : owner_(owner) {}

    // source: preset, or empty for the user to choose. 0 when the file was decrypted.
    int run(const std::string& source);

private:
    int decryptWhole(const std::string& source, const std::string& target, const CSecureFile::Header& header);
    void offerToOpen(const std::string& target, const char* question);

    QWidget* owner_;
};

}  // namespace orvikdesk
