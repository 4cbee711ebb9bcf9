#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace taviro {

// One pack that passed validation.
struct PackRecord {
    std::string version;
    std::int64_t revision = 0;
    std::string archiveSHA256;
    std::string verifiedAt;

    bool operator==(const PackRecord&) const = default;
};

// The persisted state of the pack store.
struct State {
    std::optional<PackRecord> active;
    std::optional<PackRecord> previous;
    std::optional<PackRecord> pending;
    std::vector<std::int64_t> quarantinedRevisions;
    std::string lastError;
    // Revisions the user rolled back from: never staged again from the remote check. Absent in
    // files of older versions, which ignore it.
    std::vector<std::int64_t> declinedRevisions;

    static State empty() { return State{}; }
    bool operator==(const State&) const = default;
};

// One pack offered by the remote check; lives in memory only.
struct RemotePack {
    std::string version;
    std::int64_t revision = 0;
    std::string downloadURL;
    std::string archiveSHA256;
    std::int64_t sizeBytes = 0;
};

// state.json is read by the local service too, so its keys and types are a shared interface.
// Decoding is strict: anything that does not match the format as a whole gives no state.
std::optional<State> decodeState(const std::string& bytes);
std::string encodeState(const State& state);

}  // namespace taviro
