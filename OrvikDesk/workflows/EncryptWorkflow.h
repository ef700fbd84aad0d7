// Encrypting a file into a secure file: the encrypt dialog, the progress of the worker, and for
// "/M" a mail with the secure file attached, addressed to the other recipients.
#pragma once

#include <string>

class QWidget;

namespace orvikdesk {

class CEncryptWorkflow {
public:
    explicit CEncryptWorkflow(QWidget* owner = nullptr) : owner_(owner) {}

    // source: preset, or empty for the user to choose. 0 when a secure file was written (and
    // mailed, when asked), 1 otherwise.
    int run(const std::string& source, bool mail);

private:
    QWidget* owner_;
};

}  // namespace orvikdesk
