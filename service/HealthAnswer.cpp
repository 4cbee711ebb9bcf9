#include "service/HealthAnswer.h"

#include <nlohmann/json.hpp>

#include "lib/JsonNumbers.h"

namespace taviro {

bool isReadyHealthAnswer(const platform::HttpResponse& response, std::int64_t activeRevision) {
    if (response.status < 200 || response.status > 299 || !response.body) return false;
    auto body = nlohmann::json::parse(*response.body, nullptr, false);
    if (body.is_discarded() || !body.is_object() || body.empty()) return false;

    auto app = body.find("app");
    if (app == body.end() || !app->is_string() || app->get<std::string>() != "vorda-kinoloom") return false;

    auto ok = body.find("ok");
    if (ok != body.end() && ok->is_boolean() && !ok->get<bool>()) return false;

    std::int64_t revision = 0;
    auto pack = body.find("feature_pack");
    if (pack != body.end() && pack->is_object()) {
        auto value = pack->find("revision");
        if (value != pack->end()) revision = exactInt64(*value).value_or(0);
    }
    return revision == activeRevision;
}

}  // namespace taviro
