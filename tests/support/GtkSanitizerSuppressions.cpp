// The sanitizers' suppressions for a program that opens GTK windows: fontconfig's caches and
// the accessibility bus's connection are never freed, and Pango's font loading thread works on
// fontconfig's data under GLib's locks, which ThreadSanitizer does not see. The sanitizers ask
// the program itself for them, so a GUI test or program links this object directly (target
// testsupport_gtk).
// Those libraries keep no frame pointers: allocations are traced the slow way, so that a leak
// is told by the library that made it and the program's own leaks still show.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig.so\n"
           "leak:libatk-bridge-2.0.so\n"
           "leak:libdbus-1.so\n";
}

extern "C" const char* __asan_default_options()
{
    return "fast_unwind_on_malloc=0";
}

extern "C" const char* __tsan_default_suppressions()
{
    return "race:libfontconfig.so\n";
}
