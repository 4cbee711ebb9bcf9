// taviro_screen_grab <file.png>: saves the whole X screen as a PNG, for the end-to-end tests'
// screenshots.

#include <cstdio>
#include <gtk/gtk.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <file.png>\n", argc > 0 ? argv[0] : "taviro_screen_grab");
        return 2;
    }
    if (!gtk_init_check(nullptr, nullptr)) {
        std::fprintf(stderr, "cannot open the display\n");
        return 1;
    }
    GdkWindow* root = gdk_get_default_root_window();
    int width = gdk_window_get_width(root);
    int height = gdk_window_get_height(root);
    GdkPixbuf* pixbuf = gdk_pixbuf_get_from_window(root, 0, 0, width, height);
    if (pixbuf == nullptr) {
        std::fprintf(stderr, "cannot read the screen\n");
        return 1;
    }
    GError* error = nullptr;
    bool saved = gdk_pixbuf_save(pixbuf, argv[1], "png", &error, nullptr);
    g_object_unref(pixbuf);
    if (!saved) {
        std::fprintf(stderr, "cannot write %s: %s\n", argv[1], error != nullptr ? error->message : "unknown error");
        g_clear_error(&error);
        return 1;
    }
    return 0;
}
