// Which recipients of a page a run delivers to: the queue's policy.
#pragma once

#include "common/page.h"
#include "modem/dispatch.h"

namespace callvane {

// Adds the due recipients of a page; returns how many are pending (jobs
// added plus recipients held for later). A recipient that has used up its
// service's tries is marked F_FAILED; a page with nothing pending is
// marked F_BADPAGE, to be set aside.
int add_jobs(job_list& jobs, struct page& p);

}  // namespace callvane
