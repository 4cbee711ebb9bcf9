#include "lib/JavaScriptLiteral.h"

#include <nlohmann/json.hpp>

namespace taviro {

std::string javaScriptLiteral(std::string_view text) {
    try {
        std::string serialised = nlohmann::json::array({std::string(text)}).dump();
        if (serialised.size() > 1) return serialised.substr(1, serialised.size() - 2);
    } catch (const nlohmann::json::exception&) {
        // Invalid UTF-8 cannot be serialised.
    }
    return "\"\"";
}

}  // namespace taviro
