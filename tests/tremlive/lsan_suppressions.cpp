// Fontconfig keeps a little of its cache for the life of the process; under the leak checker of
// sanitizer builds that would fail every test binary that draws text.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}
