// The local service's answer on waiting imported drafts, asked every 1.5 s.
#include "bridge/ImportedDraftPolling.h"
#include "fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    (void)taviro::readImportedDraftsAnswer(taviro::fuzz::answer(data, size));
    return 0;
}
