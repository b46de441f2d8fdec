// midwire playback: replays one side of a recorded session against a live
// client or server and checks the replies, without the desktop.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "app/Cli.h"
#include "app/CliSupport.h"
#include "app/HeadlessFrontEnd.h"
#include "app/resource.h"
#include "playback/Playback.h"
#include "relay/Relay.h"
#include "relay/RelayDialogs.h"
#include "session/MidwireDoc.h"

namespace {

const char* const kUsage =
    "Usage: midwire playback FILE.mwx --as client|server [OPTIONS]\n\n"
    "Replays the exchange recorded in FILE against a live peer. As client, Midwire\n"
    "takes the place of the recorded client: it connects to the server and sends it\n"
    "what the client sent, waiting for each recorded reply. As server, it listens\n"
    "for the client and answers it as the recorded server did. The recording ends at\n"
    "the first earlier playback in the file; a file with nothing recorded before it\n"
    "replays nothing, which is said on standard error. With --check-reply the\n"
    "peer's data is compared with the recording, and a mismatch is recorded as an\n"
    "Error event. FILE may be '-' for standard input, or a pipe.\n"
    "Each shown event is printed as one line (action, host, time and data,\n"
    "separated by tabs). The playback ends when the connection ends.\n\n"
    "  --as client|server     the party of the recording that Midwire replaces\n"
    "  --check-reply          compare the peer's data with the recording\n"
    "  --controlled-chars N   compare at most N leading bytes of each piece (0\n"
    "                         compares nothing; default: the whole piece)\n"
    "  --no-wait-all-responses  let one received piece satisfy all the recorded\n"
    "                         replies up to the next data to send\n"
    "  --end-connection       close the connection where the recording's closed\n"
    "  --keep-history         keep the recording in the history and record the\n"
    "                         playback after it (default: the recording is moved\n"
    "                         into the script)\n"
    "  --connect HOST:PORT    the server to connect to (as client; default: the\n"
    "                         file's); HOST is an IPv4 address or a name with one\n"
    "  --listen PORT          the port to accept the client on (as server; default:\n"
    "                         the file's)\n"
    "  --save FILE.mwx        save the whole session to FILE when it ends (not '-':\n"
    "                         standard output carries the event lines)\n"
    "  --timeout SECONDS      end the connection after this many seconds\n"
    "  -h, --help             show this help\n\n"
    "SIGINT, SIGTERM or SIGHUP (unless SIGHUP was ignored at the start, as under\n"
    "nohup) end the playback: the load of the recording is given up (nothing is\n"
    "saved then), as is the wait for the client, or the connection is ended\n"
    "cleanly; --save still saves the session once the recording was loaded.\n\n"
    "Exit status: 0 when no mismatch was recorded, 1 when \"Wrong received message\n"
    "content\" or \"Unexpected received message\" was recorded (or the connection\n"
    "ended, by the peer, the time-out or a signal, before the recorded exchange was\n"
    "through, or the session could not be saved), 2 when the playback could not\n"
    "start (a signal before it started included) or the command line is wrong.\n";

int Usage(const QString& strError)
{
    return UsageError(strError, kUsage);
}


// The index of the first event after the newest playback marker.
std::size_t PlaybackEventsStart(const CMidwireDoc& doc)
{
    for (std::size_t i = doc.m_history.GetCount(); i > 0; --i) {
        if (doc.m_history.GetAt(i - 1)->m_kind == EK_PLAYBACK_START)
            return i;
    }
    return 0;
}

// Whether an error that matches was recorded after the newest playback
// marker.
template <class Matches>
bool ErrorRecordedSincePlayback(const CMidwireDoc& doc, Matches matches)
{
    for (std::size_t i = PlaybackEventsStart(doc); i < doc.m_history.GetCount(); ++i) {
        const HistoryEvent* p = doc.m_history.GetAt(i);
        if (p->m_kind == EK_ERROR && matches(p->m_strText))
            return true;
    }
    return false;
}

// Whether a reply did not agree with the recording.
bool MismatchRecorded(const CMidwireDoc& doc)
{
    return ErrorRecordedSincePlayback(doc, [](const std::string& strText) {
        return strText == kWrongReplyText || strText == kUnexpectedReplyText;
    });
}

// Whether a send of recorded data failed or was cut short: its piece has left
// the script, but the peer did not get it whole.
bool SendFailureRecorded(const CMidwireDoc& doc)
{
    const std::string strFormat = LoadStringText(IDS_SEND_FAILED);
    const std::string strPrefix = strFormat.substr(0, strFormat.find('%'));
    return ErrorRecordedSincePlayback(doc, [&](const std::string& strText) { return strText.starts_with(strPrefix); });
}

// The exit status of the playback, with its failure named in strFailure for
// standard error: 2 when it could not start, 1 when the time-out came before
// it did, when the peer did not match the recording or when the recording
// was not played through.
int PlaybackStatus(CMidwireDoc& doc, bool bStarted, bool bAsClient, bool bTimedOut, bool bInterrupted,
                   QString& strFailure)
{
    if (!bStarted && bTimedOut) {
        strFailure = bAsClient ? QStringLiteral("playback: timed out before the replay started")
                               : QStringLiteral("playback: timed out before a client connected");
        return EXIT_FAILED;
    }
    if (!bStarted) {
        if (!bInterrupted && !TerminationSignalSeen())
            strFailure = QStringLiteral("playback: the connection could not be started");
        return EXIT_USAGE;
    }
    if (MismatchRecorded(doc)) {
        // The Error events went to standard output with the other events;
        // the failure is named on standard error, as every failure is.
        strFailure = QStringLiteral("playback: the peer's data did not match the recording");
        return EXIT_FAILED;
    }
    // The recording must have been played through, whether the time-out,
    // the peer's close or a signal ended the connection: a replay cut short
    // from outside (timeout(1), a cancelled CI job) has not shown that the
    // peer behaves as recorded, any more than --timeout has.
    const QString strEnd = bTimedOut     ? QStringLiteral("timed out")
                           : bInterrupted ? QStringLiteral("interrupted")
                                          : QStringLiteral("the connection ended");
    if (const std::size_t nLeft = CountScriptDataSteps(doc, bAsClient ? SERVER_SIDE : CLIENT_SIDE); nLeft > 0) {
        strFailure = QStringLiteral("playback: %1 with %2 recorded pieces not yet sent or received")
                         .arg(strEnd)
                         .arg(static_cast<qulonglong>(nLeft));
        return EXIT_FAILED;
    }
    if (SendFailureRecorded(doc)) {
        strFailure = QStringLiteral("playback: %1 before the recorded data was all sent").arg(strEnd);
        return EXIT_FAILED;
    }
    return EXIT_OK;
}

}  // namespace

