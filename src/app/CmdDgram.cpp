// midwire dgram: the datagram relay without the desktop. Binds a port,
// records and moves what arrives, or sends one datagram.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <memory>
#include <new>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "app/Cli.h"
#include "app/CliSupport.h"
#include "session/Memory.h"
#include "app/HeadlessFrontEnd.h"
#include "datagram/DatagramRelay.h"
#include "session/MidwireDoc.h"

namespace {

const char* const kUsage =
    "Usage: midwire dgram --bind PORT [--move1 RULE] [--move2 RULE] [OPTIONS]\n"
    "       midwire dgram --send HOST:PORT [--bind PORT] [OPTIONS] TEXT\n\n"
    "Receiving (--bind without --send): binds the datagram port on the first\n"
    "address of the local host name and records every datagram that arrives,\n"
    "printing one line per shown event (action, host, time and data, separated\n"
    "by tabs). It runs until --count or --duration is reached, or until it is\n"
    "interrupted (SIGINT, SIGTERM, or SIGHUP unless it was ignored at the start);\n"
    "then the port is unbound.\n\n"
    "  --move1 RULE, --move2 RULE\n"
    "         forward arriving datagrams by a move rule. RULE is FROM,TO:PORT:\n"
    "         datagrams whose sender is host FROM ('*' for everyone) are sent on\n"
    "         to host TO ('*' for broadcast) at PORT. An empty FROM matches no\n"
    "         sender. Both rules may match one datagram; rule 1 goes first.\n"
    "         A datagram that comes back from the bound port itself is recorded\n"
    "         but not moved again, so a rule leading there cannot loop.\n"
    "  --no-resolve   name senders by dotted address, not by reverse lookup (a\n"
    "                 looked-up name, or a failed look-up, is kept for a minute)\n"
    "  --verbose      also record 'Bytes sent n on n.' after each full send\n"
    "  --quiet        record datagram events without printing them (the bind\n"
    "                 and unbind events are always printed)\n"
    "  --count N      end once N datagrams have been received (datagrams\n"
    "                 already waiting in the same burst are still handled)\n"
    "  --duration S   end after S seconds (a decimal number, at most 2000000)\n"
    "  --save FILE    save the session (settings and history) to FILE at the end\n"
    "                 (not '-': standard output carries the event lines)\n"
    "  -h, --help     show this help\n\n"
    "Sending (--send HOST:PORT TEXT): sends TEXT as one datagram to HOST ('*' for\n"
    "broadcast) at PORT from the port given with --bind, or from a free port.\n"
    "HOST is an IPv4 address or a name with one (IPv6 is not used).\n"
    "A HOST (or move rule TO) name that does not resolve, or an empty one, is\n"
    "refused with an error event; it never stands for the broadcast address.\n"
    "TEXT is in display form: [n] stands for the byte n, [[ for '['.\n"
    "--verbose, --quiet and --save apply as above.\n\n"
    "Exit status: 0 success (an interruption included), 1 when binding fails, the\n"
    "datagram could not be sent, the session could not be saved or memory ran out\n"
    "(receiving then ends, and the session is saved), 2 for a wrong command line.\n";

// A free datagram port on the local host name's address, for one-shot sends.
std::string FindFreePort()
{
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return std::string();
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(SockLocalHostAddress());
    socklen_t len = sizeof addr;
    std::string strPort;
    if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        strPort = std::to_string(ntohs(addr.sin_port));
    ::close(s);
    return strPort;
}

struct MoveRule {
    BOOL bEveryone = 0;
    std::string strFrom;
    BOOL bBroadcast = 0;
    std::string strTo;
    std::string strPort;
};

bool ParseMoveRule(const QString& strRule, MoveRule& rule)
{
    const std::string s = LocalText(strRule);
    const std::size_t nComma = s.find(',');
    if (nComma == std::string::npos)
        return false;
    const std::string strFrom = s.substr(0, nComma);
    const std::string strDest = s.substr(nComma + 1);
    const std::size_t nColon = strDest.rfind(':');
    if (nColon == std::string::npos || nColon + 1 == strDest.size())
        return false;
    rule.bEveryone = strFrom == "*";
    rule.strFrom = rule.bEveryone ? std::string() : strFrom;
    const std::string strTo = strDest.substr(0, nColon);
    rule.bBroadcast = strTo == "*";
    rule.strTo = rule.bBroadcast ? std::string() : strTo;
    rule.strPort = strDest.substr(nColon + 1);
    return true;
}

bool ParseDestination(const QString& strDest, std::string& strHost, std::string& strPort)
{
    const std::string s = LocalText(strDest);
    const std::size_t nColon = s.rfind(':');
    if (nColon == std::string::npos || nColon + 1 == s.size())
        return false;
    strHost = s.substr(0, nColon);
    strPort = s.substr(nColon + 1);
    return true;
}

int Usage(const QString& strError)
{
    return UsageError(strError, kUsage);
}

// Runs the loop until the count, the time or a signal ends it; a signal that
// came before the loop started ends it at once.
void RunUntilDone(QEventLoop& loop, qint64 nCount, double dSeconds)
{
    if (TerminationSignalSeen())
        return;
    QTimer timeLimit;
    if (dSeconds > 0) {
        timeLimit.setSingleShot(true);
        QObject::connect(&timeLimit, &QTimer::timeout, &loop, &QEventLoop::quit);
        timeLimit.start(static_cast<int>(dSeconds * 1000.0));
    }
    QTimer countCheck;
    if (nCount > 0) {
        QObject::connect(&countCheck, &QTimer::timeout, &loop, [&loop, nCount] {
            if (GetDatagramReceivedCount() >= static_cast<std::uint64_t>(nCount))
                loop.quit();
        });
        countCheck.start(5);
    }
    loop.exec();
}

}  // namespace

