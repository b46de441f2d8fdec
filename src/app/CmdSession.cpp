// midwire session new|dump|copy: session files without the desktop.

#include <QCommandLineParser>
#include <cstdio>
#include <unistd.h>

#include "app/Cli.h"
#include "app/CliSupport.h"
#include "app/HeadlessFrontEnd.h"
#include "export/ExportOutput.h"
#include "session/MidwireDoc.h"
#include "views/DisplayTranslation.h"

namespace {

const char* const kUsage =
    "Usage: midwire session new FILE\n"
    "       midwire session dump FILE\n"
    "       midwire session copy IN OUT\n\n"
    "  new    write a new, empty session file\n"
    "  dump   print the settings (one 'name = value' line each, in file order),\n"
    "         the editor text ('editor = ...') and the number of events\n"
    "         ('events = N'), then one line per event: kind in hex, time stamp\n"
    "         in seconds since 1970, length, host, text and data, separated by tabs\n"
    "  copy   load IN and save it as OUT\n"
    "  -h, --help  show this help\n\n"
    "A FILE or IN of '-' is read from standard input, and so is a pipe or named\n"
    "pipe (/dev/stdin, a process substitution); a FILE or OUT of '-' is written\n"
    "to standard output (./- names a file called '-'). IN and OUT may not both\n"
    "be '-'.\n"
    "Texts are printed in display form: bytes outside 32..127 as [n], '[' as [[.\n"
    "SIGINT, SIGTERM or SIGHUP while new or copy writes its file stop the save:\n"
    "the file is left as it was, and the status is 1.\n";

// Bytes on one line: control bytes in brackets, no line breaking, whatever
// line length and kept breaks the loaded session asks its views for.
std::string OneLine(std::string_view bytes)
{
    const int nMax = g_nMaxLineLength;
    const BOOL bKeep = g_bKeepBreaks;
    g_nMaxLineLength = 0;
    g_bKeepBreaks = 0;
    std::string strLine = BytesToDisplayString(bytes);
    g_nMaxLineLength = nMax;
    g_bKeepBreaks = bKeep;
    return strLine;
}

// The dump goes out through the export's buffered output, not through
// printf: printf's count of characters is an int, so a text of 2 GiB or
// more (a large event's display form) would come out as something else, and
// stdio drops what a non-blocking output does not take at once.
bool Dump(const CMidwireDoc& doc, const std::string& strEditor)
{
    std::fflush(stdout);  // what was printed before comes first
    CExportOutput out;
    out.Attach(STDOUT_FILENO);
    auto num = [&out](const char* pszName, long long n) {
        out.Write(pszName);
        out.Write(" = ");
        out.Write(std::to_string(n));
        out.Write("\n");
    };
    auto txt = [&out](const char* pszName, const std::string& s) {
        out.Write(pszName);
        out.Write(" = ");
        out.Write(OneLine(s));
        out.Write("\n");
    };
    num("g_nMaxLineLength", g_nMaxLineLength);
    num("g_chDisplayBreak", static_cast<unsigned char>(g_chDisplayBreak));
    num("g_bKeepBreaks", g_bKeepBreaks);
    num("m_bConnectToHost", doc.m_bConnectToHost);
    txt("m_strServerHost", doc.m_strServerHost);
    txt("m_strServerPort", doc.m_strServerPort);
    num("m_bHoldServerData", doc.m_bHoldServerData);
    num("m_bAcceptConnections", doc.m_bAcceptConnections);
    txt("m_strListenPort", doc.m_strListenPort);
    num("m_bHoldClientData", doc.m_bHoldClientData);
    txt("m_strClientHost", doc.m_strClientHost);
    num("m_bQuiet", doc.m_bQuiet);
    num("m_bVerbose", doc.m_bVerbose);
    num("m_bUseBreakChar", doc.m_bUseBreakChar);
    num("m_bKeepAlive", doc.m_bKeepAlive);
    num("m_bVisibleScroll", doc.m_bVisibleScroll);
    num("m_bDgramVerbose", doc.m_bDgramVerbose);
    num("m_bDgramQuiet", doc.m_bDgramQuiet);
    num("m_nServerWaitRetries", doc.m_nServerWaitRetries);
    num("m_nClientWaitRetries", doc.m_nClientWaitRetries);
    num("m_nServerTimeWait", doc.m_nServerTimeWait);
    num("m_nClientTimeWait", doc.m_nClientTimeWait);
    num("m_chBreakChar", static_cast<unsigned char>(doc.m_chBreakChar));
    num("m_bDatagramActive", doc.m_bDatagramActive);
    txt("m_strSendHost", doc.m_strSendHost);
    txt("m_strSendPort", doc.m_strSendPort);
    txt("m_strDgramPort", doc.m_strDgramPort);
    num("m_bSendBroadcast", doc.m_bSendBroadcast);
    num("m_bMove1", doc.m_bMove1);
    num("m_bMove2", doc.m_bMove2);
    txt("m_strMoveFromHost1", doc.m_strMoveFromHost1);
    txt("m_strMoveFromHost2", doc.m_strMoveFromHost2);
    num("m_bMoveBroadcast1", doc.m_bMoveBroadcast1);
    num("m_bMoveBroadcast2", doc.m_bMoveBroadcast2);
    num("m_bMoveEveryone1", doc.m_bMoveEveryone1);
    num("m_bMoveEveryone2", doc.m_bMoveEveryone2);
    txt("m_strMoveToHost1", doc.m_strMoveToHost1);
    txt("m_strMoveToHost2", doc.m_strMoveToHost2);
    txt("m_strMoveToPort1", doc.m_strMoveToPort1);
    txt("m_strMoveToPort2", doc.m_strMoveToPort2);
    num("m_bResolveNames", doc.m_bResolveNames);
    txt("editor", strEditor);
    num("events", static_cast<long long>(doc.m_history.GetCount()));
    for (const HistoryEvent* p : doc.m_history) {
        char szHead[64];
        std::snprintf(szHead, sizeof szHead, "0x%08X\t%lld\t%d\t", p->m_kind, static_cast<long long>(p->m_time),
                      p->m_nLength);
        out.Write(szHead);
        out.Write(OneLine(p->m_strHost));
        out.Write("\t");
        out.Write(OneLine(p->m_strText));
        out.Write("\t");
        if (p->m_pData && p->m_nLength > 0)
            out.Write(OneLine(std::string_view(reinterpret_cast<const char*>(p->m_pData), static_cast<std::size_t>(p->m_nLength))));
        out.Write("\n");
    }
    if (out.Close())
        return true;
    NoteStandardOutputFailure(out.GetErrorText());
    return false;
}

}  // namespace

