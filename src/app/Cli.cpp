#include "app/Cli.h"

#include "app/CliSupport.h"
#include "mime/MimeAdapter.h"
#include "session/Memory.h"

#include <QCoreApplication>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

const CliCommand g_cliCommands[] = {
    {"session", "create, inspect and copy session files (.mwx)", CmdSession},
    {"mime", "analyse a MIME message or decode its parts into a directory", CmdMime},
    {"codec", "Base64 and Quoted-Printable coding of standard input", CmdCodec},
    {"export", "write a session's history as text, raw bytes or a MIME directory", CmdExport},
    {"show", "print a session's history as a text report", CmdShow},
    {"dgram", "bind a datagram port, record and move datagrams, or send one", CmdDgram},
    {"relay", "relay a TCP client and server, recording every piece of data", CmdRelay},
    {"playback", "replay a recorded exchange against a live client or server", CmdPlayback},
    {nullptr, nullptr, nullptr},
};

const CliGuiCommand* g_pGuiCliCommands = nullptr;

void CliError(const QString& strText)
{
    std::fprintf(stderr, "midwire: %s\n", LocalText(strText).c_str());
}

namespace {

void PrintUsage(std::FILE* out)
{
    std::fprintf(out,
                 "Usage: midwire [FILE.mwx]\n"
                 "       midwire COMMAND [OPTIONS...]\n"
                 "       midwire --help | --version\n\n"
                 "Without a command, Midwire starts its desktop program, opening the session\n"
                 "file when one is named. Commands run the same core without a display:\n\n");
    for (const CliCommand* p = g_cliCommands; p->pszName; ++p)
        std::fprintf(out, "  %-10s %s\n", p->pszName, p->pszSummary);
    for (const CliGuiCommand* p = g_pGuiCliCommands; p && p->pszName; ++p)
        std::fprintf(out, "  %-10s %s\n", p->pszName, p->pszSummary);
    std::fprintf(out, "\nRun 'midwire COMMAND --help' for the options of a command.\n");
}

// A lone word that names no file is a mistyped command rather than a session
// file to open: a session file is a path that exists, has an extension or
// names a folder.
bool LooksLikeCommand(const char* pszArg)
{
    struct stat st;
    return pszArg[0] != '\0' && !std::strchr(pszArg, '/') && !std::strchr(pszArg, '.') && ::stat(pszArg, &st) != 0;
}

// What a command printed must have reached its standard output: a full disk
// or a closed pipe behind it turns success into failure, with a message
// (naming the command, when one runs).
int CheckStandardOutput(const char* pszCommand, int nExit)
{
    std::string strReason = StandardOutputFailure();
    if (strReason.empty()) {
        if (std::fflush(stdout) == 0 && !std::ferror(stdout))
            return nExit;
        // The failed write before set errno, or the flush just did.
        strReason = std::strerror(errno);
    }
    const QString strFailure =
        QStringLiteral("writing to standard output failed: %1").arg(ArgumentText(strReason));
    CliError(pszCommand ? QString::fromLatin1(pszCommand) + QStringLiteral(": ") + strFailure : strFailure);
    return nExit == EXIT_OK ? EXIT_FAILED : nExit;
}

// A standard descriptor that the caller closed (a CI step or service started
// with "<&-" or ">&-") would be the number that the next descriptor the
// program opens gets: the event loop's wake-up descriptor or a socket would
// then receive the event lines and messages meant for the output. Each
// closed one is held by /dev/null, opened the other way round (standard
// input for writing, the outputs for reading), so that using it still fails
// as a closed descriptor does (EBADF) and the failure is reported as before.
void HoldClosedStandardDescriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        const int nHolder = ::open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
        if (nHolder >= 0 && nHolder != fd) {
            // (The lower numbers are open by now, so this is only a safeguard.)
            ::dup2(nHolder, fd);
            ::close(nHolder);
        }
    }
}

// What a command keeps aside for ending cleanly once memory has run out.
constexpr std::size_t kMemoryReserve = 32u << 20;

