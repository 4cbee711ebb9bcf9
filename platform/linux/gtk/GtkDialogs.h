#pragma once

#include <functional>

#include <gtk/gtk.h>

#include "platform/Dialogs.h"

namespace taviro::platform::gtk {

// Panels are GtkFileChooserNative (a desktop portal serves them where one is in use, GTK's own
// file chooser dialog otherwise); alerts are GtkMessageDialog. None runs a nested main loop:
// each dialog answers through its "response" signal.
class GtkDialogs final : public Dialogs {
public:
    // `parent` gives the window dialogs are sheets on at the moment one is shown; null (or no
    // function) makes them application-modal.
    explicit GtkDialogs(std::function<GtkWindow*()> parent);
    // The parent's owner is going away: later dialogs have no parent.
    void detach() { parent_ = nullptr; }

    void runOpenPanel(const OpenPanelOptions& options,
                      std::function<void(std::optional<std::vector<std::filesystem::path>>)> completion) override;
    void runSavePanel(const SavePanelOptions& options,
                      std::function<void(std::optional<std::filesystem::path>)> completion) override;
    void runAlert(const AlertOptions& options, std::function<void(int button)> completion) override;

private:
    GtkWindow* parent() const { return parent_ ? parent_() : nullptr; }
    GtkFileChooserNative* newChooser(const std::string& title, const std::string& confirmLabel,
                                     GtkFileChooserAction action, const std::vector<FileFilter>& filters,
                                     const std::optional<std::filesystem::path>& startFolder) const;

    std::function<GtkWindow*()> parent_;
};

}  // namespace taviro::platform::gtk
