#include <gtest/gtest.h>

#include "platform/linux/gtk/GtkDialogs.h"
#include "tests/support/TestSupport.h"
#include "tests/window/WindowHarness.h"

namespace taviro::test::window {
namespace {

using namespace std::string_literals;

std::string take(gchar* text) {
    std::string result = text != nullptr ? text : "";
    g_free(text);
    return result;
}

std::string label(GtkDialog* dialog, int response) {
    GtkWidget* button = gtk_dialog_get_widget_for_response(dialog, response);
    return button != nullptr ? gtk_button_get_label(GTK_BUTTON(button)) : "";
}

// What the user sees of a dialog, in one line.
std::string describe(GtkDialog* dialog) {
    if (GTK_IS_MESSAGE_DIALOG(dialog)) {
        GtkMessageType type;
        gchar *message, *informative;
        g_object_get(dialog, "message-type", &type, "text", &message, "secondary-text", &informative, nullptr);
        std::string text = type == GTK_MESSAGE_WARNING ? "warning|" : type == GTK_MESSAGE_INFO ? "info|" : "|";
        text += take(message) + "|" + take(informative);
        for (int i = 0; !label(dialog, i).empty(); ++i) text += "|" + label(dialog, i);
        return text;
    }
    auto* chooser = GTK_FILE_CHOOSER(dialog);
    const char* actions[] = {"open", "save", "folders"};
    std::string text = gtk_window_get_title(GTK_WINDOW(dialog)) + ("|" + label(dialog, GTK_RESPONSE_ACCEPT));
    text += std::string("|") + actions[gtk_file_chooser_get_action(chooser)] + "|" +
            take(gtk_file_chooser_get_current_folder(chooser)) +
            (gtk_file_chooser_get_select_multiple(chooser) ? "|multiple" : "") +
            (gtk_file_chooser_get_create_folders(chooser) ? "|new folders" : "");
    GSList* filters = gtk_file_chooser_list_filters(chooser);
    for (GSList* each = filters; each != nullptr; each = each->next) {
        GVariant* filter = g_variant_ref_sink(gtk_file_filter_to_gvariant(GTK_FILE_FILTER(each->data)));
        text += "|" + take(g_variant_print(filter, FALSE));
        g_variant_unref(filter);
    }
    g_slist_free(filters);
    bool save = gtk_file_chooser_get_action(chooser) == GTK_FILE_CHOOSER_ACTION_SAVE;
    return save ? text + "|" + take(gtk_file_chooser_get_current_name(chooser)) : text;
}

// Selects `file` in the chooser, or with "*" everything it shows, until `selection` is chosen.
// (Selecting files one by one moves the cursor, which leaves only the last one selected.)
void select(GtkDialog* dialog, const std::string& file, const std::string& selection) {
    auto* chooser = GTK_FILE_CHOOSER(dialog);
    EXPECT_TRUE(waitUntil([&] {
        if (file == "*") gtk_file_chooser_select_all(chooser);
        if (file != "*") gtk_file_chooser_select_filename(chooser, file.c_str());
        std::string chosen;
        GSList* files = gtk_file_chooser_get_filenames(chooser);
        for (GSList* each = files; each != nullptr; each = each->next) chosen += static_cast<char*>(each->data) + ";"s;
        g_slist_free_full(files, g_free);
        return chosen == selection;
    }));
}

// Each kind of dialog, as a sheet on the main window or application-modal, answered each way.
TEST(Dialogs, ShowModallyAndCompleteOnceWithTheAnswer) {
    test::TempDir sheetsFolder, folders;
    std::string files = sheetsFolder.path().string(), sub = (folders / "sub").string();
    std::string bothSheets = files + "/a.xlsx;" + files + "/b.xlsx;";
    test::writeFile(sheetsFolder / "a.xlsx", "a");
    test::writeFile(sheetsFolder / "b.xlsx", "b");
    test::writeFile(sheetsFolder / "c.txt", "not a sheet");
    std::filesystem::create_directory(sub);
    std::vector<std::string> answers;
    auto paths = [&](RecordingDelegate::Files chosen) {
        std::string text = chosen ? "" : "cancelled";
        for (const auto& path : chosen.value_or(std::vector<std::filesystem::path>{})) text += path.string() + ";";
        answers.push_back(text);
    };
    auto path = [&](std::optional<std::filesystem::path> chosen) { answers.push_back(chosen.value_or("cancelled")); };
    auto button = [&](int index) { answers.push_back(std::to_string(index)); };
    std::string sheetType = "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet";
    platform::FileFilter sheets{"表格", {"*.xlsx"}, {sheetType}};
    std::string filter = "|('表格', [(0, '*.xlsx'), (1, '" + sheetType + "')])";
    platform::gtk::GtkDialogs parentless(nullptr);
    struct Case {
        bool sheet;  // else application-modal
        std::function<void(platform::Dialogs&)> show;
        std::string looks;
        std::string select;  // in a chooser, before the response
        int response;        // for an alert, the button clicked; closing it is Escape
        std::string answered;
    } cases[] = {
        {true, [&](auto& d) { d.runOpenPanel({"导入", "导入表格", false, true, false, {sheets}, files}, paths); },
         "导入|导入表格|open|" + files + "|multiple" + filter, "*", GTK_RESPONSE_ACCEPT, bothSheets},
        {false, [&](auto& d) { d.runOpenPanel({"选择文件夹", "选择", true, false, true, {}, folders.path()}, paths); },
         "选择文件夹|选择|folders|" + folders.path().string() + "|new folders", sub, GTK_RESPONSE_ACCEPT, sub + ";"},
        {false, [&](auto& d) { d.runOpenPanel({"导入", "导入表格", false, false, false, {sheets}, files}, paths); },
         "导入|导入表格|open|" + files + filter, "", GTK_RESPONSE_CANCEL, "cancelled"},
        {true, [&](auto& d) { d.runSavePanel({"导出", "保存", "报告.xlsx", files, {sheets}}, path); },
         "导出|保存|save|" + files + "|new folders" + filter + "|报告.xlsx", "", GTK_RESPONSE_ACCEPT, files + "/报告.xlsx"},
        {true, [&](auto& d) { d.runAlert({platform::AlertStyle::informational, "最新", "1.0.73", {"好", "查看"}}, button); },
         "info|最新|1.0.73|好|查看", "", 1, "1"},
        // No button pressed counts as the last one.
        {false, [&](auto& d) { d.runAlert({platform::AlertStyle::warning, "更新失败", "", {"重试", "稍后", "取消"}}, button); },
         "warning|更新失败||重试|稍后|取消", "", GTK_RESPONSE_CLOSE, "2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.looks);
        answers.clear();
        c.show(c.sheet ? *harness.host->dialogs() : parentless);
        EXPECT_TRUE(answers.empty()) << "answered before it was shown";
        ASSERT_TRUE(waitUntil([] { return shownDialog() != nullptr; }));
        GtkDialog* dialog = shownDialog();
        // A chooser shows its folder once it has read it.
        EXPECT_TRUE(waitUntil([&] { return describe(dialog) == c.looks; }, 5)) << describe(dialog);
        EXPECT_TRUE(gtk_window_get_modal(GTK_WINDOW(dialog)));
        EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(dialog)), c.sheet ? harness.window : nullptr);
        if (!c.select.empty()) select(dialog, c.select, c.answered);
        if (!GTK_IS_MESSAGE_DIALOG(dialog)) {
            gtk_dialog_response(dialog, c.response);
        } else if (c.response == GTK_RESPONSE_CLOSE) {
            g_signal_emit_by_name(dialog, "close");
        } else {
            gtk_button_clicked(GTK_BUTTON(gtk_dialog_get_widget_for_response(dialog, c.response)));
        }
        ASSERT_TRUE(waitUntil([&] { return !answers.empty() && shownDialog() == nullptr; }));
        spin(0.3);
        EXPECT_EQ(answers, std::vector<std::string>{c.answered});
    }
}

}  // namespace
}  // namespace taviro::test::window
