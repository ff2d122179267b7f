// One pass over the page queue: collect, deliver, write back.
#pragma once

#include "common/page.h"

namespace callvane {

// An open descriptor holding the queue lock, or -1.
int lock_queue();

// The end of a page's run: its reports, then its file written back.
void write_back(page& p);

// 0 after a run, -1 when the queue lock could not be taken.
int run_queue();

}  // namespace callvane
