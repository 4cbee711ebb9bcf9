// The headless modes' revision argument, and the decimal and port parsers under it.
#include "app/TaviroMain.h"
#include "fuzz/FuzzInput.h"
#include "lib/DecimalParsing.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string argument = taviro::fuzz::text(data, size);
    (void)taviro::TaviroMain::parseRevision(argument);
    (void)taviro::parsePort(argument);
    return 0;
}
