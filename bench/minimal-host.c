/* The floor the shell is measured against: one GtkWindow with the shell's three menus (their titles
 * need the same CJK font), one WebKitWebView, the connecting page
 * from a file, then the service page once the connecting page has loaded. Each finished load
 * goes to TRACE as "finished URI<TAB>first heading", like the shell's own trace.
 * Usage: minimal-host CONNECTING_PAGE.html SERVICE_URL TRACE */
#include <stdio.h>
#include <webkit2/webkit2.h>

static const char* service_url;
static const char* trace_path;

static void heading_found(GObject* view, GAsyncResult* result, gpointer uri) {
    JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(view), result, NULL);
    char* heading = value ? jsc_value_to_string(value) : g_strdup("");
    FILE* trace = fopen(trace_path, "a");
    if (trace) {
        fprintf(trace, "finished %s\t%s\n", (char*)uri, heading);
        fclose(trace);
    }
    g_free(heading);
    g_free(uri);
    if (value) g_object_unref(value);
}

static void load_changed(WebKitWebView* view, WebKitLoadEvent event, gpointer data) {
    (void)data;
    if (event != WEBKIT_LOAD_FINISHED) return;
    WebKitWebResource* shown = webkit_web_view_get_main_resource(view);
    char* uri = g_strdup(shown ? webkit_web_resource_get_uri(shown) : webkit_web_view_get_uri(view));
    webkit_web_view_evaluate_javascript(view, "document.querySelector('h1')?.textContent ?? ''", -1, NULL, NULL, NULL,
                                        heading_found, uri);
    if (g_str_equal(uri, "about:blank")) webkit_web_view_load_uri(view, service_url);
}

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: minimal-host CONNECTING_PAGE.html SERVICE_URL TRACE\n");
        return 2;
    }
    char* connecting = NULL;
    if (!g_file_get_contents(argv[1], &connecting, NULL, NULL)) return 1;
    service_url = argv[2];
    trace_path = argv[3];
    gtk_init(&argc, &argv);
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(window), 1280, 820);
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    GtkWidget* menus = gtk_menu_bar_new();
    const char* titles[] = {"Taviro", "编辑", "查看"};
    for (int i = 0; i < 3; ++i) {
        GtkWidget* item = gtk_menu_item_new_with_label(titles[i]);
        gtk_menu_item_set_submenu(GTK_MENU_ITEM(item), gtk_menu_new());
        gtk_menu_shell_append(GTK_MENU_SHELL(menus), item);
    }
    GtkWidget* view = webkit_web_view_new();
    gtk_box_pack_start(GTK_BOX(box), menus, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), view, TRUE, TRUE, 0);
    gtk_container_add(GTK_CONTAINER(window), box);
    g_signal_connect(view, "load-changed", G_CALLBACK(load_changed), NULL);
    g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), NULL);
    gtk_widget_show_all(window);
    webkit_web_view_load_html(WEBKIT_WEB_VIEW(view), connecting, NULL);
    gtk_main();
    g_free(connecting);
    return 0;
}
