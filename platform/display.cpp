#include "platform/display.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cstdlib>
#include <initializer_list>

bool platHasDisplay() {
#ifdef _WIN32
    // A Windows program always has the desktop of its session.
    return true;
#endif
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') return true;
    }
    return false;
}

bool platIsTerminal(std::FILE* stream) {
    if (stream == nullptr) return false;
#ifdef _WIN32
    return _isatty(_fileno(stream)) != 0;
#else
    return isatty(fileno(stream)) != 0;
#endif
}