int CmdPlayback(const QStringList& args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(kUsage));
    const QCommandLineOption help({"h", "help"}, "Show this help.");
    const QCommandLineOption as("as", "", "SIDE");
    const QCommandLineOption checkReply("check-reply", "");
    const QCommandLineOption controlledChars("controlled-chars", "", "N");
    const QCommandLineOption noWaitAll("no-wait-all-responses", "");
    const QCommandLineOption endConnection("end-connection", "");
    const QCommandLineOption keepHistory("keep-history", "");
    const QCommandLineOption connect("connect", "", "HOST:PORT");
    const QCommandLineOption listen("listen", "", "PORT");
    const QCommandLineOption save("save", "", "FILE");
    const QCommandLineOption timeout("timeout", "", "SECONDS");
    parser.addOptions(
        {help, as, checkReply, controlledChars, noWaitAll, endConnection, keepHistory, connect, listen, save, timeout});
    if (!parser.parse(args))
        return UsageError(parser.errorText(), kUsage);
    if (parser.isSet(help)) {
        std::fputs(kUsage, stdout);
        return EXIT_OK;
    }
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1)
        return Usage(QStringLiteral("playback: name one session file"));
    const QString strAs = parser.value(as);
    if (strAs != QLatin1String("client") && strAs != QLatin1String("server"))
        return Usage(QStringLiteral("playback: --as needs client or server"));
    const bool bAsClient = strAs == QLatin1String("client");
    int nControlledChars = 2147483647;
    if (parser.isSet(controlledChars) && !ParseDialogInt(LocalText(parser.value(controlledChars)), nControlledChars))
        return Usage(QStringLiteral("playback: --controlled-chars needs a number from 0 to 2147483647"));
    int nTimeout = 0;
    if (parser.isSet(timeout) && (!ParseDialogInt(LocalText(parser.value(timeout)), nTimeout) || nTimeout <= 0 ||
                                  nTimeout > 2147483))
        return Usage(QStringLiteral("playback: --timeout needs a number of seconds from 1 to 2147483"));
    std::string strConnectHost, strConnectPort;
    if (parser.isSet(connect)) {
        const QString strError = ConnectTargetError(parser.value(connect), "playback", strConnectHost, strConnectPort);
        if (!strError.isEmpty())
            return Usage(strError);
    }

    if (const QString strError = SaveToStandardOutputError(parser, save, "playback"); !strError.isEmpty())
        return Usage(strError);

    // Event lines go to standard output; a reader that leaves ends the
    // session cleanly instead of killing it unsaved.
    CBrokenPipeGuard brokenPipeGuard;
    CHeadlessFrontEnd frontEnd;
    CMidwireDoc doc;
    doc.OnNewDocument();
    // SIGINT, SIGTERM and the time-out end the playback wherever it is: the
    // load of the recording and the building of the script are cancelled,
    // the wait for a client is given up, a connection is ended (which also
    // cuts short a close handler's waits). Before the event loop runs, a
    // quit would be lost, so the cancelled steps are what end the command.
    // Once the connection is over, a repeated signal leaves the saving of
    // the session alone.
    bool bInterrupted = false;
    bool bTimedOut = false;
    bool bFinishing = false;
    auto stop = [&doc, &frontEnd, &bFinishing] {
        if (bFinishing)
            return;
        frontEnd.CancelProgress();
        if (g_pWaitAcceptDlg)
            g_pWaitAcceptDlg->EndDialog(IDCANCEL);
        else if (doc.m_bConnected)
            EndConnection(doc);
        if (!doc.m_bConnected && !IsRelayEnding())
            QCoreApplication::quit();
    };
    CSignalWatch signalWatch([&] {
        bInterrupted = true;
        stop();
    });

    // A load cut short is only part of the recording: nothing is played
    // and nothing saved.
    if (!doc.OnOpenDocument(LocalText(positional.first()), true) || bInterrupted)
        return EXIT_USAGE;
    if (parser.isSet(connect)) {
        doc.m_bConnectToHost = TRUE;
        doc.m_strServerHost = strConnectHost;
        doc.m_strServerPort = strConnectPort;
    }
    if (parser.isSet(listen)) {
        doc.m_bAcceptConnections = TRUE;
        doc.m_strListenPort = LocalText(parser.value(listen));
    }
    if (bAsClient && !doc.m_bConnectToHost)
        return Usage(QStringLiteral("playback: as client there must be a server to connect to (--connect)"));
    if (!bAsClient && !doc.m_bAcceptConnections)
        return Usage(QStringLiteral("playback: as server there must be a port to listen on (--listen)"));
    if (!SaveTargetUsable(parser, save, "playback"))
        return EXIT_USAGE;

    // The PlayBack dialog answers with the command line's choices.
    frontEnd.SetRowPrinter(stdout);
    frontEnd.m_onDoModal = [&](UINT nIDD, void* pData) {
        if (nIDD == IDD_WAIT_ACCEPT)
            return RunHeadlessWaitAccept(doc);
        if (nIDD != IDD_PLAYBACK || !pData)
            return static_cast<int>(IDCANCEL);
        auto& data = *static_cast<CPlayBackDlgData*>(pData);
        CPlayBackDlgState state(data);
        const BOOL bCheck = parser.isSet(checkReply);
        const BOOL bWaitAll = !parser.isSet(noWaitAll);
        const BOOL bEnd = parser.isSet(endConnection);
        if (bAsClient) {
            state.OnClientRadio();
            data.m_bClientCheckReply = bCheck;
            data.m_nClientControlledChars = nControlledChars;
            data.m_bClientWaitAllResponses = bWaitAll;
            data.m_bClientEndConnection = bEnd;
        } else {
            state.OnServerRadio();
            data.m_bServerCheckReply = bCheck;
            data.m_nServerControlledChars = nControlledChars;
            data.m_bServerWaitAllResponses = bWaitAll;
            data.m_bServerEndConnection = bEnd;
        }
        data.m_bEraseHistory = !parser.isSet(keepHistory);
        return state.IsEnabled(IDOK) ? static_cast<int>(IDOK) : static_cast<int>(IDCANCEL);
    };

    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        bTimedOut = true;
        stop();
    });
    if (nTimeout > 0)
        timer.start(nTimeout * 1000);

    // One connection only: no keep-alive restart after it.
    RelayHooks& hooks = GetRelayHooks();
    hooks.keepServing = [] { return false; };
    hooks.ended = [] { QCoreApplication::quit(); };

    InstallPlaybackHooks();
    // A recording with nothing for the replaying side (an empty history, or
    // one that starts with an earlier playback, as a session saved from a
    // moved playback does) replays as the desktop does, sending and checking
    // nothing; a script that takes the success for a test is told so.
    const ERelaySide replayedSide = bAsClient ? SERVER_SIDE : CLIENT_SIDE;
    const bool bNothingRecorded = CountRecordedDataSteps(doc, replayedSide) == 0;
    OnStartPlayback(doc);
    const bool bStarted = doc.m_bConnected != 0;
    if (bStarted)
        QCoreApplication::exec();
    timer.stop();
    bFinishing = true;

    hooks = RelayHooks();
    ShutdownRelay(doc);
    doc.ReleaseUnsentReplays();

    QString strFailure;
    int nStatus = PlaybackStatus(doc, bStarted, bAsClient, bTimedOut, bInterrupted, strFailure);
    // The session is over: the side that the replay switched off comes back,
    // so that the saved session keeps the recording's two sides and can be
    // replayed from either one, or relayed, again.
    EndPlaybackMode(doc);
    if (parser.isSet(save) && !doc.OnSaveDocument(LocalText(parser.value(save))))
        nStatus = nStatus == EXIT_OK ? EXIT_FAILED : nStatus;
    frontEnd.SetRowPrinter(nullptr);
    // The verdict follows the last event line: the lines may still have been
    // on their way to a slow reader, and a log that takes both outputs
    // (2>&1) would otherwise show it somewhere in their middle.
    if (!strFailure.isEmpty())
        CliError(strFailure);
    else if (bStarted && bNothingRecorded)
        CliError(QStringLiteral("playback: %1 holds no recorded exchange for this side before its first playback: "
                                "nothing was sent or checked")
                     .arg(positional.first()));
    return nStatus;
}
