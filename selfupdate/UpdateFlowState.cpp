#include "selfupdate/UpdateFlowState.h"

#include <array>

namespace taviro {
namespace {

constexpr std::array<std::string_view, 11> kRawValues{"idle",       "checking", "downloading", "verifying",
                                                     "preparing",  "ready",    "restarting",  "no_update",
                                                     "blocked",    "failed",   "fallback"};

}  // namespace

std::string_view rawValue(UpdateFlowState state) { return kRawValues[static_cast<std::size_t>(state)]; }

std::optional<UpdateFlowState> updateFlowStateFromRaw(std::string_view raw) {
    for (std::size_t i = 0; i < kRawValues.size(); ++i) {
        if (kRawValues[i] == raw) return static_cast<UpdateFlowState>(i);
    }
    return std::nullopt;
}

bool isCoreUpdateInProgress(UpdateFlowState state) {
    return state >= UpdateFlowState::checking && state <= UpdateFlowState::restarting;
}

}  // namespace taviro
