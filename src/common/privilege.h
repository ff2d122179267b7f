// Giving up root privileges for the run-as user "uucp".
#pragma once

namespace callvane {

void drop_root();

}  // namespace callvane
