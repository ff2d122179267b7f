// Pager groups, duty schedules and recipient creation.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/page.h"
#include "config/config.h"

namespace callvane {

// 1 on duty, 0 off duty, -1 invalid schedule. `when` 0 means now; a null
// schedule is always on duty.
int on_duty(const std::optional<std::string>& schedule, int64_t when);

// True when the schedule's times can be read (non-digit day part, then
// hhmm-hhmm); used to check member lines without logging.
bool valid_schedule(const std::string& schedule);

// Adds the recipients for a pager, group or raw id: 0 added, 1 a group with
// nobody on duty, -1 no such name.
int add_recipient(page& p, const std::string& name, const service* coverage, int64_t holduntil,
                  int level);

// The service a recipient goes through: its coverage, else its pager's;
// null when neither is known.
service* service_of(const rcpt& r);

// Interactive mode: replaces group names by all their members.
void expand_groups(page& p);

}  // namespace callvane
