#include "common/settings.h"

namespace callvane {

int debug = 0;
bool interactive = false;
std::string configfile = DEFAULT_CONFIGFILE;
bool notty = false;

}  // namespace callvane
