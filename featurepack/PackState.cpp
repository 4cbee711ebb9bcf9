#include "featurepack/PackState.h"

#include <nlohmann/json.hpp>

#include "lib/JsonNumbers.h"

namespace taviro {
namespace {

using nlohmann::json;

std::optional<std::string> stringField(const json& object, const char* key) {
    auto found = object.find(key);
    if (found == object.end() || !found->is_string()) return std::nullopt;
    return found->get<std::string>();
}

std::optional<PackRecord> decodeRecord(const json& object) {
    if (!object.is_object()) return std::nullopt;
    auto version = stringField(object, "version");
    auto archive = stringField(object, "archiveSHA256");
    auto verifiedAt = stringField(object, "verifiedAt");
    auto revisionValue = object.find("revision");
    if (!version || !archive || !verifiedAt || revisionValue == object.end()) return std::nullopt;
    auto revision = exactInt64(*revisionValue);
    if (!revision) return std::nullopt;
    return PackRecord{*version, *revision, *archive, *verifiedAt};
}

// An optional record slot: absent and null both mean "no record"; anything else must be a
// complete record, or the whole state is refused.
bool decodeSlot(const json& object, const char* key, std::optional<PackRecord>& slot) {
    auto found = object.find(key);
    if (found == object.end() || found->is_null()) return true;
    slot = decodeRecord(*found);
    return slot.has_value();
}

bool decodeRevisions(const json& array, std::vector<std::int64_t>& revisions) {
    for (const auto& element : array) {
        auto revision = exactInt64(element);
        if (!revision) return false;
        revisions.push_back(*revision);
    }
    return true;
}

json encodeRecord(const PackRecord& record) {
    return json{{"version", record.version},
                {"revision", record.revision},
                {"archiveSHA256", record.archiveSHA256},
                {"verifiedAt", record.verifiedAt}};
}

}  // namespace

std::optional<State> decodeState(const std::string& bytes) {
    json document = json::parse(bytes, nullptr, /*allow_exceptions=*/false);
    if (!document.is_object()) return std::nullopt;

    State state;
    if (!decodeSlot(document, "active", state.active) || !decodeSlot(document, "previous", state.previous) ||
        !decodeSlot(document, "pending", state.pending)) {
        return std::nullopt;
    }
    auto lastError = stringField(document, "lastError");
    auto quarantined = document.find("quarantinedRevisions");
    if (!lastError || quarantined == document.end() || !quarantined->is_array()) return std::nullopt;
    state.lastError = *lastError;
    if (!decodeRevisions(*quarantined, state.quarantinedRevisions)) return std::nullopt;
    auto declined = document.find("declinedRevisions");
    if (declined != document.end() && (!declined->is_array() || !decodeRevisions(*declined, state.declinedRevisions))) {
        return std::nullopt;
    }
    return state;
}

std::string encodeState(const State& state) {
    json document = json::object();
    if (state.active) document["active"] = encodeRecord(*state.active);
    if (state.previous) document["previous"] = encodeRecord(*state.previous);
    if (state.pending) document["pending"] = encodeRecord(*state.pending);
    document["quarantinedRevisions"] = state.quarantinedRevisions;
    if (!state.declinedRevisions.empty()) document["declinedRevisions"] = state.declinedRevisions;
    document["lastError"] = state.lastError;
    // Texts that reach the state (error descriptions holding file names) may carry bytes that
    // are not UTF-8; they are replaced rather than making the whole write fail.
    return document.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace taviro
