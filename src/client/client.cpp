// PLACEHOLDER until the SNPP client lands.
#include "client/client.h"

#include <cstdio>

namespace callvane {

int submit_page(page&, const std::string&) {
  fputs("the SNPP client is not available in this version\n", stderr);
  return -1;
}
int connect_server(const std::string&) { return -1; }

}  // namespace callvane
