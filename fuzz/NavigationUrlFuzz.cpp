// Every address a page navigates to, and the diagnostics-link test.
#include "bridge/NavigationPolicy.h"
#include "fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string url = taviro::fuzz::text(data, size);
    (void)taviro::decideNavigation(url, 41234);
    (void)taviro::isLocalDiagnosticsURL(url, 41234);
    return 0;
}
