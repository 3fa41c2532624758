// Sanitizer defaults for programs that open the catalogue. Only a sanitizer build reads them.
//
// The ODBC drivers (SQLite ODBC, psqlODBC) leak a little on every connect, inside the driver
// manager's connect calls; those leaks are not ours and are suppressed by that entry point. The
// driver manager unloads a driver before the leak check, so its frames have no names and only a
// full (slow) unwind reaches the connect call.
extern "C" {

__attribute__((visibility("default"), used)) const char* __asan_default_options() {
    return "fast_unwind_on_malloc=0";
}

__attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() {
    return "leak:SQLConnect\nleak:SQLDriverConnect\n";
}
}
