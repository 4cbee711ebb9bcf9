#include <array>
#include <gtest/gtest.h>
#include <optional>

#include "tests/support/TestSupport.h"
#include "tests/window/WindowHarness.h"

namespace taviro::test::window {
namespace {

TEST(ScreenGrab, SavesTheWholeScreenAsAPNG) {
    test::TempDir folder;
    auto file = folder / "screen.png";
    auto result = test::runCaptured({TAVIRO_SCREEN_GRAB, file.string()});
    ASSERT_EQ(result.status, 0) << result.err;

    std::string bytes = test::readFile(file);
    ASSERT_GT(bytes.size(), 24u);
    EXPECT_EQ(bytes.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    GError* error = nullptr;
    GdkPixbuf* picture = gdk_pixbuf_new_from_file(file.c_str(), &error);
    ASSERT_NE(picture, nullptr) << (error != nullptr ? error->message : "");
    GdkWindow* root = gdk_get_default_root_window();
    EXPECT_EQ(gdk_pixbuf_get_width(picture), gdk_window_get_width(root));
    EXPECT_EQ(gdk_pixbuf_get_height(picture), gdk_window_get_height(root));
    g_object_unref(picture);
}

// The colour of the screen at (x, y), as the screen grab saw it.
std::optional<std::array<int, 3>> screenPixel(const std::filesystem::path& file, int x, int y) {
    auto result = test::runCaptured({TAVIRO_SCREEN_GRAB, file.string()});
    if (result.status != 0) return std::nullopt;
    GdkPixbuf* picture = gdk_pixbuf_new_from_file(file.c_str(), nullptr);
    if (picture == nullptr) return std::nullopt;
    const guchar* pixels = gdk_pixbuf_read_pixels(picture);
    const guchar* pixel = pixels + y * gdk_pixbuf_get_rowstride(picture) + x * gdk_pixbuf_get_n_channels(picture);
    std::array<int, 3> colour{pixel[0], pixel[1], pixel[2]};
    g_object_unref(picture);
    return colour;
}

TEST(ScreenGrab, SeesTheWebViewsContent) {
    loadHTMLAndWait("<!doctype html><body style='margin: 0; background: rgb(20, 160, 90)'>");
    GtkWidget* view = GTK_WIDGET(webKitView());
    int x = 0, y = 0;
    gdk_window_get_origin(gtk_widget_get_window(view), &x, &y);
    GtkAllocation allocation;
    gtk_widget_get_allocation(view, &allocation);
    x += allocation.x + allocation.width / 2;
    y += allocation.y + allocation.height / 2;

    test::TempDir folder;
    std::optional<std::array<int, 3>> seen;
    std::array<int, 3> expected{20, 160, 90};
    // Painting takes many turns of the event loop, and a grab holds the loop up: the loop gets
    // time of its own between grabs.
    for (int attempt = 0; attempt < 50 && seen != expected; ++attempt) {
        spin(0.2);
        seen = screenPixel(folder / "content.png", x, y);
    }
    ASSERT_TRUE(seen.has_value());
    EXPECT_EQ(*seen, expected);
}

}  // namespace
}  // namespace taviro::test::window
