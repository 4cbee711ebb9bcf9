#pragma once

#include <optional>
#include <string>

#include "platform/Error.h"

namespace taviro {

// Where a navigation of the web view goes: it stays, it is turned into saving a job's
// diagnostics log, it leaves for the desktop's handler of its scheme (the default browser for
// http and https), or it goes nowhere.
enum class NavigationDecision { allow, saveDiagnostics, openInBrowser, refuse };

// Host exactly "127.0.0.1" with an explicit port equal to `localPort` (any scheme).
bool isLocalPageURL(const std::string& url, int localPort);

// http://127.0.0.1:<localPort>/jobs/…/diagnostics.txt
bool isLocalDiagnosticsURL(const std::string& url, int localPort);

NavigationDecision decideNavigation(const std::optional<std::string>& url, int localPort);

// Cancelled requests, frame loads interrupted by a policy change (a navigation turned into a
// download or replaced) and a media file's load handed to the view's player are not failures
// of the service.
bool shouldIgnoreNavigationFailure(const Error& error);

}  // namespace taviro
