// The application: window mode (no arguments: one instance, the main window, until "退出") or
// command-line mode (one workflow of modal dialogs, then the end).
#pragma once

#include <QString>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/FirstStart.h"

class QApplication;

namespace orvikdesk {

class CMainFrame;
class SingleInstance;

class CAssistantApp {
public:
    CAssistantApp();
    ~CAssistantApp();

    // Sets up the Qt application's names and the message boxes; call once, after QApplication exists.
    static void prepare(QApplication& app);
    // The dialog sequences of the command-line switches (prepare registers them).
    static void registerWorkflows();

    // Window mode: claims the one instance, before anything slow. An exit code when this process
    // is to end (another instance took over); nothing when it goes on, or in command-line mode.
    std::optional<int> claimInstance(const std::vector<std::string>& args);

    // Runs the start-up for these arguments (after the program name); returns the exit code.
    // In window mode, returns once the window is up (exec() runs the loop) with started() true.
    int start(const std::vector<std::string>& args);

    // What the user is told when steps of the first start failed; empty when none did.
    static QString firstStartMessage(const std::vector<firststart::Problem>& problems);
    bool started() const { return frame_ != nullptr; }
    bool commandLineMode() const { return commandLineMode_; }
    CMainFrame* frame() const { return frame_.get(); }

    // "退出": ends the event loop, whatever window or dialog is open, with exit code 0.
    static void exitProgram();

    // The whole program: prepare, start, the event loop.
    static int main(int argc, char** argv);

private:
    bool commandLineMode_ = false;
    std::unique_ptr<SingleInstance> instance_;
    std::unique_ptr<CMainFrame> frame_;
};

}  // namespace orvikdesk
