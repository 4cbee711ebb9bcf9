#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace taviro::platform {

// One choice in a panel's file-type list: a file matches when its name matches one of the
// patterns or its content type is one of the MIME types.
struct FileFilter {
    std::string name;
    std::vector<std::string> patterns;   // "*.xlsx"
    std::vector<std::string> mimeTypes;  // "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"
};

struct OpenPanelOptions {
    std::string title;
    // The confirm button's label; the toolkit's own when empty.
    std::string confirmLabel;
    // Folders instead of files.
    bool chooseFolders = false;
    bool allowsMultipleSelection = false;
    bool canCreateFolders = false;
    std::vector<FileFilter> filters;
    std::optional<std::filesystem::path> startFolder;
};

struct SavePanelOptions {
    std::string title;
    std::string confirmLabel;
    std::string suggestedName;
    std::optional<std::filesystem::path> startFolder;
    std::vector<FileFilter> filters;
};

enum class AlertStyle { informational, warning };

struct AlertOptions {
    AlertStyle style = AlertStyle::informational;
    std::string message;
    std::string informativeText;
    // Left to right as given; the first is the default. None gives a single "OK".
    std::vector<std::string> buttons;
    // False: application-modal even while the main window exists, not a sheet on it.
    bool attachedToWindow = true;
};

// Open and save panels and alerts. Each call shows its dialog and returns at once; the
// completion runs later, on the main thread, exactly once, when the user answers. Dialogs are
// modal: sheets on the main window while it exists, application-modal otherwise. Call on the
// main thread.
class Dialogs {
public:
    virtual ~Dialogs() = default;
    // The chosen paths, or nothing when cancelled.
    virtual void runOpenPanel(const OpenPanelOptions& options,
                              std::function<void(std::optional<std::vector<std::filesystem::path>>)> completion) = 0;
    // The chosen path, or nothing when cancelled. Replacing an existing file asks first.
    virtual void runSavePanel(const SavePanelOptions& options,
                              std::function<void(std::optional<std::filesystem::path>)> completion) = 0;
    // The index of the button pressed. Dismissing the alert without one (Escape, closing it)
    // counts as its last button.
    virtual void runAlert(const AlertOptions& options, std::function<void(int button)> completion) = 0;
};

}  // namespace taviro::platform
