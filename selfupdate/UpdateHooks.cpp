// The self-update entry points the lifecycle calls. This build prepares no updates, so there is
// nothing to restore, start or run.
#include "app/AppDelegate.h"

namespace taviro {

void AppDelegate::restorePreparedUpdateIfAvailable() {}

void AppDelegate::runPendingUpdateIfNeeded() {}

void AppDelegate::startAutomaticUpdateFlow() {}

}  // namespace taviro
