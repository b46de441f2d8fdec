// The desktop program: one session document shown in one main window.

#include "app/gui/Desktop.h"

#include <QApplication>
#include <QMessageBox>
#include <cstdio>

#include "app/CommandTable.h"
#include "app/gui/DialogRegistry.h"
#include "app/gui/MainFrame.h"
#include "session/MidwireDoc.h"
#include "views/gui/PrintDevice.h"

const CliGuiCommand* DesktopCliCommands()
{
    static const CliGuiCommand commands[] = {
        {"print", "print a session's history (or editor) to a PDF file", CmdPrint},
        {nullptr, nullptr, nullptr},
    };
    return commands;
}

int RunDesktop(int argc, char** argv)
{
    // Without a display Qt would abort with a plug-in message; say what is
    // wrong and where the commands are instead.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        std::fputs("midwire: no display to show the desktop program on (DISPLAY is not set); "
                   "the commands run without one: midwire --help\n",
                   stderr);
        return 1;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Midwire"));
    QApplication::setOrganizationName(QStringLiteral("Midwire"));
    QApplication::setApplicationVersion(QStringLiteral("1.3.3"));

    CMidwireDoc doc;
    CMainFrame frame(doc);
    doc.OnNewDocument();
    RegisterAllCommands(doc);
    RegisterAllDialogs();
    frame.RegisterWindowCommands();

    const QStringList args = QApplication::arguments();
    if (args.size() >= 2) {
        // A session file named on the command line; the program ends when it
        // cannot be opened (the reason has been shown).
        if (!frame.OpenSessionFile(args[1]))
            return 1;
    }
    frame.show();
    return app.exec();
}
