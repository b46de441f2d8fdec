// The headless subcommands of the midwire program.
#pragma once

#include <QStringList>

// Exit statuses of the subcommands.
enum : int {
    EXIT_OK = 0,
    EXIT_FAILED = 1,  // the work failed (a file could not be read, a start failed, ...)
    EXIT_USAGE = 2,   // the command line is wrong
};

struct CliCommand {
    const char* pszName;
    const char* pszSummary;
    // Runs the command; args[0] is "midwire <name>", the rest its arguments.
    int (*pfnRun)(const QStringList& args);
};

// Every subcommand, ending with a null entry.
extern const CliCommand g_cliCommands[];

// Subcommands of the desktop library that need the window system's
// application object (printing to PDF): each creates its own from argc and
// argv (argv[1] being its name). main() installs the table, ending with a
// null entry, before calling MidwireMain; the core stays free of widgets.
struct CliGuiCommand {
    const char* pszName;
    const char* pszSummary;
    int (*pfnMain)(int argc, char** argv);
};
extern const CliGuiCommand* g_pGuiCliCommands;

// Runs the program: a subcommand when the first argument names one, else
// the desktop program (with a session file to open when one is named).
// The desktop program is passed in, so that the core needs no widgets.
int MidwireMain(int argc, char** argv, int (*pfnRunDesktop)(int argc, char** argv));

// The desktop program (in the desktop library).
int RunDesktop(int argc, char** argv);

// Subcommands.
int CmdSession(const QStringList& args);
int CmdMime(const QStringList& args);
int CmdCodec(const QStringList& args);
int CmdDgram(const QStringList& args);
int CmdExport(const QStringList& args);
int CmdShow(const QStringList& args);
int CmdRelay(const QStringList& args);
int CmdPlayback(const QStringList& args);

// Helpers for subcommands: print to stderr with the program's prefix.
void CliError(const QString& strText);
