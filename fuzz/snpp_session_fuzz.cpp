// Fuzz target: one SNPP session fed an arbitrary byte stream as the client.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/instream.h"
#include "common/page.h"
#include "common/settings.h"
#include "config/config.h"
#include "config/loader.h"
#include "fuzz_support.h"
#include "server/session.h"

using namespace callvane;

namespace {

// Pagers, a group and services like a small site has, so that PAGEr,
// LEVEl and the group schedules reach past their refusals.
void configure() {
  clear_config();
  service& def = services.emplace_front();
  def.name = "default";
  def.allowpid = 1;
  defservice = &def;
  services.emplace_front().name = "alt";
  pager& bob = pagers.emplace_front();
  bob.name = "bob";
  bob.service = &def;
  pager& alice = pagers.emplace_front();
  alice.name = "alice";
  alice.text = "Alice Example";
  alice.service = &def;
  pgroup& g = groups.emplace_front();
  g.name = "oncall";
  g.members.push_back(member{&alice, std::nullopt});
  pgroup& night = groups.emplace_front();
  night.name = "night";
  night.members.push_back(member{&bob, std::string("Any2200-0600")});
  snpptimeout = 2;
  synchronous = 0;
  debug = 0;
  daemon_pid = 0;
}

// Pages queued by one run would pile up over millions of runs.
void empty_spool() {
  DIR* d = opendir(".");
  if (d == nullptr) abort();
  std::vector<std::string> names;
  while (struct dirent* e = readdir(d))
    if (e->d_name[0] != '.') names.push_back(e->d_name);
  closedir(d);
  for (const std::string& n : names) unlink(n.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Replies go nowhere; libFuzzer and the sanitizers report on stderr.
  int null = open("/dev/null", O_WRONLY);
  if (null < 0 || dup2(null, STDOUT_FILENO) < 0) abort();
  close(null);
  configure();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  callvane_fuzz::in_private_dir here;
  in_stream in(callvane_fuzz::input_descriptor(data, size), true);
  page p;
  p.input = &in;
  p.messageid = "Fz0001";
  p.hostname = "client.example";
  snpp(p);
  free_page(p, false);
  empty_spool();
  return 0;
}
