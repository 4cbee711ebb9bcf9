// Libraries not built for ThreadSanitizer that lock with means it cannot see. GLib locks with raw
// futexes, so GLib's own slice and D-Bus worker traffic looks like races; the C library's
// time-zone set-up (which libarchive's zip reader reaches for entry times) holds a lock of the C
// library's own. Those reports are kept out here; a race whose stacks touch none of these is
// still reported.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
    return "race:libglib-2.0.so\n"
           "race:libgobject-2.0.so\n"
           "race:libgio-2.0.so\n"
           "race:libsecret-1.so\n"
           "race:tzset_internal\n";
}
#endif
