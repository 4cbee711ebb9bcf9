#pragma once

#include <string>

namespace taviro::platform {

// The current moment as an ISO 8601 internet date-time in UTC, whole seconds, "Z" suffix.
std::string iso8601Now();

}  // namespace taviro::platform
