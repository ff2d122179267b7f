// Device lock files, shared with the host's other dial-out programs.
#pragma once

#include <optional>
#include <string>

namespace callvane {

// "%s/LCK..%s" lock files holding "%10lu\n" with mode 0444.
int lock_device(const std::string& device);  // 0 locked, -1 not
void unlock_device(const std::string& device);
// The lock file name of a device, or nullopt for a path without "/".
std::optional<std::string> lock_name(const std::string& device);

}  // namespace callvane
