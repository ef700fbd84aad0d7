// What each command-line start runs: one workflow as a sequence of modal dialogs. The workflows
// register themselves here, so the start-up code and the tests see one table.
#pragma once

#include <functional>
#include <string>

#include "app/CommandLine.h"

namespace orvikdesk::workflows {

using Workflow = std::function<int(const std::string& path)>;

// Replaces the workflow of an action (the window action has none).
void set(LaunchAction action, Workflow workflow);
// Runs the action's workflow; its result is the process's exit code.
int run(const Launch& launch);

}  // namespace orvikdesk::workflows
