#include "featurepack/FeaturePackUpdater.h"

namespace taviro {

void FeaturePackUpdater::checkForUpdatesInBackground(std::function<bool()>) {
    // No remote pack check exists yet: no pack arrives from the network.
}

}  // namespace taviro
