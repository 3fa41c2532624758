// Whether a window can be shown at all: a program with a window checks this before it starts
// its window library, which would otherwise abort without a display.
#pragma once

#include <cstdio>

// True when a display is named: QT_QPA_PLATFORM (which may choose the off-screen platform),
// DISPLAY or WAYLAND_DISPLAY is set and not empty. Always true on Windows.
bool platHasDisplay();

// True when stream writes to a terminal (a console window on Windows), where a program may redraw
// a progress line in place; false for a file or a pipe.
bool platIsTerminal(std::FILE* stream);
