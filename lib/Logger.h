#pragma once

#include <functional>
#include <string>

namespace taviro {

// Where a subsystem writes its log lines (the desktop log in the application, standard output in
// the headless modes, a recorder in tests). Callable from any thread.
using Logger = std::function<void(const std::string& line)>;

}  // namespace taviro