// The application object of the commands. A handler that runs out of
// memory (a datagram or a relay notification while the history fills the
// address space) would otherwise throw through the event loop, which cannot
// pass an exception on and ends the program: the event is given up, the
// lack is noted, and a command that runs a session ends it as for a signal.
class CCommandApplication : public QCoreApplication {
public:
    using QCoreApplication::QCoreApplication;
    bool notify(QObject* pReceiver, QEvent* pEvent) override
    {
        try {
            return QCoreApplication::notify(pReceiver, pEvent);
        } catch (const std::bad_alloc&) {
            NoteOutOfMemory();
            return false;
        }
    }
};

// The exit status of a command, and its message, when memory ran out on its
// way: what it went on without (a piece of data, an event, a line) makes
// its result no success.
int CheckOutOfMemory(const char* pszCommand, int nExit)
{
    if (!OutOfMemorySeen())
        return nExit;
    CliError(QStringLiteral("%1: out of memory").arg(QString::fromLatin1(pszCommand)));
    return nExit == EXIT_OK ? EXIT_FAILED : nExit;
}

}  // namespace

int MidwireMain(int argc, char** argv, int (*pfnRunDesktop)(int argc, char** argv))
{
    // A file that reaches the size limit fails its write (EFBIG), which every
    // save and export reports and cleans up after, instead of killing the
    // program half-way with its temporary file left behind.
    std::signal(SIGXFSZ, SIG_IGN);
    HoldClosedStandardDescriptors();
    // The MIME library starts while this is the only thread (it sets the
    // locale for a moment to start the same way under every locale).
    EnsureMimeLibrary();
    if (argc >= 2) {
        const char* pszFirst = argv[1];
        if (!std::strcmp(pszFirst, "--help") || !std::strcmp(pszFirst, "-h") || !std::strcmp(pszFirst, "help")) {
            PrintUsage(stdout);
            return CheckStandardOutput(nullptr, EXIT_OK);
        }
        if (!std::strcmp(pszFirst, "--version")) {
            std::printf("midwire 1.3.3\n");
            return CheckStandardOutput(nullptr, EXIT_OK);
        }
        for (const CliCommand* p = g_cliCommands; p->pszName; ++p) {
            if (!std::strcmp(pszFirst, p->pszName)) {
                CCommandApplication app(argc, argv);
                QCoreApplication::setApplicationName("midwire");
                // The arguments as given, byte for byte (a file name need not
                // be UTF-8); args[0] is the command's name.
                QStringList args;
                for (int i = 1; i < argc; ++i)
                    args << ArgumentText(argv[i]);
                args[0] = QStringLiteral("midwire ") + args[0];
                KeepMemoryReserve(kMemoryReserve);
                // A command that runs out of memory (a large input under a
                // memory limit) ends with a message and status 1, not an abort.
                try {
                    return CheckOutOfMemory(p->pszName, CheckStandardOutput(p->pszName, p->pfnRun(args)));
                } catch (const std::bad_alloc&) {
                    CliError(QStringLiteral("%1: out of memory").arg(QString::fromLatin1(p->pszName)));
                    return EXIT_FAILED;
                }
            }
        }
        for (const CliGuiCommand* p = g_pGuiCliCommands; p && p->pszName; ++p) {
            if (!std::strcmp(pszFirst, p->pszName)) {
                KeepMemoryReserve(kMemoryReserve);
                try {
                    return CheckOutOfMemory(p->pszName, CheckStandardOutput(p->pszName, p->pfnMain(argc, argv)));
                } catch (const std::bad_alloc&) {
                    CliError(QStringLiteral("%1: out of memory").arg(QString::fromLatin1(p->pszName)));
                    return EXIT_FAILED;
                }
            }
        }
        if (pszFirst[0] == '-') {
            CliError(QStringLiteral("unknown option '%1'").arg(ArgumentText(pszFirst)));
            PrintUsage(stderr);
            return EXIT_USAGE;
        }
        if (argc > 2 || LooksLikeCommand(pszFirst)) {
            CliError(QStringLiteral("unknown command '%1'").arg(ArgumentText(pszFirst)));
            PrintUsage(stderr);
            return EXIT_USAGE;
        }
    }
    return pfnRunDesktop(argc, argv);
}
