// The remote API's answer to the feature-pack check.
#include "featurepack/RemotePackCheck.h"
#include "fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    taviro::PackOfferContext context;
    context.origin = "https://api.taviro.example";
    context.activeRevision = 2;
    context.pendingRevision = 3;
    context.quarantinedRevisions = {4};
    context.maxArchiveBytes = 10 * 1024 * 1024;
    (void)taviro::readPackCheck(taviro::fuzz::answer(data, size), context);
    return 0;
}
