// Refuses override stylesheets that could load anything from outside the pack.
#include <array>
#include <cerrno>
#include <string_view>

#include "featurepack/FeaturePackUpdater.h"
#include "lib/Utf8.h"
#include "platform/Files.h"

namespace taviro {
namespace {

constexpr std::array<std::string_view, 8> kForbiddenFragments = {
    "@import", "http://", "https://", "javascript:", "file://", "url(/", "url( /", "\\0",
};

}  // namespace

VoidResult FeaturePackUpdater::validateCSS(const std::filesystem::path& stylesheet) const {
    auto bytes = platform::readFile(stylesheet);
    if (!bytes) return std::unexpected(bytes.error());
    if (!isValidUtf8(*bytes)) {
        return std::unexpected(posixError(EILSEQ, "cannot read " + stylesheet.string() + " as UTF-8 text"));
    }
    std::string lowered = lowercaseForAsciiMatching(*bytes);
    for (auto fragment : kForbiddenFragments) {
        if (lowered.find(fragment) != std::string::npos) return std::unexpected(error("功能包 CSS 包含外部或危险引用"));
    }
    return {};
}

}  // namespace taviro
