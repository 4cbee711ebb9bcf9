#include "platform/InfoPlist.h"

#include <glib.h>
#include <vector>

#include "platform/Files.h"

namespace taviro::platform {
namespace {

// Walks <plist><dict><key>…</key><value/>…</dict></plist>, looking only at the top dictionary.
struct PlistScan {
    std::string wantedKey;
    std::vector<std::string> elements;
    std::string text;
    std::optional<std::string> lastKey;
    bool valueFollowsWantedKey = false;
    std::optional<std::string> result;
    bool found = false;

    bool inTopDictionary() const {
        return elements.size() == 3 && elements[0] == "plist" && elements[1] == "dict";
    }
};

void startElement(GMarkupParseContext*, const gchar* name, const gchar**, const gchar**, gpointer data, GError**) {
    auto* scan = static_cast<PlistScan*>(data);
    scan->elements.emplace_back(name);
    scan->text.clear();
    if (scan->inTopDictionary() && scan->elements.back() != "key") {
        scan->valueFollowsWantedKey = !scan->found && scan->lastKey == scan->wantedKey;
        scan->lastKey.reset();
    }
}

void endElement(GMarkupParseContext*, const gchar*, gpointer data, GError**) {
    auto* scan = static_cast<PlistScan*>(data);
    if (scan->inTopDictionary()) {
        const std::string& element = scan->elements.back();
        if (element == "key") {
            scan->lastKey = scan->text;
        } else if (scan->valueFollowsWantedKey) {
            scan->found = true;
            if (element == "string") scan->result = scan->text;
            scan->valueFollowsWantedKey = false;
        }
    }
    scan->elements.pop_back();
}

void characters(GMarkupParseContext*, const gchar* text, gsize length, gpointer data, GError**) {
    auto* scan = static_cast<PlistScan*>(data);
    if (scan->inTopDictionary()) scan->text.append(text, length);
}

}  // namespace

std::optional<std::string> infoPlistString(const std::filesystem::path& plist, const std::string& key) {
    auto bytes = readFile(plist);
    if (!bytes) return std::nullopt;
    // The document type declaration is not markup GMarkup reads; it carries nothing we need.
    std::string document = *bytes;
    if (auto start = document.find("<!DOCTYPE"); start != std::string::npos) {
        if (auto end = document.find('>', start); end != std::string::npos) document.erase(start, end - start + 1);
    }

    GMarkupParser parser{startElement, endElement, characters, nullptr, nullptr};
    PlistScan scan;
    scan.wantedKey = key;
    GMarkupParseContext* context = g_markup_parse_context_new(&parser, G_MARKUP_TREAT_CDATA_AS_TEXT, &scan, nullptr);
    GError* error = nullptr;
    bool parsed = g_markup_parse_context_parse(context, document.data(), static_cast<gssize>(document.size()), &error) &&
                  g_markup_parse_context_end_parse(context, &error);
    g_markup_parse_context_free(context);
    if (error) g_error_free(error);
    if (!parsed) return std::nullopt;
    return scan.result;
}

}  // namespace taviro::platform
