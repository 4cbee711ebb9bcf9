// Page messages and file inputs.
#include "app/AppDelegate.h"

namespace taviro {

void AppDelegate::didReceiveScriptMessage(const std::string&, const std::string&) {
    // The channels are registered so pages can rely on them; no message is acted on yet.
}

bool AppDelegate::runOpenPanel(bool, std::function<void(std::optional<std::vector<std::filesystem::path>>)>) {
    // The web view's own file chooser serves file inputs.
    return false;
}

void AppDelegate::saveDiagnostics(const std::string&) {
    // Saving a job's log is not offered yet; the navigation is still kept out of the view.
}

}  // namespace taviro