int CmdDgram(const QStringList& args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(kUsage));
    const QCommandLineOption help({"h", "help"}, "Show this help.");
    const QCommandLineOption bind("bind", "Local port.", "PORT");
    const QCommandLineOption send("send", "Destination.", "HOST:PORT");
    const QCommandLineOption move1("move1", "Move rule 1.", "RULE");
    const QCommandLineOption move2("move2", "Move rule 2.", "RULE");
    const QCommandLineOption noResolve("no-resolve", "Dotted sender names.");
    const QCommandLineOption verbose("verbose", "Byte counts after sends.");
    const QCommandLineOption quiet("quiet", "Do not print datagram events.");
    const QCommandLineOption count("count", "Datagrams to receive.", "N");
    const QCommandLineOption duration("duration", "Seconds to run.", "S");
    const QCommandLineOption save("save", "Session file to save.", "FILE");
    for (const QCommandLineOption* p : {&help, &bind, &send, &move1, &move2, &noResolve, &verbose, &quiet, &count,
                                        &duration, &save})
        parser.addOption(*p);
    parser.addPositionalArgument("TEXT", "Datagram text (with --send).");
    if (!parser.parse(args))
        return UsageError(parser.errorText(), kUsage);
    if (parser.isSet(help)) {
        std::fputs(kUsage, stdout);
        return EXIT_OK;
    }

    const bool bSend = parser.isSet(send);
    const QStringList pos = parser.positionalArguments();
    if (!bSend && !parser.isSet(bind))
        return Usage(QStringLiteral("dgram: --bind PORT or --send HOST:PORT is required"));
    if (bSend && pos.size() != 1)
        return Usage(QStringLiteral("dgram --send: expected one TEXT argument"));
    if (!bSend && !pos.isEmpty())
        return Usage(QStringLiteral("dgram: unexpected argument '%1'").arg(pos[0]));
    if (bSend && (parser.isSet(move1) || parser.isSet(move2) || parser.isSet(count) || parser.isSet(duration)))
        return Usage(QStringLiteral("dgram --send: move rules, --count and --duration apply only to receiving"));

    MoveRule rules[2];
    const bool bMove[2] = {parser.isSet(move1), parser.isSet(move2)};
    if (bMove[0] && !ParseMoveRule(parser.value(move1), rules[0]))
        return Usage(QStringLiteral("dgram: --move1 expects FROM,TO:PORT"));
    if (bMove[1] && !ParseMoveRule(parser.value(move2), rules[1]))
        return Usage(QStringLiteral("dgram: --move2 expects FROM,TO:PORT"));
    qint64 nCount = 0;
    if (parser.isSet(count)) {
        bool bOk = false;
        nCount = parser.value(count).toLongLong(&bOk);
        if (!bOk || nCount <= 0)
            return Usage(QStringLiteral("dgram: --count expects a positive number"));
    }
    double dSeconds = 0;
    if (parser.isSet(duration)) {
        bool bOk = false;
        dSeconds = parser.value(duration).toDouble(&bOk);
        // Written so that "nan" fails too.
        if (!bOk || !(dSeconds > 0 && dSeconds <= 2e6))
            return Usage(QStringLiteral("dgram: --duration expects a positive number of seconds, at most 2000000"));
    }
    std::string strSendHost, strSendPort;
    if (bSend && !ParseDestination(parser.value(send), strSendHost, strSendPort))
        return Usage(QStringLiteral("dgram: --send expects HOST:PORT"));

    // Event lines go to standard output; a reader that leaves ends the
    // session cleanly instead of killing it unsaved.
    CBrokenPipeGuard brokenPipeGuard;
    CHeadlessFrontEnd frontEnd;
    frontEnd.SetRowPrinter(stdout);
    CMidwireDoc doc;
    doc.OnNewDocument();
    doc.m_bResolveNames = parser.isSet(noResolve) ? FALSE : TRUE;
    doc.m_bDgramVerbose = parser.isSet(verbose) ? TRUE : FALSE;
    doc.m_bDgramQuiet = parser.isSet(quiet) ? TRUE : FALSE;

    doc.m_strDgramPort = parser.isSet(bind) ? LocalText(parser.value(bind)) : FindFreePort();
    BOOL* const pMove[2] = {&doc.m_bMove1, &doc.m_bMove2};
    BOOL* const pEveryone[2] = {&doc.m_bMoveEveryone1, &doc.m_bMoveEveryone2};
    BOOL* const pBroadcast[2] = {&doc.m_bMoveBroadcast1, &doc.m_bMoveBroadcast2};
    std::string* const pFrom[2] = {&doc.m_strMoveFromHost1, &doc.m_strMoveFromHost2};
    std::string* const pTo[2] = {&doc.m_strMoveToHost1, &doc.m_strMoveToHost2};
    std::string* const pPort[2] = {&doc.m_strMoveToPort1, &doc.m_strMoveToPort2};
    for (int i = 0; i < 2; ++i) {
        *pMove[i] = bMove[i] ? TRUE : FALSE;
        *pEveryone[i] = rules[i].bEveryone;
        *pFrom[i] = rules[i].strFrom;
        *pBroadcast[i] = rules[i].bBroadcast;
        *pTo[i] = rules[i].strTo;
        *pPort[i] = rules[i].strPort;
    }

    // The dialogs are answered with the settings above.
    frontEnd.m_onDoModal = [&](UINT nIDD, void*) {
        if (nIDD == IDD_SEND) {
            doc.m_bSendBroadcast = strSendHost == "*" ? TRUE : FALSE;
            doc.m_strSendHost = strSendHost == "*" ? std::string() : strSendHost;
            doc.m_strSendPort = strSendPort;
        }
        return nIDD == IDD_BIND || nIDD == IDD_SEND ? IDOK : IDCANCEL;
    };

    if (const QString strError = SaveToStandardOutputError(parser, save, "dgram"); !strError.isEmpty())
        return UsageError(strError, kUsage);
    if (!SaveTargetUsable(parser, save, "dgram"))
        return EXIT_FAILED;
    // A receiving run is watched for signals before the port is bound: one
    // that comes as soon as the bind line is out (a script that waits for it
    // and then ends the run) must still unbind and save, not kill the
    // process. A one-shot send keeps the default actions.
    QEventLoop loop;
    std::unique_ptr<CSignalWatch> pSignalWatch;
    if (!bSend)
        pSignalWatch = std::make_unique<CSignalWatch>([&loop] { loop.quit(); });
    OnDatagramStart(doc);
    if (!doc.m_bDatagramActive)
        return EXIT_FAILED;

    int nResult = EXIT_OK;
    if (bSend) {
        frontEnd.SetEditorText(LocalText(pos[0]));
        const std::size_t nBefore = doc.m_history.GetCount();
        OnDatagramSendTo(doc);
        bool bSent = false;
        for (std::size_t i = nBefore; i < doc.m_history.GetCount(); ++i)
            bSent = bSent || doc.m_history.GetAt(i)->m_kind == EK_DGRAM_SENT;
        if (!bSent) {
            CliError(QStringLiteral("dgram: the datagram was not sent"));
            nResult = EXIT_FAILED;
        }
    } else {
        RunUntilDone(loop, nCount, dSeconds);
    }
    // The socket is closed before the unbind is recorded; memory that has
    // run out may keep the record from the history, not the session from
    // being saved.
    try {
        OnDatagramStop(doc);
    } catch (const std::bad_alloc&) {
        NoteOutOfMemory();
        doc.m_bDatagramActive = FALSE;
    }

    if (parser.isSet(save) && !doc.OnSaveDocument(LocalText(parser.value(save))))
        nResult = EXIT_FAILED;
    return nResult;
}
