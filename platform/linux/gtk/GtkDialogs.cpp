#include "platform/linux/gtk/GtkDialogs.h"

#include <memory>

#include "platform/MainQueue.h"

namespace taviro::platform::gtk {
namespace {

using Paths = std::vector<std::filesystem::path>;

// Runs `task` from the main loop. Completions never run inside the signal emission of the
// dialog they answer (which they may want to replace), nor inside the call that showed it.
void later(std::function<void()> task) { glibMainQueue()->post(std::move(task)); }

GtkFileFilter* gtkFilter(const FileFilter& filter) {
    GtkFileFilter* result = gtk_file_filter_new();
    gtk_file_filter_set_name(result, filter.name.c_str());
    for (const auto& pattern : filter.patterns) gtk_file_filter_add_pattern(result, pattern.c_str());
    for (const auto& type : filter.mimeTypes) gtk_file_filter_add_mime_type(result, type.c_str());
    return result;
}

// Shows the chooser and hands the local paths of an accepted choice (or nothing) to `answer`.
void showChooser(GtkFileChooserNative* chooser, std::function<void(std::optional<Paths>)> answer) {
    auto respond = +[](GtkNativeDialog* dialog, gint response, gpointer data) {
        auto* answer = static_cast<std::function<void(std::optional<Paths>)>*>(data);
        std::optional<Paths> chosen;
        if (response == GTK_RESPONSE_ACCEPT) {
            chosen.emplace();
            GSList* files = gtk_file_chooser_get_files(GTK_FILE_CHOOSER(dialog));
            for (GSList* each = files; each != nullptr; each = each->next) {
                // A portal may offer files without a local path; nothing here could open those.
                if (char* path = g_file_get_path(G_FILE(each->data))) {
                    chosen->emplace_back(path);
                    g_free(path);
                }
            }
            g_slist_free_full(files, g_object_unref);
            if (chosen->empty()) chosen.reset();
        }
        later([dialog, answer = std::move(*answer), chosen = std::move(chosen)] {
            g_object_unref(dialog);
            answer(chosen);
        });
        // One answer only, and the handler's data goes with it.
        g_signal_handlers_disconnect_by_data(dialog, data);
    };
    g_signal_connect_data(
        chooser, "response", G_CALLBACK(respond), new std::function<void(std::optional<Paths>)>(std::move(answer)),
        [](gpointer data, GClosure*) { delete static_cast<std::function<void(std::optional<Paths>)>*>(data); },
        GConnectFlags(0));
    gtk_native_dialog_show(GTK_NATIVE_DIALOG(chooser));
}

}  // namespace

GtkDialogs::GtkDialogs(std::function<GtkWindow*()> parent) : parent_(std::move(parent)) {}

GtkFileChooserNative* GtkDialogs::newChooser(const std::string& title, const std::string& confirmLabel,
                                             GtkFileChooserAction action, const std::vector<FileFilter>& filters,
                                             const std::optional<std::filesystem::path>& startFolder) const {
    // Owned by us until its answer has been delivered.
    GtkFileChooserNative* chooser = gtk_file_chooser_native_new(
        title.c_str(), parent(), action, confirmLabel.empty() ? nullptr : confirmLabel.c_str(), nullptr);
    gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(chooser), TRUE);
    for (const auto& filter : filters) gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(chooser), gtkFilter(filter));
    if (startFolder) gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(chooser), startFolder->c_str());
    return chooser;
}

void GtkDialogs::runOpenPanel(const OpenPanelOptions& options,
                              std::function<void(std::optional<std::vector<std::filesystem::path>>)> completion) {
    auto action = options.chooseFolders ? GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER : GTK_FILE_CHOOSER_ACTION_OPEN;
    GtkFileChooserNative* chooser =
        newChooser(options.title, options.confirmLabel, action, options.filters, options.startFolder);
    gtk_file_chooser_set_select_multiple(GTK_FILE_CHOOSER(chooser), options.allowsMultipleSelection);
    gtk_file_chooser_set_create_folders(GTK_FILE_CHOOSER(chooser), options.canCreateFolders);
    showChooser(chooser, std::move(completion));
}

void GtkDialogs::runSavePanel(const SavePanelOptions& options,
                              std::function<void(std::optional<std::filesystem::path>)> completion) {
    GtkFileChooserNative* chooser = newChooser(options.title, options.confirmLabel, GTK_FILE_CHOOSER_ACTION_SAVE,
                                               options.filters, options.startFolder);
    gtk_file_chooser_set_do_overwrite_confirmation(GTK_FILE_CHOOSER(chooser), TRUE);
    if (!options.suggestedName.empty()) {
        gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(chooser), options.suggestedName.c_str());
    }
    showChooser(chooser, [completion = std::move(completion)](std::optional<Paths> chosen) {
        completion(chosen ? std::optional(chosen->front()) : std::nullopt);
    });
}

void GtkDialogs::runAlert(const AlertOptions& options, std::function<void(int button)> completion) {
    struct Pending {
        std::function<void(int)> completion;
        int buttons = 0;
        bool answered = false;

        void answer(int button) {
            if (answered) return;
            answered = true;
            later([completion = std::move(completion), button] { completion(button); });
        }
    };
    auto type = options.style == AlertStyle::warning ? GTK_MESSAGE_WARNING : GTK_MESSAGE_INFO;
    // A sheet goes away with its window; that too answers it.
    auto flags = GtkDialogFlags(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT);
    GtkWidget* dialog =
        gtk_message_dialog_new(options.attachedToWindow ? parent() : nullptr, flags, type, GTK_BUTTONS_NONE, "%s",
                               options.message.c_str());
    // Without a window to sit on, it goes where a person looks first.
    if (gtk_window_get_transient_for(GTK_WINDOW(dialog)) == nullptr) {
        gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
    }
    if (!options.informativeText.empty()) {
        gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", options.informativeText.c_str());
    }
    std::vector<std::string> buttons = options.buttons.empty() ? std::vector<std::string>{"OK"} : options.buttons;
    // Response ids 0, 1, ... are the button indices; GTK's own responses are all negative.
    for (std::size_t i = 0; i < buttons.size(); ++i) {
        gtk_dialog_add_button(GTK_DIALOG(dialog), buttons[i].c_str(), static_cast<gint>(i));
    }
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), 0);

    auto* pending = new Pending{std::move(completion), static_cast<int>(buttons.size())};
    auto respond = +[](GtkDialog* dialog, gint response, gpointer data) {
        auto* pending = static_cast<Pending*>(data);
        pending->answer(response >= 0 && response < pending->buttons ? response : pending->buttons - 1);
        gtk_widget_destroy(GTK_WIDGET(dialog));
    };
    auto destroyed = +[](GtkWidget*, gpointer data) {
        auto* pending = static_cast<Pending*>(data);
        pending->answer(pending->buttons - 1);
    };
    g_signal_connect(dialog, "response", G_CALLBACK(respond), pending);
    // The last handler to go frees the shared data: GObject drops handlers after "destroy".
    g_signal_connect_data(dialog, "destroy", G_CALLBACK(destroyed), pending,
                          [](gpointer data, GClosure*) { delete static_cast<Pending*>(data); }, GConnectFlags(0));
    gtk_window_present(GTK_WINDOW(dialog));
}

}  // namespace taviro::platform::gtk
