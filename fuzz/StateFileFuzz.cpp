// The feature-pack store's state file, as read at every launch.
#include "featurepack/PackState.h"
#include "fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    (void)taviro::decodeState(taviro::fuzz::text(data, size));
    return 0;
}
