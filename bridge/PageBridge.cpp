#include "bridge/PageBridge.h"

namespace taviro {

const std::vector<std::string>& PageBridge::scriptMessageChannels() {
    static const std::vector<std::string> channels{"pathPicker", "updateChecker", "featurePackRollback"};
    return channels;
}

void PageBridge::didReceiveScriptMessage(const std::string&, const std::string&) {}

bool PageBridge::runOpenPanel(bool, std::function<void(std::optional<std::vector<std::filesystem::path>>)>) {
    return false;
}

void PageBridge::saveDiagnostics(const std::string&) {}

}  // namespace taviro
