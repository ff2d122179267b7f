// The SNPP session's replies of several lines: HELP and the pager list.
#include "config/config.h"
#include "config/groups.h"
#include "server/session.h"

namespace callvane {

namespace {

const char* const HELP_LINES[] = {
    "214 ",
    "214 Level 1 commands accepted:",
    "214 ",
    "214     PAGEr <pager ID>",
    "214     MESSage <alpha or numeric message>",
    "214     RESEt",
    "214     SEND",
    "214     QUIT",
    "214     HELP",
    "214 ",
    "214 Level 2 commands accepted:",
    "214 ",
    "214     DATA",
    "214     LOGIn <loginid> [password]",
    "214     LEVEl <ServiceLevel>",
    "214     COVErage <AlternateArea>",
    "214     HOLDuntil <YYMMDDHHMMSS> [+/-GMTdifference]",
    "214     CALLerid <CallerID>",
    "214 ",
    "214 Level 3 commands accepted:",
    "214 ",
    "214     none",
    "214 ",
    "250 OK",
};

}  // namespace

void snpp_help() {
  for (const char* line : HELP_LINES) snpp_reply(line);
}

void snpp_who() {
  for (const pager& pg : pagers)
    if (pg.text) snpp_reply("214 " + pg.name + " " + *pg.text);
  for (const pgroup& g : groups)
    if (g.text) snpp_reply("214 " + g.name + " " + *g.text);
}

}  // namespace callvane
