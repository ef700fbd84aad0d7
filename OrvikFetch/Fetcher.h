// The fetcher program's course: the short notice when started by hand, then the wizard's pages
// in turn over one run.
#pragma once

#include "Common.h"

class Fetcher {
public:
    // `noticeMs`: how long the notice shows when no update run started the fetcher.
    explicit Fetcher(Common common = Common(), int noticeMs = 3000);

    // Returns when the wizard has ended; true when the installer was started.
    bool run();

private:
    bool mainFlow();

    Common common_;
    int noticeMs_;
};
