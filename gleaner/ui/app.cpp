// The dialog front end of the gleaner executable.
#include <QApplication>
#include <clocale>
#include <cstdio>

#include "gleaner/ui/gleanerdlg.h"
#include "platform/display.h"

// The status of a dialog that cannot be shown, as the other programs with a window use it.
constexpr int kExitNoDisplay = 2;

int gleanerRunDialog(int argc, char** argv) {
    if (!platHasDisplay()) {
        std::fprintf(stderr, "gleaner: no display for the window; use \"gleaner fetch\"\n");
        return kExitNoDisplay;
    }
    QApplication app(argc, argv);
    // Qt takes the user's locale; numbers in Siphon.ini keep a decimal point.
    std::setlocale(LC_NUMERIC, "C");
    CGleanerDlg dlg;
    dlg.show();
    return app.exec();
}
