#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "featurepack/PackState.h"
#include "platform/Error.h"
#include "platform/HttpClient.h"

namespace taviro {

inline constexpr double kPackCheckTimeoutSeconds = 15;
inline constexpr double kPackDownloadTimeoutSeconds = 120;
// A check answer is a few hundred bytes; a larger one is nobody's answer.
inline constexpr std::uint64_t kMaxPackCheckAnswerBytes = 1024 * 1024;

// What an offer is measured against: where packs may come from and what the store holds.
struct PackOfferContext {
    // "https://host[:port]" of the remote API; downloads must come from the same origin.
    std::string origin;
    std::int64_t activeRevision = 0;
    std::optional<std::int64_t> pendingRevision;
    std::vector<std::int64_t> quarantinedRevisions;
    std::int64_t maxArchiveBytes = 0;
};

// origin + "/api/feature-packs/check" with its six query items, in order.
std::string packCheckURL(std::string_view origin, std::string_view channel, std::string_view appVersion,
                         std::int64_t activeRevision);

// Reads a check answer: a transport failure, no acceptable offer (nothing to say about it), or
// an offer that passed every rule.
Result<std::optional<RemotePack>> readPackCheck(const Result<platform::HttpResponse>& answer,
                                                const PackOfferContext& context);

}  // namespace taviro
