#include <gtest/gtest.h>

#include "platform/linux/gtk/GtkDialogs.h"
#include "tests/support/TestSupport.h"
#include "tests/window/WindowHarness.h"

using namespace taviro;
using namespace taviro::test::window;

// What the user sees of a dialog, in one line; a chooser first selects everything it shows.
static std::string describe(GtkDialog* dialog) {
    g_autofree gchar* message = nullptr;
    if (GTK_IS_MESSAGE_DIALOG(dialog)) g_object_get(dialog, "text", &message, nullptr);
    std::string text = message != nullptr ? message : gtk_window_get_title(GTK_WINDOW(dialog));
    for (int response : {0, 1, int(GTK_RESPONSE_ACCEPT)}) {
        GtkWidget* button = gtk_dialog_get_widget_for_response(dialog, response);
        if (button != nullptr) text += "|" + std::string(gtk_button_get_label(GTK_BUTTON(button)));
    }
    if (!GTK_IS_FILE_CHOOSER(dialog)) return text;
    auto* chooser = GTK_FILE_CHOOSER(dialog);
    gtk_file_chooser_select_all(chooser);
    g_autofree gchar* folder = gtk_file_chooser_get_current_folder(chooser);
    text += "|" + std::string(std::array{"open", "save", "folders"}[gtk_file_chooser_get_action(chooser)]) + "|" +
            (folder != nullptr ? folder : "") + "|";
    GSList* files = gtk_file_chooser_get_filenames(chooser);
    for (GSList* each = files; each; each = each->next) text += static_cast<char*>(each->data) + std::string(";");
    g_slist_free_full(files, g_free);
    return text;
}

// Each kind of dialog, as a sheet on the main window or application-modal: it shows what it
// was given, and answers once, later.
TEST(Dialogs, ShowModallyAndCompleteOnceWithTheAnswer) {
    test::TempDir folder;
    std::string f = folder.path().string();
    for (auto name : {"a.xlsx", "b.xlsx", "c.txt"}) test::writeFile(folder / name, name);
    std::vector<std::string> answers;
    using Paths = std::vector<std::filesystem::path>;
    auto paths = [&](std::optional<Paths> chosen) {
        answers.emplace_back();
        for (const auto& path : chosen.value_or(Paths{})) answers.back() += path.string() + ";";
    };
    auto path = [&](std::optional<std::filesystem::path> c) { answers.push_back(c.value_or("").string() + ";"); };
    auto button = [&](int index) { answers.push_back(std::to_string(index)); };
    platform::FileFilter sheets{"表格", {"*.xlsx"}, {}};
    platform::gtk::GtkDialogs parentless(nullptr);
    // On the main window, or else application-modal: shown, looking so, answered with this
    // response, this answer.
    struct Case { bool sheet; std::function<void(platform::Dialogs&)> show; std::string looks; int response;
                  std::string answer; };
    const std::string both = f + "/a.xlsx;" + f + "/b.xlsx;";
    Case cases[] = {
        {true, [&](auto& d) { d.runOpenPanel({"导入", "导入表格", false, true, false, {sheets}, f}, paths); },
         "导入|导入表格|open|" + f + "|" + both, GTK_RESPONSE_ACCEPT, both},
        {false, [&](auto& d) { d.runOpenPanel({"选择文件夹", "选择", true, false, true, {}, f}, paths); },
         "选择文件夹|选择|folders|" + f + "|" + f + ";", GTK_RESPONSE_ACCEPT, f + ";"},
        {true, [&](auto& d) { d.runSavePanel({"导出", "保存", "报告.xlsx", f, {sheets}}, path); },
         "导出|保存|save|" + f + "|" + f + "/报告.xlsx;", GTK_RESPONSE_ACCEPT, f + "/报告.xlsx;"},
        {false, [&](auto& d) { d.runAlert({platform::AlertStyle::informational, "最新", "1.0", {"好", "查看"}}, button); },
         "最新|好|查看", 1, "1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.looks);
        answers.clear();
        c.show(c.sheet ? *harness.host->dialogs() : parentless);
        EXPECT_TRUE(answers.empty()) << "answered before it was shown";
        ASSERT_TRUE(test::runMainLoopUntil([] { return shownDialog() != nullptr; }));
        GtkDialog* dialog = shownDialog();
        // A chooser shows its folder once it has read it.
        EXPECT_TRUE(test::runMainLoopUntil([&] { return describe(dialog) == c.looks; }, 5)) << describe(dialog);
        EXPECT_TRUE(gtk_window_get_modal(GTK_WINDOW(dialog)));
        EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(dialog)), c.sheet ? harness.window : nullptr);
        gtk_dialog_response(dialog, c.response);
        ASSERT_TRUE(test::runMainLoopUntil([&] { return !answers.empty() && shownDialog() == nullptr; }));
        test::runMainLoopFor(0.3);
        EXPECT_EQ(answers, std::vector<std::string>{c.answer});
    }
}
