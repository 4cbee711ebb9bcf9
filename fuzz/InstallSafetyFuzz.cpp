// The local service's answer on whether an update may be installed now.
#include "fuzz/FuzzInput.h"
#include "selfupdate/InstallSafety.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    (void)taviro::readInstallSafety(taviro::fuzz::answer(data, size));
    return 0;
}
