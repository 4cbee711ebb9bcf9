#pragma once

#include <gio/gio.h>
#include <string>

#include "platform/Error.h"

namespace taviro::platform::gtk {

// A failed load in the shell's terms: a cancelled request, a frame load interrupted by a policy
// change and a load handed to the media player get the shared domains and codes of WebErrors.h; anything else keeps WebKit's
// own domain and code.
Error loadErrorFromGError(const GError* error);

// The server's certificate was refused; WebKit hands over no GError for this case.
Error tlsLoadError(const std::string& uri, GTlsCertificateFlags flags);

// The load did not finish within the time its caller allowed.
Error loadTimeoutError();

}  // namespace taviro::platform::gtk
