// manifest.sig's base64 text.
#include "fuzz/FuzzInput.h"
#include "lib/Base64.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    (void)taviro::decodeBase64Strict(taviro::fuzz::text(data, size));
    return 0;
}
