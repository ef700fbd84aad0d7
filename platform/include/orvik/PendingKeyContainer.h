// A software key container made for a certificate that is not stored yet. While the import runs a
// marker beside the container, locked by the importing process, says so; the next open of the
// store "MY" removes a marked container whose importer died and that no certificate there names,
// so that a killed import never leaves a key nobody can see or delete. The container's own file
// stays as it always was.
#pragma once

#include <string>

#include "../windef.h"

namespace orvik {

class ORVIK_PLATFORM_API PendingKeyContainer {
public:
    PendingKeyContainer() = default;
    ~PendingKeyContainer();  // a mark that was not kept goes, and its container with it
    PendingKeyContainer(const PendingKeyContainer&) = delete;
    PendingKeyContainer& operator=(const PendingKeyContainer&) = delete;

    // Marks the user's container `name` before it is made. False, with errno set (EEXIST when
    // such a container is there already), when it cannot be marked.
    bool mark(const std::string& name);
    // The certificate that names the container is stored (or the key went to a token): the
    // container stays, the mark goes.
    void keep();
    bool marked() const { return fd_ >= 0; }

    // Marks the user's existing container `name`, whose certificate is being stored anew with
    // another key. Once that is stored, discard() removes the old container unless a certificate
    // still names it; should the store fail (the destructor) or the process die first, it stays.
    bool markReplaced(const std::string& name);
    void discard();

private:
    bool markAs(const std::string& name, bool replaced);
    void unmark();
    std::string name_, marker_;
    int fd_ = -1;
    bool replaced_ = false;
};

// Removes the marked containers of imports that died, and their marks, sparing a container that
// a certificate of the user's "MY" names. Marks of imports still running are left alone. How
// many containers went; nothing is removed when "MY" cannot be read.
ORVIK_PLATFORM_API int sweepPendingKeyContainers();

}  // namespace orvik
