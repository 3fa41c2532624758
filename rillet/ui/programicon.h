// The program icon: a seismic trace on a dark square, drawn
// in code so that the program carries no image files. Used for the window, the About box and the
// notification-area icon.
#pragma once

#include <QIcon>

QIcon RilletIcon();
