// midwire export / midwire show: Save Special without the desktop.

#include <QCommandLineParser>
#include <cstdio>

#include "app/Cli.h"
#include "app/CliSupport.h"
#include "app/HeadlessFrontEnd.h"
#include "export/HistoryExport.h"
#include "session/MidwireDoc.h"

namespace {

const char* const kExportUsage =
    "Usage: midwire export FILE.mwx OUT [--side both|client|server] [--events all|data]\n"
    "                                   [--columns direction,date,action,host]\n\n"
    "Writes the history of the session file FILE.mwx to OUT. The extension of OUT\n"
    "chooses the form, compared exactly:\n"
    "  .txt or .TXT   a text report, one line per event (see below)\n"
    "  .bin or .BIN   the events' bytes one after the other (a status event as its\n"
    "                 text and a line feed)\n"
    "  anything else  a new directory OUT holding the bytes as one MIME message,\n"
    "                 its analysis report (.MIME) and its decoded parts\n\n"
    "Options:\n"
    "  --side S       both (default), client or server: leave out the other side\n"
    "  --events E     all (default) or data: leave out status events\n"
    "  --columns C    the columns of the text report before each event's text, any\n"
    "                 of direction,date,action,host separated by commas (default all\n"
    "                 four; an empty list gives the text alone)\n"
    "  -h, --help     show this help\n\n"
    "An event's data stays on its line unless the session's display settings break\n"
    "it (a maximum line length, or line breaks kept): its data then goes on over\n"
    "further lines. 'midwire session dump' keeps every event on one line.\n";

const char* const kShowUsage =
    "Usage: midwire show FILE.mwx [--side both|client|server] [--events all|data]\n"
    "                             [--columns direction,date,action,host]\n\n"
    "Prints the text report of the history of FILE.mwx to standard output: one line\n"
    "per event (ending in CR LF), the same as 'midwire export FILE.mwx OUT.txt'.\n"
    "The options are those of 'midwire export' (-h, --help shows this help).\n"
    "An event's data stays on its line unless the session's display settings break\n"
    "it (a maximum line length, or line breaks kept): its data then goes on over\n"
    "further lines. 'midwire session dump' keeps every event on one line.\n";

struct ParsedOptions {
    SaveSpecialOptions options;
    QStringList positional;
};

// Parses the command line into the export options; returns an exit status
// when the command should end now (help, or a usage error).
int ParseExportArgs(const QStringList& args, const char* pszUsage, int nPositional, ParsedOptions& parsed)
{
    QCommandLineParser parser;
    const QCommandLineOption help({"h", "help"}, "Show this help.");
    const QCommandLineOption side("side", "both, client or server", "side", "both");
    const QCommandLineOption events("events", "all or data", "events", "all");
    const QCommandLineOption columns("columns", "text report columns", "columns", "direction,date,action,host");
    parser.addOptions({help, side, events, columns});
    if (!parser.parse(args)) {
        return UsageError(parser.errorText(), pszUsage);
    }
    if (parser.isSet(help)) {
        std::fputs(pszUsage, stdout);
        return EXIT_OK;
    }
    auto usage = [pszUsage](const QString& strText) { return UsageError(strText, pszUsage); };
    parsed.positional = parser.positionalArguments();
    if (parsed.positional.size() != nPositional)
        return usage(QStringLiteral("wrong number of arguments"));

    SaveSpecialOptions& o = parsed.options;
    const QString strSide = parser.value(side);
    if (strSide == "both")
        o.nSide = SAVE_SIDE_BOTH;
    else if (strSide == "client")
        o.nSide = SAVE_SIDE_CLIENT;
    else if (strSide == "server")
        o.nSide = SAVE_SIDE_SERVER;
    else
        return usage(QStringLiteral("--side must be both, client or server"));

    const QString strEvents = parser.value(events);
    if (strEvents == "all")
        o.nEvents = SAVE_EVENTS_ALL;
    else if (strEvents == "data")
        o.nEvents = SAVE_EVENTS_DATA;
    else
        return usage(QStringLiteral("--events must be all or data"));

    o.bDirection = o.bDate = o.bAction = o.bHost = FALSE;
    const QStringList names = parser.value(columns).split(',', Qt::SkipEmptyParts);
    for (const QString& strRaw : names) {
        const QString strName = strRaw.trimmed();
        if (strName == "direction")
            o.bDirection = TRUE;
        else if (strName == "date")
            o.bDate = TRUE;
        else if (strName == "action")
            o.bAction = TRUE;
        else if (strName == "host")
            o.bHost = TRUE;
        else
            return usage(QStringLiteral("unknown column '%1' (direction, date, action or host)").arg(strName));
    }
    return -1;
}

}  // namespace

int CmdExport(const QStringList& args)
{
    ParsedOptions parsed;
    if (const int nExit = ParseExportArgs(args, kExportUsage, 2, parsed); nExit >= 0)
        return nExit;
    CHeadlessFrontEnd frontEnd;
    CMidwireDoc doc;
    doc.OnNewDocument();
    if (!doc.OnOpenDocument(LocalText(parsed.positional[0])))
        return EXIT_FAILED;
    parsed.options.strPath = LocalText(parsed.positional[1]);
    // A text or byte export empties its file first: were it the session
    // file itself (through a link, say), the session would be lost to its
    // own export. (The MIME form makes a new directory, which it cannot be.)
    if (ExportFormOfPath(parsed.options.strPath) != EExportForm::Mime &&
        IsSameFile(LocalText(parsed.positional[0]), parsed.options.strPath)) {
        CliError(QStringLiteral("export: %1 is the session file being exported; it is left as it is")
                     .arg(parsed.positional[1]));
        return EXIT_FAILED;
    }
    return RunSaveSpecial(doc, parsed.options) ? EXIT_OK : EXIT_FAILED;
}

int CmdShow(const QStringList& args)
{
    ParsedOptions parsed;
    if (const int nExit = ParseExportArgs(args, kShowUsage, 1, parsed); nExit >= 0)
        return nExit;
    CHeadlessFrontEnd frontEnd;
    CMidwireDoc doc;
    doc.OnNewDocument();
    if (!doc.OnOpenDocument(LocalText(parsed.positional[0])))
        return EXIT_FAILED;
    if (std::string strError; !WriteSpecialText(doc, parsed.options, stdout, strError)) {
        CliError(QStringLiteral("show: writing to standard output failed: %1").arg(ArgumentText(strError)));
        return EXIT_FAILED;
    }
    return EXIT_OK;
}
