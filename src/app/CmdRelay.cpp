// midwire relay: a TCP relay session without the desktop.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include "app/Cli.h"
#include "app/CliSupport.h"
#include "app/HeadlessFrontEnd.h"
#include "relay/Relay.h"
#include "relay/RelayDialogs.h"
#include "session/MidwireDoc.h"
#include "views/DisplayTranslation.h"

namespace {

const char* const kUsage =
    "Usage: midwire relay [--listen PORT] [--connect HOST:PORT] [OPTIONS]\n\n"
    "Relays a TCP client and a TCP server: listens on PORT (on the first address\n"
    "of the local host name) for one client, connects to HOST:PORT, and moves the\n"
    "bytes both ways, recording every piece of data and every change of state.\n"
    "Either side may be used alone; data from a side whose other side is not in\n"
    "use is held. Each shown event is printed as one line (action, host, time and\n"
    "data, separated by tabs) as it happens.\n\n"
    "The session ends when a peer closes its connection, or on SIGINT, SIGTERM or\n"
    "SIGHUP (the connection is then ended cleanly; SIGHUP is left ignored when it\n"
    "was ignored at the start, as under nohup). A peer that closes may only have\n"
    "ended its data and still read: once all it sent got through, the other peer\n"
    "is told that no more data comes, and what it answers is relayed until it\n"
    "closes too or sends nothing for a second (or the time wait, if longer).\n"
    "With --keep-alive the next client is served after each session, until\n"
    "--sessions is reached or a signal comes.\n\n"
    "  --listen PORT          accept one client on PORT (a number or service name)\n"
    "  --connect HOST:PORT    connect to the server HOST at PORT; HOST is an IPv4\n"
    "                         address or a name with one (IPv6 is not used)\n"
    "  --hold-client          hold the client's data instead of forwarding it\n"
    "  --hold-server          hold the server's data instead of forwarding it\n"
    "  --keep-alive           serve clients one after another on the same port\n"
    "  --sessions N           with --keep-alive: end after N client sessions (0,\n"
    "                         the default, for no limit)\n"
    "  --break-char TEXT      cut received data after this character, given in\n"
    "                         display form ([10] is a line feed, the default)\n"
    "  --no-break-char        record each receive as one piece\n"
    "  --verbose              also record each piece when received and when sent\n"
    "  --quiet                record data without showing (printing) it; status\n"
    "                         events are still printed\n"
    "  --client-time-wait MS  pauses when the client closes (default 300)\n"
    "  --server-time-wait MS  pauses when the server closes (default 300)\n"
    "  --client-wait-retries N  polls for the client worker to end (default 1000000)\n"
    "  --server-wait-retries N  polls for the server worker to end (default 1000000)\n"
    "  --from FILE.mwx        start from the settings (and history) of a session file\n"
    "                         ('-' or a pipe: read from standard input or the pipe)\n"
    "  --save FILE.mwx        save the whole session to FILE when it ends (not '-':\n"
    "                         standard output carries the event lines)\n"
    "  -h, --help             show this help\n\n"
    "Options given on the command line override those of --from.\n"
    "Exit status: 0 when the session ran (or was interrupted), 1 when it could not\n"
    "start, or with --keep-alive when a later session could not, or when the\n"
    "session could not be saved (the reason is printed), or when memory ran out\n"
    "(the session is then ended and saved as for a signal), 2 for a wrong command\n"
    "line.\n";

int Usage(const QString& strError)
{
    return UsageError(strError, kUsage);
}


}  // namespace

