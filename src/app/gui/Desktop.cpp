// The desktop program's entry point.

#include <QApplication>
#include <QMessageBox>

#include "app/Cli.h"

int RunDesktop(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName("Midwire");
    QMessageBox::information(nullptr, "Midwire", "Midwire Version 1.3.3");
    return 0;
}
