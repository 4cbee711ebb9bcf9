#include "app/AppDelegate.h"

namespace taviro {

void AppDelegate::startBackgroundFeaturePackCheck() {
    // No remote pack check exists yet; the updater is still created here so that the check's
    // later arrival changes nothing about when the store is opened.
    featurePackUpdater();
}

}  // namespace taviro
