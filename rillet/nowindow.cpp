// The window front end of a program built without Qt 6 Widgets (rillet-headless, or rillet where
// Qt is absent).
#include <cstdio>

#include "rillet/frontends.h"
#include "commandline/exit_usage.h"

int RunWindow(char*, const std::string&) {
    std::fprintf(stderr,
                 "rillet: this program was built without its window (Qt 6 Widgets); use "
                 "--headless\n");
    return kExitUsage;
}
