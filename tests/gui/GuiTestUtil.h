// What every desktop test needs first: one application object for the whole
// test run, with settings kept apart from the user's.
#pragma once

#include <QApplication>
#include <QStandardPaths>

namespace guitest {

inline void EnsureApplication()
{
    static int argc = 1;
    static char arg0[] = "midwire_gui_tests";
    static char* argv[] = {arg0, nullptr};
    if (!QApplication::instance()) {
        QStandardPaths::setTestModeEnabled(true);  // settings never touch the user's
        new QApplication(argc, argv);              // lives for the whole test run
    }
}

}  // namespace guitest
