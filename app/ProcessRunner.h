#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace taviro {

// Runs a short-lived tool with the shell's environment and streams and waits for it. Returns its
// termination status, or 1 when it cannot be started (callers treat any non-zero as failure).
std::int32_t runProcess(const std::string& executablePath, const std::vector<std::string>& arguments);

}  // namespace taviro
