// What each argument vector starts, and how paths are trimmed.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "app/CommandLine.h"

using orvikdesk::Launch;
using orvikdesk::LaunchAction;
using orvikdesk::parseCommandLine;

namespace {

struct Row {
    std::vector<std::string> args;
    LaunchAction action;
    std::string path;
};

}  // namespace

TEST(CommandLine, EachArgumentVectorRunsOneAction) {
    // Files that exist on this imagined disk.
    const std::set<std::string> files = {"/Data/x.ovk", "/Media/a.ovk", "/E/report.doc", "/home/a b.txt"};
    auto isFile = [&](const std::string& p) { return files.count(p) > 0; };
    const Row rows[] = {
        {{}, LaunchAction::Window, ""},
        {{"/E", "/home/a b.txt"}, LaunchAction::Encrypt, "/home/a b.txt"},
        {{"/M", "/home/a.txt"}, LaunchAction::EncryptAndMail, "/home/a.txt"},
        {{"/D", "/home/x.ovk"}, LaunchAction::Decrypt, "/home/x.ovk"},
        {{"/P", "/home/x.ovk"}, LaunchAction::Properties, "/home/x.ovk"},
        {{"/C"}, LaunchAction::Configure, ""},
        {{"/C", "whatever", "follows"}, LaunchAction::Configure, ""},
        // The path after a switch stands as given, quotes and blanks included.
        {{"/E", " \"/home/a.txt\""}, LaunchAction::Encrypt, " \"/home/a.txt\""},
        // Several arguments after a switch are joined, then trimmed.
        {{"/E", "\"/home/a", "b.txt\""}, LaunchAction::Encrypt, "/home/a b.txt"},
        // Absolute paths that begin like a switch are files to decrypt.
        {{"/Data/x.ovk"}, LaunchAction::Decrypt, "/Data/x.ovk"},
        {{"/Media/a.ovk"}, LaunchAction::Decrypt, "/Media/a.ovk"},
        {{"/E/report.doc"}, LaunchAction::Decrypt, "/E/report.doc"},
        // The glued form counts only when the whole line is no file.
        {{"/E/home/a.txt"}, LaunchAction::Encrypt, "/home/a.txt"},
        {{"/P\"/home/x.ovk\""}, LaunchAction::Properties, "/home/x.ovk"},
        {{"/Cxyz"}, LaunchAction::Configure, ""},
        // Switches are case-sensitive; other lines are a path to decrypt.
        {{"/e", "/home/a.txt"}, LaunchAction::Decrypt, "/e /home/a.txt"},
        {{"-E", "/home/a.txt"}, LaunchAction::Decrypt, "-E /home/a.txt"},
        {{"/home/x.ovk"}, LaunchAction::Decrypt, "/home/x.ovk"},
        {{"\"/home/a", "b.ovk\""}, LaunchAction::Decrypt, "/home/a b.ovk"},
        {{" \"x.ovk\" "}, LaunchAction::Decrypt, " \"x.ovk\" "},
        {{"/X", "file"}, LaunchAction::Decrypt, "/X file"},
    };
    for (const Row& row : rows) {
        std::string shown;
        for (const auto& a : row.args) shown += "[" + a + "]";
        Launch l = parseCommandLine(row.args, isFile);
        EXPECT_EQ(static_cast<int>(l.action), static_cast<int>(row.action)) << shown;
        EXPECT_EQ(l.path, row.path) << shown;
    }
}

TEST(CommandLine, TrimmingRemovesLeadingBlanksAndQuotesNotTrailingBlanks) {
    EXPECT_EQ(orvikdesk::trimPath("  \"\"/a b.txt\"\""), "/a b.txt");
    EXPECT_EQ(orvikdesk::trimPath(" /a.txt  "), "/a.txt  ");
    EXPECT_EQ(orvikdesk::trimPath("   "), "");
    EXPECT_EQ(orvikdesk::trimPath("\""), "");
}
