// A package's Info.plist, read for the running version.
#include "fuzz/FuzzInput.h"
#include "platform/InfoPlist.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const auto plist = taviro::fuzz::scratchFolder() / "Info.plist";
    taviro::fuzz::writeInput(plist, data, size);
    (void)taviro::platform::infoPlistString(plist, "CFBundleShortVersionString");
    return 0;
}
