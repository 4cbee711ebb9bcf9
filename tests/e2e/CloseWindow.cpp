// Asks the top-level window with the given title to close, the way a window manager's close
// button does: a WM_DELETE_WINDOW client message. Exits 1 when no such window exists.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <cstdio>
#include <string>

namespace {

// A toolkit keeps unmapped helper windows with the same name; only the shown window that takes
// WM_DELETE_WINDOW is the one a close button would address.
bool isTheWindow(Display* display, Window window, const std::string& title, Atom deleteWindow) {
    char* name = nullptr;
    if (!XFetchName(display, window, &name) || name == nullptr) return false;
    bool named = title == name;
    XFree(name);
    XWindowAttributes attributes;
    Atom* protocols = nullptr;
    int count = 0;
    if (!named || !XGetWindowAttributes(display, window, &attributes) || attributes.map_state != IsViewable ||
        !XGetWMProtocols(display, window, &protocols, &count)) {
        return false;
    }
    bool found = false;
    for (int i = 0; i < count; ++i) found = found || protocols[i] == deleteWindow;
    XFree(protocols);
    return found;
}

Window find(Display* display, Window window, const std::string& title, Atom deleteWindow) {
    if (isTheWindow(display, window, title, deleteWindow)) return window;
    Window root = 0, parent = 0, found = 0, *children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(display, window, &root, &parent, &children, &count)) return 0;
    for (unsigned i = 0; i < count && !found; ++i) found = find(display, children[i], title, deleteWindow);
    if (children) XFree(children);
    return found;
}

}  // namespace

int main(int argc, char** argv) {
    Display* display = argc == 2 ? XOpenDisplay(nullptr) : nullptr;
    if (!display) {
        std::fprintf(stderr, "usage: %s WINDOW-TITLE, on a display\n", argv[0]);
        return 2;
    }
    Atom deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);
    Window window = find(display, DefaultRootWindow(display), argv[1], deleteWindow);
    if (window) {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
        event.xclient.format = 32;
        event.xclient.data.l[0] = static_cast<long>(deleteWindow);
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(display, window, False, NoEventMask, &event);
    }
    XCloseDisplay(display);
    return window ? 0 : 1;
}
