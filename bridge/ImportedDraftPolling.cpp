#include "bridge/ImportedDraftPolling.h"

namespace taviro {

void ImportedDraftPolling::start() {
    // Each connection starts from scratch; the poll itself is not offered yet.
    stop();
}

void ImportedDraftPolling::stop() {
    if (importPollTimer_) importPollTimer_->cancel();
    importPollTimer_.reset();
}

}  // namespace taviro
