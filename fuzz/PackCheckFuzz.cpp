// The remote API's answer to the feature-pack check.
#include "featurepack/FeaturePackUpdater.h"
#include "featurepack/RemotePackCheck.h"
#include "fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    taviro::PackOfferContext context;
    context.origin = "https://api.taviro.example";
    context.activeRevision = 2;
    context.pendingRevision = 3;
    context.quarantinedRevisions = {4};
    context.maxArchiveBytes = taviro::FeaturePackUpdater::maxArchiveBytes;
    (void)taviro::readPackCheck(taviro::fuzz::answer(data, size), context);
    return 0;
}
