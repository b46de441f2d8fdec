// midwire export / midwire show: Save Special without the desktop.

#include <QCommandLineParser>
#include <cstdio>
#include <optional>

#include "app/Cli.h"
#include "app/CliSupport.h"
#include "app/HeadlessFrontEnd.h"
#include "export/HistoryExport.h"
#include "session/FileInput.h"
#include "session/MidwireDoc.h"

namespace {

const char* const kExportUsage =
    "Usage: midwire export FILE.mwx OUT [--form text|bytes|mime]\n"
    "                                   [--side both|client|server] [--events all|data]\n"
    "                                   [--columns direction,date,action,host]\n\n"
    "Writes the history of the session file FILE.mwx to OUT. Without --form the\n"
    "extension of OUT chooses the form, compared exactly:\n"
    "  .txt or .TXT   a text report, one line per event (see below)\n"
    "  .bin or .BIN   the events' bytes one after the other (a status event as its\n"
    "                 text and a line feed)\n"
    "  anything else  a new directory OUT holding the bytes as one MIME message,\n"
    "                 its analysis report (.MIME) and its decoded parts\n\n"
    "FILE.mwx may be '-' for standard input, or a pipe. OUT may be '-' for\n"
    "standard output with --form text or --form bytes (not with the MIME form,\n"
    "which is a directory, nor when FILE.mwx is '-'); ./- names a file called '-'.\n\n"
    "Options:\n"
    "  --form F       text, bytes or mime: the form, whatever OUT's extension\n"
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
    "Usage: midwire show FILE.mwx [--form text|bytes]\n"
    "                             [--side both|client|server] [--events all|data]\n"
    "                             [--columns direction,date,action,host]\n\n"
    "Prints the text report of the history of FILE.mwx to standard output: one line\n"
    "per event (ending in CR LF), the same as 'midwire export FILE.mwx OUT.txt'.\n"
    "FILE.mwx may be '-' for standard input, or a pipe.\n"
    "The options are those of 'midwire export' (-h, --help shows this help), but\n"
    "--form is text (the default) or bytes: the MIME form is a directory, which\n"
    "standard output cannot take.\n"
    "An event's data stays on its line unless the session's display settings break\n"
    "it (a maximum line length, or line breaks kept): its data then goes on over\n"
    "further lines. 'midwire session dump' keeps every event on one line.\n";

struct ParsedOptions {
    SaveSpecialOptions options;
    QStringList positional;
    std::optional<EExportForm> form;  // --form, when given
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
    const QCommandLineOption form("form", "text, bytes or mime", "form");
    parser.addOptions({help, side, events, columns, form});
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

    if (parser.isSet(form)) {
        const QString strForm = parser.value(form);
        if (strForm == "text")
            parsed.form = EExportForm::Text;
        else if (strForm == "bytes")
            parsed.form = EExportForm::Binary;
        else if (strForm == "mime")
            parsed.form = EExportForm::Mime;
        else
            return usage(QStringLiteral("--form must be text, bytes or mime"));
    }

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
    const std::string strOut = LocalText(parsed.positional[1]);
    const EExportForm form = parsed.form.value_or(ExportFormOfPath(strOut));
    const bool bToStandardOutput = IsStandardStreamName(strOut);
    if (const QString strError = StandardStreamsTwiceError(parsed.positional[0], parsed.positional[1], "export");
        !strError.isEmpty())
        return UsageError(strError, kExportUsage);
    // The MIME form is a directory of files, which no stream can take; and
    // a directory named "-" is not what a script writing "-" means.
    if (bToStandardOutput && form == EExportForm::Mime) {
        return UsageError(parsed.form ? QStringLiteral("export: the MIME form is a directory and cannot go to "
                                                       "standard output ('-'); choose --form text or bytes")
                                      : QStringLiteral("export: OUT '-' (standard output) needs --form text or "
                                                       "--form bytes"),
                          kExportUsage);
    }
    CHeadlessFrontEnd frontEnd;
    CMidwireDoc doc;
    doc.OnNewDocument();
    if (!doc.OnOpenDocument(LocalText(parsed.positional[0]), true))
        return EXIT_FAILED;
    parsed.options.strPath = strOut;
    // A text or byte export empties its file first: were it the session
    // file itself (through a link, say), the session would be lost to its
    // own export. (The MIME form makes a new directory, which it cannot be.)
    if (form != EExportForm::Mime && IsSameFile(LocalText(parsed.positional[0]), strOut)) {
        CliError(QStringLiteral("export: %1 is the session file being exported; it is left as it is")
                     .arg(parsed.positional[1]));
        return EXIT_FAILED;
    }
    if (bToStandardOutput) {
        std::string strError;
        const BOOL bWritten = form == EExportForm::Text
                                  ? WriteSpecialText(doc, parsed.options, stdout, strError)
                                  : WriteSpecialBinary(doc, parsed.options, stdout, strError);
        if (!bWritten) {
            CliError(QStringLiteral("export: writing to standard output failed: %1").arg(ArgumentText(strError)));
            return EXIT_FAILED;
        }
        return EXIT_OK;
    }
    switch (form) {
    case EExportForm::Text: return SaveSpecialText(doc, parsed.options) ? EXIT_OK : EXIT_FAILED;
    case EExportForm::Binary: return SaveSpecialBinary(doc, parsed.options) ? EXIT_OK : EXIT_FAILED;
    case EExportForm::Mime: break;
    }
    return SaveSpecialMime(doc, parsed.options) ? EXIT_OK : EXIT_FAILED;
}

int CmdShow(const QStringList& args)
{
    ParsedOptions parsed;
    if (const int nExit = ParseExportArgs(args, kShowUsage, 1, parsed); nExit >= 0)
        return nExit;
    if (parsed.form == EExportForm::Mime)
        return UsageError(QStringLiteral("show: the MIME form is a directory and cannot go to standard output; "
                                         "use 'midwire export FILE.mwx DIR'"),
                          kShowUsage);
    CHeadlessFrontEnd frontEnd;
    CMidwireDoc doc;
    doc.OnNewDocument();
    if (!doc.OnOpenDocument(LocalText(parsed.positional[0]), true))
        return EXIT_FAILED;
    std::string strError;
    const BOOL bWritten = parsed.form == EExportForm::Binary
                              ? WriteSpecialBinary(doc, parsed.options, stdout, strError)
                              : WriteSpecialText(doc, parsed.options, stdout, strError);
    if (!bWritten) {
        CliError(QStringLiteral("show: writing to standard output failed: %1").arg(ArgumentText(strError)));
        return EXIT_FAILED;
    }
    return EXIT_OK;
}
