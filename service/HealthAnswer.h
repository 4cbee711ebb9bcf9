#pragma once

#include <cstdint>

#include "platform/HttpClient.h"

namespace taviro {

// Whether one answer of the health endpoint shows the right service with the right pack: a
// 2xx status with a body that is a non-empty JSON object, "app" "vorda-kinoloom", "ok" anything
// but false, and a "feature_pack"."revision" (0 when missing or not an integer) equal to
// `activeRevision`.
bool isReadyHealthAnswer(const platform::HttpResponse& response, std::int64_t activeRevision);

}  // namespace taviro
