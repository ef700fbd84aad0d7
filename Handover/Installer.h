// The update's last step: puts the files the fetcher left in <program>/temp in place, all of them
// or none, and removes temp afterwards.
#pragma once

#include <functional>
#include <string>

namespace handover {

class Installer {
public:
    using MessageFn = std::function<void(const std::string& text)>;

    struct Result {
        int installed = 0;  // files put in place; 0 when the run was rolled back
        bool ok = false;    // the list was read and every listed file installed
    };

    // Files listed with the path kind "sys" go to systemDir; an empty one means the program folder.
    Installer(std::string programDir, std::string systemDir, MessageFn message);

    // The deployment's SystemDir, or programDir when the installation names none.
    static std::string systemFolder(const std::string& programDir);

    // Recovers what a crashed run left behind, installs, and always empties and removes temp.
    Result run();

private:
    Result install(const std::string& temp, const std::string& list);
    std::string targetFolder(const std::string& lowerList, const std::string& lowerName, bool& listed) const;
    void syncFolders() const;

    std::string programDir_;
    std::string systemDir_;
    MessageFn message_;
};

}  // namespace handover
