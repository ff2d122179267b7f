// One pass over the page queue: collect, deliver, write back.
#pragma once

namespace callvane {

// An open descriptor holding the queue lock, or -1.
int lock_queue();

// 0 after a run, -1 when the queue lock could not be taken.
int run_queue();

}  // namespace callvane
