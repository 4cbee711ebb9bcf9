// A prepared update's manifest.json, read at launch.
#include "fuzz/FuzzInput.h"
#include "selfupdate/PreparedUpdate.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    (void)taviro::readPreparedUpdateRecord(taviro::fuzz::text(data, size));
    return 0;
}
