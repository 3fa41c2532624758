#include "platform/display.h"

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
