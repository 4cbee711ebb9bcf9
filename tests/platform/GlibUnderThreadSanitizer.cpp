// GLib, GIO and libsecret are not built for ThreadSanitizer, and GLib locks with raw futexes it
// cannot see, so it reports GLib's own slice and D-Bus worker traffic as races. Those reports
// are kept out here, in the one executable that drives GLib from several threads; a race whose
// stacks touch none of these libraries is still reported.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
    return "race:libglib-2.0.so\n"
           "race:libgobject-2.0.so\n"
           "race:libgio-2.0.so\n"
           "race:libsecret-1.so\n";
}
#endif