int CmdSession(const QStringList& args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(kUsage));
    const QCommandLineOption help({"h", "help"}, "Show this help.");
    parser.addOption(help);
    parser.addPositionalArgument("verb", "new, dump or copy");
    if (!parser.parse(args)) {
        return UsageError(parser.errorText(), kUsage);
    }
    if (parser.isSet(help)) {
        std::fputs(kUsage, stdout);
        return EXIT_OK;
    }
    const QStringList pos = parser.positionalArguments();
    const QString verb = pos.value(0);
    const int nWanted = verb == "copy" ? 3 : (verb == "new" || verb == "dump") ? 2 : -1;
    if (nWanted < 0 || pos.size() != nWanted) {
        return UsageError(verb.isEmpty() || nWanted < 0
                              ? QStringLiteral("session: expected new, dump or copy")
                              : QStringLiteral("session %1: wrong number of arguments").arg(verb),
                          kUsage);
    }

    if (verb == "copy") {
        if (const QString strError = StandardStreamsTwiceError(pos[1], pos[2], "session copy"); !strError.isEmpty())
            return UsageError(strError, kUsage);
    }

    CHeadlessFrontEnd frontEnd;
    CMidwireDoc doc;
    doc.OnNewDocument();
    // A save goes to a temporary file beside the target first. SIGINT,
    // SIGTERM or SIGHUP while it is written stop it as Cancel does, so that
    // the temporary file is removed and the target left as it was, instead
    // of killing the process with the temporary file left behind.
    auto save = [&frontEnd, &doc](const QString& strPath) {
        const CSignalWatch signalWatch([&frontEnd] { frontEnd.CancelProgress(); });
        if (doc.OnSaveDocument(LocalText(strPath)))
            return EXIT_OK;
        if (TerminationSignalSeen())
            CliError(QStringLiteral("session: interrupted, %1 not written").arg(strPath));
        return EXIT_FAILED;
    };
    if (verb == "new")
        return save(pos[1]);
    if (!doc.OnOpenDocument(LocalText(pos[1]), true))
        return EXIT_FAILED;
    if (verb == "dump") {
        return Dump(doc, frontEnd.GetEditorText()) ? EXIT_OK : EXIT_FAILED;
    }
    return save(pos[2]);
}
