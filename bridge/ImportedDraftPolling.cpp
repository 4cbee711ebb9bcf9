#include "app/AppDelegate.h"

namespace taviro {

void AppDelegate::startImportedDraftPolling() {
    // Each successful connection restarts polling from scratch.
    if (importPollTimer) importPollTimer->cancel();
    importPollTimer.reset();
}

}  // namespace taviro
