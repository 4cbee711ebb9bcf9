#pragma once

#include <cstdlib>

#include "app/TaviroMain.h"
#include "featurepack/FeaturePackUpdater.h"
#include "fuzz/FuzzInput.h"

namespace taviro::fuzz {

// One store for the process, in its scratch folder; its log goes nowhere.
inline FeaturePackUpdater& packUpdater() {
    static FeaturePackUpdater updater = [] {
        ::setenv("VORDA_FEATURE_PACK_TEST_ROOT", (scratchFolder() / "store").c_str(), 1);
        return FeaturePackUpdater(TaviroMain::headlessAppVersion, [](const std::string&) {});
    }();
    return updater;
}

}  // namespace taviro::fuzz
