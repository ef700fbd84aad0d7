// One run of the fetcher, without its windows: the lists, what can be offered, which files the
// chosen items need, their download into temp, and the hand-over to the installer.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "Common.h"
#include "FileList.h"

class FetchRun {
public:
    struct Offer {
        std::string name;  // display name
        std::string description;
        std::string text() const;  // as the check list shows it
    };
    // Whole percent of the download, or -1 while the total is unknown.
    using Progress = std::function<void(int percent)>;

    explicit FetchRun(Common common = Common());

    // Reads the update key, connects, and fetches the server's list and the installer into temp.
    // False when the run cannot go on; temp is then gone and the run ended.
    bool prepare();

    // Display names of every component the server's list knows (the updater's own excepted),
    // and those newer than what is installed (at most 20).
    std::vector<std::string> supportedItems() const;
    std::vector<Offer> offers() const;

    // File names the chosen items (check-list texts) need, then the updater's own two.
    std::vector<std::string> filesFor(const std::vector<std::string>& chosenTexts) const;

    // Downloads every file into temp, all or none: false when any chosen file failed (temp then
    // holds none of them). Runs on a worker thread; `cancel` is read between reads.
    bool download(const std::vector<std::string>& names, const Progress& progress, const std::atomic<bool>& cancel);

    // Ends the assistant named by the update key, puts the new installer in place and starts it.
    // False (nothing ended or started) when the stored id names another program.
    bool finish();
    // Ends the run without installing: temp is emptied and removed.
    void abandon();

    // What the user is told when download() or finish() fails.
    const std::string& failure() const { return failure_; }

    // A name from the server's list that may become a file name here.
    static bool isPlainName(const std::string& name);

private:
    OrvikDepart installedDepart(const std::string& field, const std::string& value) const;

    Common common_;
    std::string work_;
    std::string configPath_;
    Config config_;
    FileList installed_;
    FileList offered_;
    bool listRead_ = false;
    std::string failure_;
};
