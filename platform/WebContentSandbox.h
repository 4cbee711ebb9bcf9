#pragma once

#include <optional>
#include <string>

namespace taviro::platform {

// Set to anything but empty, it turns the web content sandbox off: for a container that cannot
// give the page a sandbox of its own.
inline constexpr const char* kWebSandboxOffVariable = "TAVIRO_DISABLE_WEB_SANDBOX";

// Why the page cannot run in a sandbox of its own on this machine (the sandbox tool is missing,
// or the kernel refuses it the namespaces it needs); absent when it can. Starts the tool once,
// so call it once, before the web view exists.
std::optional<std::string> webContentSandboxUnavailable();

}  // namespace taviro::platform