int CmdRelay(const QStringList& args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(kUsage));
    const QCommandLineOption help({"h", "help"}, "Show this help.");
    const QCommandLineOption listen("listen", "", "PORT");
    const QCommandLineOption connect("connect", "", "HOST:PORT");
    const QCommandLineOption holdClient("hold-client", "");
    const QCommandLineOption holdServer("hold-server", "");
    const QCommandLineOption keepAlive("keep-alive", "");
    const QCommandLineOption sessions("sessions", "", "N");
    const QCommandLineOption breakChar("break-char", "", "TEXT");
    const QCommandLineOption noBreakChar("no-break-char", "");
    const QCommandLineOption verbose("verbose", "");
    const QCommandLineOption quiet("quiet", "");
    const QCommandLineOption clientTimeWait("client-time-wait", "", "MS");
    const QCommandLineOption serverTimeWait("server-time-wait", "", "MS");
    const QCommandLineOption clientRetries("client-wait-retries", "", "N");
    const QCommandLineOption serverRetries("server-wait-retries", "", "N");
    const QCommandLineOption from("from", "", "FILE");
    const QCommandLineOption save("save", "", "FILE");
    parser.addOptions({help, listen, connect, holdClient, holdServer, keepAlive, sessions, breakChar, noBreakChar,
                       verbose, quiet, clientTimeWait, serverTimeWait, clientRetries, serverRetries, from, save});
    if (!parser.parse(args))
        return UsageError(parser.errorText(), kUsage);
    if (parser.isSet(help)) {
        std::fputs(kUsage, stdout);
        return EXIT_OK;
    }
    if (!parser.positionalArguments().isEmpty())
        return Usage(QStringLiteral("relay: unexpected argument '%1'").arg(parser.positionalArguments().first()));
    if (parser.isSet(breakChar) && parser.isSet(noBreakChar))
        return Usage(QStringLiteral("relay: --break-char and --no-break-char exclude each other"));

    auto intOption = [&parser](const QCommandLineOption& option, int& nValue) {
        if (!parser.isSet(option))
            return true;
        return ParseDialogInt(LocalText(parser.value(option)), nValue);
    };
    int nSessions = 0;
    if (!intOption(sessions, nSessions))
        return Usage(QStringLiteral("relay: --sessions needs a number from 0 to 2147483647"));

    if (const QString strError = SaveToStandardOutputError(parser, save, "relay"); !strError.isEmpty())
        return Usage(strError);

    // Event lines go to standard output; a reader that leaves ends the
    // session cleanly instead of killing it unsaved.
    CBrokenPipeGuard brokenPipeGuard;
    CHeadlessFrontEnd frontEnd;
    CMidwireDoc doc;
    doc.OnNewDocument();
    if (parser.isSet(from) && !doc.OnOpenDocument(LocalText(parser.value(from)), true))
        return EXIT_FAILED;

    if (parser.isSet(listen)) {
        doc.m_bAcceptConnections = TRUE;
        doc.m_strListenPort = LocalText(parser.value(listen));
    }
    if (parser.isSet(connect)) {
        std::string strHost, strPort;
        const QString strError = ConnectTargetError(parser.value(connect), "relay", strHost, strPort);
        if (!strError.isEmpty())
            return Usage(strError);
        doc.m_bConnectToHost = TRUE;
        doc.m_strServerHost = strHost;
        doc.m_strServerPort = strPort;
    }
    if (parser.isSet(holdClient))
        doc.m_bHoldClientData = TRUE;
    if (parser.isSet(holdServer))
        doc.m_bHoldServerData = TRUE;
    if (parser.isSet(keepAlive))
        doc.m_bKeepAlive = TRUE;
    if (parser.isSet(verbose))
        doc.m_bVerbose = TRUE;
    if (parser.isSet(quiet))
        doc.m_bQuiet = TRUE;
    if (parser.isSet(noBreakChar))
        doc.m_bUseBreakChar = FALSE;
    if (parser.isSet(breakChar)) {
        const std::string strText = LocalText(parser.value(breakChar));
        std::int32_t nLength = 0;
        MallocPtr<unsigned char> bytes = DisplayTextToBytes(strText, nLength);
        if (!bytes || nLength <= 0)
            return Usage(ArgumentText(FormatMessageText(IDS_BAD_BREAK_CHAR, strText)));
        doc.m_bUseBreakChar = TRUE;
        doc.m_chBreakChar = static_cast<char>(bytes.get()[0]);
    }
    if (!intOption(clientTimeWait, doc.m_nClientTimeWait) || !intOption(serverTimeWait, doc.m_nServerTimeWait) ||
        !intOption(clientRetries, doc.m_nClientWaitRetries) || !intOption(serverRetries, doc.m_nServerWaitRetries))
        return Usage(QStringLiteral("relay: time waits and retries are numbers from 0 to 2147483647"));
    if (!doc.m_bAcceptConnections && !doc.m_bConnectToHost)
        return Usage(QStringLiteral("relay: give --listen, --connect or both (or a --from session that has them)"));
    // A count of sessions means nothing to a run that serves one client:
    // silently ignoring it would leave a script waiting for clients that the
    // relay never accepts.
    if (parser.isSet(sessions) && !doc.m_bKeepAlive)
        return Usage(QStringLiteral("relay: --sessions needs --keep-alive (or a --from session that has it)"));
    if (!SaveTargetUsable(parser, save, "relay"))
        return EXIT_FAILED;

    // Every received piece stays in the history for the whole session, so
    // the heap only grows: let it grow in large steps rather than one system
    // call per few pieces.
    ::mallopt(M_TOP_PAD, 64 << 20);

    frontEnd.SetRowPrinter(stdout);
    frontEnd.m_onDoModal = [&doc](UINT nIDD, void*) {
        return nIDD == IDD_WAIT_ACCEPT ? RunHeadlessWaitAccept(doc) : IDCANCEL;
    };

    // SIGINT and SIGTERM end the session from the event loop.
    bool bInterrupted = false;
    CSignalWatch signalWatch([&] {
        bInterrupted = true;
        if (g_pWaitAcceptDlg)
            g_pWaitAcceptDlg->EndDialog(IDCANCEL);
        else if (doc.m_bConnected)
            EndConnection(doc);  // also cuts short a close handler's waits
        if (!doc.m_bConnected && !IsRelayEnding())
            QCoreApplication::quit();
    });

    // With --keep-alive, a next session that was wanted but could not start
    // (the server went away) ends the run as a failure: the reason has been
    // printed, and the run stopped short of what it was asked to serve.
    int nServed = 0;
    bool bNextWanted = false;
    int nStatus = EXIT_OK;
    RelayHooks& hooks = GetRelayHooks();
    hooks.keepServing = [&] {
        ++nServed;
        bNextWanted = !bInterrupted && (nSessions == 0 || nServed < nSessions);
        return bNextWanted;
    };
    hooks.ended = [&] {
        if (bNextWanted && !bInterrupted && !TerminationSignalSeen())
            nStatus = EXIT_FAILED;
        QCoreApplication::quit();
    };

    if (StartConnection(doc)) {
        if (doc.m_bConnected)
            QCoreApplication::exec();
    } else if (!bInterrupted && !TerminationSignalSeen()) {
        // (A signal that gave up a connect to the server ends the run as an
        // interruption, though its handler has not run yet.)
        nStatus = EXIT_FAILED;
    }

    hooks = RelayHooks();
    ShutdownRelay(doc);
    if (parser.isSet(save) && !doc.OnSaveDocument(LocalText(parser.value(save))))
        nStatus = EXIT_FAILED;
    frontEnd.SetRowPrinter(nullptr);
    return nStatus;
}
