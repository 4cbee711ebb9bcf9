// The remote API's answer to the release check.
#include "fuzz/FuzzInput.h"
#include "selfupdate/ReleaseCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    (void)taviro::readReleaseCheck(taviro::fuzz::answer(data, size), "1.0.73");
    return 0;
}
