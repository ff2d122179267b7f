// SNPP client: submits a page to the first reachable server of a list.
#pragma once

#include <string>

#include "queue/page.h"

namespace callvane {

// 0: the server accepted SEND; 1: no recipient was accepted; -1: failure.
int submit_page(page& p, const std::string& servers);

// A connected socket to `name` on the snpp port (else 444), or -1.
int connect_server(const std::string& name);

}  // namespace callvane
