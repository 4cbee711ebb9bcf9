#pragma once

#include <optional>
#include <string_view>

namespace taviro {

// Where the self-update stands. The order is fixed: checking through restarting count as a core
// update in progress.
enum class UpdateFlowState { idle, checking, downloading, verifying, preparing, ready, restarting, noUpdate, blocked,
                             failed, fallback };

enum class UpdateSource { automatic, manual };

// The state's name as the page receives it ("no_update" for `noUpdate`).
std::string_view rawValue(UpdateFlowState state);
// Exactly the eleven names; absent for any other text.
std::optional<UpdateFlowState> updateFlowStateFromRaw(std::string_view raw);
bool isCoreUpdateInProgress(UpdateFlowState state);

}  // namespace taviro
