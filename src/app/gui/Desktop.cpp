// The desktop program: one session document shown in one main window.

#include "app/gui/Desktop.h"

#include <QApplication>
#include <QMessageBox>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "app/CliSupport.h"
#include "app/CommandTable.h"
#include "app/gui/DialogRegistry.h"
#include "app/gui/MainFrame.h"
#include "session/MidwireDoc.h"
#include "views/gui/PrintDevice.h"

const CliGuiCommand* DesktopCliCommands()
{
    static const CliGuiCommand commands[] = {
        {"print", "print a session's history (or editor) to a PDF file or a printer", CmdPrint},
        {nullptr, nullptr, nullptr},
    };
    return commands;
}

namespace {

QtMessageHandler g_pfnPreviousMessageHandler = nullptr;

// Installed while the application object starts. A display that is named
// but cannot be opened (DISPLAY of a server that is gone, WAYLAND_DISPLAY
// with no Wayland support) ends Qt's start with a fatal message and an
// abort; the program says what is wrong and ends with status 1 instead of
// dumping core. Qt's own warnings before it (which display it tried) pass.
void StartupMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& strMessage)
{
    if (type == QtFatalMsg) {
        std::fputs("midwire: the desktop program cannot start: no display could be opened; "
                   "the commands run without one: midwire --help\n",
                   stderr);
        std::_Exit(1);
    }
    if (g_pfnPreviousMessageHandler)
        g_pfnPreviousMessageHandler(type, context, strMessage);
}

}  // namespace

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
    // A file the user writes to may be a pipe whose reader goes away (Save,
    // Save from Editor, Save Special, a print, decoded parts): the write then
    // fails and is reported, instead of the signal ending the program with
    // the session it holds. The printing library ignores the signal once it
    // looks for printers; the program does not leave that to it.
    ::signal(SIGPIPE, SIG_IGN);
    g_pfnPreviousMessageHandler = qInstallMessageHandler(StartupMessageHandler);
    QApplication app(argc, argv);
    qInstallMessageHandler(g_pfnPreviousMessageHandler);
    QApplication::setApplicationName(QStringLiteral("Midwire"));
    QApplication::setOrganizationName(QStringLiteral("Midwire"));
    QApplication::setApplicationVersion(QStringLiteral("1.3.3"));

    CMidwireDoc doc;
    CMainFrame frame(doc);
    doc.OnNewDocument();
    RegisterAllCommands(doc);
    RegisterAllDialogs();
    frame.RegisterWindowCommands();

    // The application object has taken its own options out of argv.
    if (argc >= 2) {
        // A session file named on the command line, taken byte for byte (Qt's
        // decoding of the arguments would turn a byte that is not UTF-8 into
        // U+FFFD, and so name another file); the program ends when it cannot
        // be opened (the reason has been shown).
        if (!frame.OpenSessionFile(ArgumentText(argv[1])))
            return 1;
    }
    frame.show();
    return app.exec();
}
