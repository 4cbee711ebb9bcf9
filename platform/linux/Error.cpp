#include "platform/Error.h"

#include <cstring>

namespace taviro {

Error posixError(int errorNumber, const std::string& what) {
    return Error{"POSIX", errorNumber, what + ": " + std::strerror(errorNumber)};
}

}  // namespace taviro
