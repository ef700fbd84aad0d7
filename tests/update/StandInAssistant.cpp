// Plays the assistant in the update tests: copied into a program folder as "OrvikDesk", it runs
// the update check as the assistant does (--check HOST PATH RESULT), or, started with nothing
// (as the installer starts it), leaves a note that it came back. Either way it then runs until
// it is ended.
#include <unistd.h>

#include <QApplication>
#include <fstream>
#include <string>

#include "Common.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    Common common;
    if (argc == 5 && std::string(argv[1]) == "--check") {
        Config config;
        config.SetCurrentOperation("1");
        common.SaveConfigtoReg(config, kAssistantUpdateKey);
        int result = common.Start(kAssistantUpdateKey, argv[2], argv[3]);
        std::ofstream(std::string(argv[4]) + ".tmp") << result;
        ::rename((std::string(argv[4]) + ".tmp").c_str(), argv[4]);
    } else {
        const std::string note = common.GetWorkDir() + "restarted";
        std::ofstream(note + ".tmp") << getpid();
        ::rename((note + ".tmp").c_str(), note.c_str());
    }
    return QApplication::exec();
}
