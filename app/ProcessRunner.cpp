#include "app/ProcessRunner.h"

#include "platform/Process.h"

namespace taviro {

std::int32_t runProcess(const std::string& executablePath, const std::vector<std::string>& arguments) {
    return platform::runAndWait(executablePath, arguments).value_or(1);
}

}  // namespace taviro
