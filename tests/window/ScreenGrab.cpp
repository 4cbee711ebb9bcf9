// taviro_screen_grab <file.png>: saves the whole X screen as a PNG, for the end-to-end tests'
// screenshots.

#include <cstdio>
#include <gtk/gtk.h>

int main(int argc, char** argv) {
    if (argc != 2 || !gtk_init_check({}, {})) return std::fputs("usage: taviro_screen_grab FILE.png\n", stderr), 2;
    GdkWindow* root = gdk_get_default_root_window();
    int width = gdk_window_get_width(root), height = gdk_window_get_height(root);
    g_autoptr(GdkPixbuf) screen = gdk_pixbuf_get_from_window(root, 0, 0, width, height);
    g_autoptr(GError) error = nullptr;
    if (screen != nullptr && gdk_pixbuf_save(screen, argv[1], "png", &error, nullptr)) return 0;
    return std::fprintf(stderr, "cannot save the screen to %s: %s\n", argv[1], error ? error->message : "no screen"), 1;
}
