// One application object for the tests of this binary, on the offscreen platform: fonts and
// images need one even without windows. Widget tests get a QApplication.
#pragma once

#include <cstdlib>
#ifdef QT_WIDGETS_LIB
#include <QApplication>
using TremTestApp = QApplication;
#else
#include <QGuiApplication>
using TremTestApp = QGuiApplication;
#endif

namespace tremtest {

inline void EnsureApp() {
    if (QCoreApplication::instance() != nullptr) return;
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static int argc = 1;
    static char name[] = "tremlive_tests";
    static char* argv[] = {name, nullptr};
    static TremTestApp* app = new TremTestApp(argc, argv);
    (void)app;
}

}  // namespace tremtest
