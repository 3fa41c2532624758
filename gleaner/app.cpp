// The dialog front end of the gleaner executable.
#include <QApplication>

#include "gleaner/gleanerdlg.h"

int gleanerRunDialog(int argc, char** argv) {
    QApplication app(argc, argv);
    CGleanerDlg dlg;
    dlg.show();
    return app.exec();
}
