// The window front end of a build made without Qt 6 Widgets.
#include <cstdio>

#include "rillet/frontends.h"
#include "tools/exit_usage.h"

int RunWindow(char*) {
    std::fprintf(stderr, "rillet: this build has no window (made without Qt 6 Widgets); use --headless\n");
    return kExitUsage;
}
