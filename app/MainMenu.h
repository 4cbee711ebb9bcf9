#pragma once

#include <vector>

#include "platform/ApplicationHost.h"

namespace taviro {

// The menu bar: the application menu, editing and view.
std::vector<platform::Menu> mainMenu();

}  // namespace taviro
