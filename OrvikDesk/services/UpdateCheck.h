// The assistant's two ways into the update library: the check at start-up and "检查更新...".
#pragma once

#include <string>

class QWidget;

namespace orvikdesk::updates {

// Marks the update run as started and runs the check; what it finds is reported by the update
// library and the fetcher. `programDir` names another program folder than the running one's.
void checkAtStartup(const std::string& programDir = {});

// The same from the menus; says so when there is nothing newer.
void checkFromMenu(QWidget* owner, const std::string& programDir = {});

}  // namespace orvikdesk::updates
