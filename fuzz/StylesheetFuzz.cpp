// A pack's ui-overrides.css, checked before a pack is accepted.
#include "fuzz/PackFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const auto stylesheet = taviro::fuzz::scratchFolder() / "ui-overrides.css";
    taviro::fuzz::writeInput(stylesheet, data, size);
    (void)taviro::fuzz::packUpdater().validateCSS(stylesheet);
    return 0;
}
