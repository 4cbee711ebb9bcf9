#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace taviro {

// What the page asks of the shell: its script messages, file inputs and diagnostics links.
// Main thread only. The channels are registered so that pages can rely on them; no message is
// acted on yet, file inputs keep the web view's own chooser and diagnostics are not saved yet.
class PageBridge {
public:
    static const std::vector<std::string>& scriptMessageChannels();

    void didReceiveScriptMessage(const std::string& channel, const std::string& bodyJSON);
    // False: the web view's own chooser answers the request.
    bool runOpenPanel(bool allowsMultipleSelection,
                      std::function<void(std::optional<std::vector<std::filesystem::path>>)> completion);
    void saveDiagnostics(const std::string& url);
};

}  // namespace taviro
