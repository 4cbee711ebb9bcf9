#pragma once

#include <string>

namespace taviro::platform {

// A fresh random (version 4) UUID in canonical form: 36 characters, upper-case hexadecimal with
// hyphens.
std::string randomUuid();

}  // namespace taviro::platform
