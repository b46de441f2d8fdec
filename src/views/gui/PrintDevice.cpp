#include "views/gui/PrintDevice.h"

#include <QCommandLineParser>
#include <QFile>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QPageSetupDialog>
#include <QPdfWriter>
#include <QPrintDialog>
#include <QPrinter>
#include <QPrinterInfo>
#include <QRadioButton>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "app/Cli.h"
#include "app/CliSupport.h"
#include "app/CommandTable.h"
#include "app/HeadlessFrontEnd.h"
#include "editor/EditorAccess.h"
#include "export/ExportOutput.h"
#include "session/FrontEnd.h"
#include "session/FileReplacement.h"
#include "session/MidwireDoc.h"

QFont PrintFont()
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSize(10);
    font.setStyleHint(QFont::TypeWriter);
    return font;
}

// The descriptor of a print file as the PDF writer's output device, written
// in large pieces; the first write that fails is kept, and every write after
// it fails too, so that a file cut short is never taken for whole. With
// bHold, nothing is written before Flush: a file overwritten where it stands
// keeps its old content until the whole printout is there to replace it. A
// pipe that its reader leaves full is waited for through pWait, so that the
// window stays responsive and the print can be cancelled.
class CPrintFileOutput : public QIODevice {
public:
    CPrintFileOutput(int fd, bool bHold, std::unique_ptr<CStreamWait> pWait)
        : m_fd(fd), m_bHold(bHold), m_pWait(std::move(pWait))
    {
        open(QIODevice::WriteOnly);
    }
    bool isSequential() const override { return true; }
    std::size_t Pending() const { return m_buffer.size(); }
    // A print given up: what is buffered and what comes after is dropped
    // instead of written.
    void Discard()
    {
        if (m_nError == 0)
            m_nError = ECANCELED;
        m_buffer.clear();
    }
    // Writes what is buffered; the errno value of the first failure, or 0.
    int Flush()
    {
        if (m_nError == 0 && !m_buffer.empty()) {
            m_nError = WriteAllWaiting(m_fd, m_buffer.data(), m_buffer.size(), m_pWait.get());
            if (m_nError == 0)
                m_nWritten += static_cast<off_t>(m_buffer.size());
        }
        m_buffer.clear();
        return m_nError;
    }
    off_t Written() const { return m_nWritten; }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* pData, qint64 nLength) override
    {
        if (m_nError != 0)
            return -1;
        m_buffer.append(pData, static_cast<std::size_t>(nLength));
        if (!m_bHold && m_buffer.size() >= kChunk && Flush() != 0)
            return -1;
        return nLength;
    }

private:
    static constexpr std::size_t kChunk = 64 * 1024;
    int m_fd;
    bool m_bHold;
    std::unique_ptr<CStreamWait> m_pWait;
    std::string m_buffer;
    off_t m_nWritten = 0;
    int m_nError = 0;
};

CPainterPrintDevice::CPainterPrintDevice(QPagedPaintDevice* pDevice, QPrinter* pPrinter)
    : m_pDevice(pDevice), m_pPrinter(pPrinter), m_font(PrintFont())
{
}

CPainterPrintDevice::~CPainterPrintDevice()
{
    if (m_painter.isActive())
        m_painter.end();
    CommitOutput(false);  // a job neither ended nor aborted
}

bool CPainterPrintDevice::StartDoc(const std::string& strDocName)
{
    // The name ends in the session's file name, shown like the window
    // caption's (a name that is not UTF-8 without U+FFFD).
    const QString name = DisplayText(strDocName);
    if (m_pPrinter) {
        m_pPrinter->setDocName(name);
        m_pPrinter->setCreator(QStringLiteral("Midwire"));
        // A print to a file goes beside it first, so that a print cancelled
        // or failed leaves a file already there as it was.
        if (m_pPrinter->outputFormat() == QPrinter::PdfFormat && !m_pPrinter->outputFileName().isEmpty()) {
            m_strOutput = m_pPrinter->outputFileName();
            // A named pipe that nobody reads yet is refused rather than waited
            // for with the window hung.
            m_pOutput = std::make_unique<CFileReplacement>();
            if (m_pOutput->Open(LocalText(m_strOutput), true) != 0) {
                m_pOutput.reset();
                return false;
            }
            m_pPipeGuard = std::make_unique<CBrokenPipeGuard>();
            m_pFile = std::make_unique<CPrintFileOutput>(m_pOutput->Fd(), m_pOutput->Overwrites(),
                                                         CreateStreamWait("Printing... " + strDocName));
            // The page, resolution and PDF version chosen for the printer.
            m_pWriter = std::make_unique<QPdfWriter>(m_pFile.get());
            m_pWriter->setPdfVersion(m_pPrinter->pdfVersion());
            m_pWriter->setResolution(m_pPrinter->resolution());
            m_pWriter->setPageLayout(m_pPrinter->pageLayout());
            m_pWriter->setTitle(name);
            m_pWriter->setCreator(QStringLiteral("Midwire"));
            m_pDevice = m_pWriter.get();
        }
    } else if (auto* pPdf = dynamic_cast<QPdfWriter*>(m_pDevice)) {
        pPdf->setTitle(name);
        pPdf->setCreator(QStringLiteral("Midwire"));
    }
    if (!m_painter.begin(m_pDevice)) {
        CommitOutput(false);
        return false;
    }
    m_painter.setFont(QFont(m_font, m_pDevice));
    m_painter.setPen(Qt::black);
    m_nAscent = m_painter.fontMetrics().ascent();
    return true;
}

PrintMetrics CPainterPrintDevice::GetMetrics()
{
    const QFontMetrics fm = m_painter.isActive() ? m_painter.fontMetrics() : QFontMetrics(m_font, m_pDevice);
    PrintMetrics m;
    m.nLogPixelsX = m_pDevice->logicalDpiX();
    m.nLogPixelsY = m_pDevice->logicalDpiY();
    m.nHorzRes = m_pDevice->width();
    m.nVertRes = m_pDevice->height();
    m.nLineHeight = fm.height();
    m.nAveCharWidth = fm.averageCharWidth();
    return m;
}

void CPainterPrintDevice::StartPage()
{
    // The painter opened the first page; later pages open with their first
    // text, so a job never ends with an empty page.
    if (m_bPageEnded)
        m_bPageStarted = true;
}

void CPainterPrintDevice::EndPage()
{
    m_bPageEnded = true;
    m_bPageStarted = false;
}

bool CPainterPrintDevice::EndDoc()
{
    if (m_painter.isActive())
        m_painter.end();
    return CommitOutput(true);
}

void CPainterPrintDevice::AbortDoc()
{
    // A printer job is taken back where the printer allows it. A print to a
    // file ends and its file goes: the half of a document must not stand
    // where the user expects the whole one. A bare PDF writer's file is its
    // owner's to remove.
    if (m_pOutput) {
        // The end of a document given up is not written: a pipe whose
        // reader stopped reading must not hold the window once more.
        if (m_pFile)
            m_pFile->Discard();
        if (m_painter.isActive())
            m_painter.end();
        CommitOutput(false);
        return;
    }
    const bool bAborted = m_pPrinter && m_painter.isActive() && m_pPrinter->abort();
    if (m_painter.isActive())
        m_painter.end();
    if (m_pPrinter && !bAborted) {
        const QString strFile = m_pPrinter->outputFileName();
        if (!strFile.isEmpty())
            QFile::remove(strFile);
    }
}

bool CPainterPrintDevice::CommitOutput(bool bWhole)
{
    if (!m_pOutput)
        return true;
    // The writer has put the end of the document into its output; what the
    // output still buffers goes to the file now.
    m_pWriter.reset();
    m_pDevice = m_pPrinter;
    int nError = 0;
    if (bWhole) {
        // A file overwritten gets the room for the whole printout first: a
        // disk without it leaves the old content as it was.
        if (m_pFile->Pending() > 0)
            nError = m_pOutput->Reserve(static_cast<off_t>(m_pFile->Pending()));
        if (nError == 0)
            nError = m_pFile->Flush();
        // Storing the file and putting it in place of the old one (its
        // directory gone or made read-only meanwhile) can fail too.
        if (nError == 0)
            nError = m_pOutput->Commit(m_pFile->Written());
    }
    m_pFile.reset();
    m_pOutput->Abandon();  // nothing left to do after a commit
    m_pOutput.reset();
    m_pPipeGuard.reset();
    // A wait for a pipe that the user cancelled ends the print as Cancel
    // does, without a message.
    if (nError == 0 || nError == ECANCELED)
        return nError == 0;
    AfxMessageBox(FormatMessageText(IDS_WRITE_FILE_FAILED, LocalText(m_strOutput) + " ; " + std::strerror(nError)));
    return false;
}

void CPainterPrintDevice::TextOut(int x, int y, const std::string& strText)
{
    // Data and event texts are 8-bit characters.
    DrawText(x, y, QString::fromLatin1(strText.data(), static_cast<qsizetype>(strText.size())));
}

void CPainterPrintDevice::LocalTextOut(int x, int y, const std::string& strText)
{
    DrawText(x, y, DisplayText(strText));
}

void CPainterPrintDevice::DrawText(int x, int y, const QString& text)
{
    if (!m_painter.isActive())
        return;
    if (m_bPageEnded) {
        m_pDevice->newPage();
        m_bPageEnded = false;
        m_bPageStarted = false;
    }
    m_painter.drawText(x, y + m_nAscent, text);
}

CPrintJobDialog::CPrintJobDialog(QPrinter* pPrinter, QWidget* pOwner, bool bSelection)
    : QPrintDialog(pPrinter, pOwner)
{
    setOption(QAbstractPrintDialog::PrintSelection, bSelection);
    setOption(QAbstractPrintDialog::PrintPageRange, false);
    setOption(QAbstractPrintDialog::PrintToFile, true);
    setPrintRange(QAbstractPrintDialog::AllPages);
}

void CPrintJobDialog::setVisible(bool bVisible)
{
    // The dialog sets its choices up as it is shown.
    QPrintDialog::setVisible(bVisible);
    if (bVisible)
        DisablePageChoices();
}

void CPrintJobDialog::DisablePageChoices()
{
    // "Pages from ... to" and "Pages": the dialog enables them again when
    // another printer is chosen, so each is watched.
    for (const char* pszName : {"printRange", "pagesRadioButton"}) {
        if (auto* pChoice = findChild<QRadioButton*>(QLatin1String(pszName))) {
            auto* pAll = findChild<QRadioButton*>(QStringLiteral("printAll"));
            if (pChoice->isChecked() && pAll)
                pAll->setChecked(true);
            pChoice->setEnabled(false);
            pChoice->removeEventFilter(this);
            pChoice->installEventFilter(this);
        }
    }
}

bool CPrintJobDialog::eventFilter(QObject* pWatched, QEvent* pEvent)
{
    if (pEvent->type() == QEvent::EnabledChange) {
        if (auto* pChoice = qobject_cast<QRadioButton*>(pWatched); pChoice && pChoice->isEnabled())
            pChoice->setEnabled(false);
    }
    return QPrintDialog::eventFilter(pWatched, pEvent);
}

void RegisterPrintCommands(CCommandTable& table, CMidwireDoc& doc, QWidget* pOwner, QPrinter* pPrinter)
{
    auto idle = [&doc] { return IsIdle(doc) && !doc.IsWalking(); };
    table.Register(
        ID_FILE_PRINT,
        [&doc, pOwner, pPrinter] {
            CPrintJobDialog dlg(pPrinter, pOwner, true);
            if (dlg.exec() != QDialog::Accepted)
                return;
            const bool bSelection = pPrinter->printRange() == QPrinter::Selection;
            const std::vector<HistoryEvent*> selection =
                bSelection && g_pMainFrame ? g_pMainFrame->GetSelectedEvents() : std::vector<HistoryEvent*>();
            CPainterPrintDevice device(pPrinter, pPrinter);
            PrintHistoryList(device, doc, bSelection, selection);
        },
        idle);
    table.Register(
        ID_FILE_PRINT_EDITOR,
        [&doc, pOwner, pPrinter] {
            CPrintJobDialog dlg(pPrinter, pOwner, false);
            if (dlg.exec() != QDialog::Accepted)
                return;
            CMidwireDoc::CWalkGuard guard(doc);
            CPainterPrintDevice device(pPrinter, pPrinter);
            PrintEditorText(device, doc, GetEditorText());
        },
        idle);
    table.Register(ID_FILE_PRINT_SETUP, [pOwner, pPrinter] {
        QPageSetupDialog dlg(pPrinter, pOwner);
        dlg.exec();
    });
}

namespace {

const char* const kPrintUsage =
    "Usage: midwire print FILE.mwx [OUT.pdf] [--selection ROWS] [--editor]\n"
    "                     [--page-size A4|Letter] [--resolution DPI]\n\n"
    "Prints the history of a session to a PDF file exactly as Print History\n"
    "List does: one-inch margins, the job title at the top of every page and\n"
    "the page number at the bottom, a header line and a data block per event.\n"
    "Without OUT.pdf it goes to the default printer (the desktop's Print\n"
    "action on a session file), in that printer's page size.\n\n"
    "  --selection ROWS  print only these rows of the history list, in row\n"
    "                    order: numbers from 1 and ranges, as in 1,4,7-9\n"
    "  --editor          print the session's editor text (Print from Editor)\n"
    "  --page-size NAME  A4 (default) or Letter\n"
    "  --resolution DPI  printer units per inch (default 600)\n"
    "  -h, --help        show this help\n\n"
    "OUT.pdf is replaced only by a whole printout: a print that fails, or that\n"
    "SIGINT, SIGTERM or SIGHUP stop as Cancel does (status 1), leaves a file\n"
    "already there as it was.\n"
    "FILE.mwx may be '-' for standard input, or a pipe; OUT.pdf may be '-' for\n"
    "standard output (./- names a file called '-'), but not both.\n\n"
    "No display is needed. Exit status: 0 printed, 1 failed, 2 wrong usage.\n";

// "1,4,7-9" to sorted, distinct 0-based rows; false on a malformed list or
// a row beyond nRows.
bool ParseRows(const QString& strRows, std::size_t nRows, std::vector<std::size_t>& rows, QString& strError)
{
    for (const QString& part : strRows.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QStringList ends = part.trimmed().split(QLatin1Char('-'));
        bool bOk1 = false, bOk2 = true;
        const qulonglong nFirst = ends.value(0).trimmed().toULongLong(&bOk1);
        qulonglong nLast = nFirst;
        if (ends.size() == 2)
            nLast = ends[1].trimmed().toULongLong(&bOk2);
        if (ends.size() > 2 || !bOk1 || !bOk2 || nFirst == 0 || nLast < nFirst) {
            strError = QStringLiteral("print: bad row list '%1'").arg(strRows);
            return false;
        }
        if (nLast > nRows) {
            strError = QStringLiteral("print: row %1 is beyond the history's %2 rows").arg(nLast).arg(nRows);
            return false;
        }
        for (qulonglong r = nFirst; r <= nLast; ++r)
            rows.push_back(static_cast<std::size_t>(r - 1));
    }
    if (rows.empty()) {
        strError = QStringLiteral("print: empty row list");
        return false;
    }
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    return true;
}

// Qt's platform start-up looks into the user's runtime directory and, when
// XDG_RUNTIME_DIR is unset (under cron, sudo or a CI runner), warns about it
// on standard error and makes a shared one under /tmp. A run without one gets
// a private directory for its lifetime instead, removed when it ends.
class CPrivateRuntimeDir {
public:
    CPrivateRuntimeDir()
    {
        if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
            return;
        std::error_code ec;
        const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
        std::string strTemplate = (ec ? std::filesystem::path("/tmp") : base).string() + "/midwire-runtime-XXXXXX";
        if (::mkdtemp(strTemplate.data())) {  // made with mode 0700, as required
            m_strDir = strTemplate;
            qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(m_strDir));
        }
    }
    ~CPrivateRuntimeDir()
    {
        if (m_strDir.empty())
            return;
        qunsetenv("XDG_RUNTIME_DIR");
        std::error_code ec;
        std::filesystem::remove_all(m_strDir, ec);
    }
    CPrivateRuntimeDir(const CPrivateRuntimeDir&) = delete;
    CPrivateRuntimeDir& operator=(const CPrivateRuntimeDir&) = delete;

private:
    std::string m_strDir;
};

}  // namespace

int CmdPrint(int argc, char** argv)
{
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << ArgumentText(argv[i]);
    if (!args.isEmpty())
        args[0] = QStringLiteral("midwire ") + args[0];
    QCommandLineParser parser;
    const QCommandLineOption help({"h", "help"}, "Show this help.");
    const QCommandLineOption selection("selection", "Rows to print.", "ROWS");
    const QCommandLineOption editor("editor", "Print the editor text.");
    const QCommandLineOption pageSize("page-size", "A4 or Letter.", "NAME", "A4");
    const QCommandLineOption resolution("resolution", "Printer units per inch.", "DPI", "600");
    parser.addOptions({help, selection, editor, pageSize, resolution});
    if (!parser.parse(args)) {
        return UsageError(parser.errorText(), kPrintUsage);
    }
    if (parser.isSet(help)) {
        std::fputs(kPrintUsage, stdout);
        return EXIT_OK;
    }
    const QStringList pos = parser.positionalArguments();
    if (pos.size() != 1 && pos.size() != 2) {
        return UsageError(
            QStringLiteral("print: expected FILE.mwx and OUT.pdf, or FILE.mwx alone for the default printer"),
            kPrintUsage);
    }
    const QString size = parser.value(pageSize).toLower();
    if (size != "a4" && size != "letter") {
        CliError(QStringLiteral("print: unknown page size '%1'").arg(parser.value(pageSize)));
        return EXIT_USAGE;
    }
    bool bDpiOk = false;
    const int nDpi = parser.value(resolution).toInt(&bDpiOk);
    if (!bDpiOk || nDpi < 72 || nDpi > 4800) {
        CliError(QStringLiteral("print: resolution must be 72 to 4800"));
        return EXIT_USAGE;
    }
    if (parser.isSet(editor) && parser.isSet(selection)) {
        CliError(QStringLiteral("print: --selection and --editor exclude each other"));
        return EXIT_USAGE;
    }

    if (pos.size() == 2) {
        if (const QString strError = StandardStreamsTwiceError(pos[0], pos[1], "print"); !strError.isEmpty())
            return UsageError(strError, kPrintUsage);
    }

    // Text layout needs the window system's fonts, not a display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    const CPrivateRuntimeDir runtimeDir;  // outlives the application
    int nAppArgc = 1;
    QGuiApplication app(nAppArgc, argv);
    QGuiApplication::setApplicationName(QStringLiteral("midwire"));

    CHeadlessFrontEnd frontEnd;
    // SIGINT or SIGTERM stops a long print as Cancel does, so that the
    // output is removed instead of left half written.
    const CSignalWatch signalWatch([&frontEnd] { frontEnd.CancelProgress(); });
    CMidwireDoc doc;
    doc.OnNewDocument();
    if (!doc.OnOpenDocument(LocalText(pos[0]), true))
        return EXIT_FAILED;
    // A signal while the session loads stops the load part way (as Cancel
    // does): the history read so far is not printed as if it were all of it.
    if (TerminationSignalSeen()) {
        CliError(pos.size() == 2 ? QStringLiteral("print: interrupted, %1 not written").arg(pos[1])
                                 : QStringLiteral("print: interrupted, nothing was printed"));
        return EXIT_FAILED;
    }

    std::vector<HistoryEvent*> events;
    if (parser.isSet(selection)) {
        std::vector<std::size_t> rows;
        QString strError;
        if (!ParseRows(parser.value(selection), doc.m_history.GetCount(), rows, strError)) {
            CliError(strError);
            return EXIT_USAGE;
        }
        for (std::size_t r : rows)
            events.push_back(doc.m_history.GetAt(r));
    }

    // Nothing to print is said before the output is opened, so that a file
    // already at that path is left as it was instead of being emptied and
    // removed.
    const bool bNothing = parser.isSet(editor) ? frontEnd.GetEditorText().empty() : doc.m_history.IsEmpty();
    if (bNothing) {
        AfxMessageBox(parser.isSet(editor) ? IDS_EDITOR_EMPTY : IDS_HISTORY_EMPTY);
        return EXIT_FAILED;
    }

    if (pos.size() == 1) {
        const QPrinterInfo info = QPrinterInfo::defaultPrinter();
        if (info.isNull()) {
            CliError(QStringLiteral("print: no default printer is set up; name an OUT.pdf to print to a file"));
            return EXIT_FAILED;
        }
        QPrinter printer(info, QPrinter::HighResolution);
        CPainterPrintDevice device(&printer, &printer);
        const bool bSent = parser.isSet(editor) ? PrintEditorText(device, doc, frontEnd.GetEditorText())
                                                : PrintHistoryList(device, doc, parser.isSet(selection), events);
        if (!bSent && TerminationSignalSeen())
            CliError(QStringLiteral("print: interrupted, the job was abandoned"));
        else if (!bSent && frontEnd.m_messages.empty())
            CliError(QStringLiteral("print: printing to %1 failed").arg(info.printerName()));
        return bSent ? EXIT_OK : EXIT_FAILED;
    }

    const QString strOut = pos[1];
    const std::string strOutPath = LocalText(strOut);  // the name's own bytes, not Qt's UTF-8 of it
    // A session file given as the output too (the same name twice, or a
    // link to it) would be lost to its own printout.
    if (IsSameFile(LocalText(pos[0]), strOutPath)) {
        CliError(QStringLiteral("print: %1 is the session file being printed; it is left as it is").arg(strOut));
        return EXIT_FAILED;
    }
    // The printout replaces OUT.pdf only once it is whole: a print that
    // fails or is interrupted leaves a file already there as it was.
    CFileReplacement output;
    if (const int nError = output.Open(strOutPath); nError != 0) {
        CliError(QStringLiteral("print: unable to write %1: %2").arg(strOut, ArgumentText(std::strerror(nError))));
        return EXIT_FAILED;
    }
    // The writer draws into a file of ours, whose error state tells of a
    // write that failed (a full disk), which the writer would pass over.
    QFile file;
    if (!file.open(output.Fd(), QIODevice::WriteOnly, QFileDevice::DontCloseHandle)) {
        CliError(QStringLiteral("print: unable to write %1: %2").arg(strOut, file.errorString()));
        return EXIT_FAILED;
    }
    bool bPrinted = false;
    {
        QPdfWriter writer(&file);
        writer.setResolution(nDpi);
        writer.setPageSize(QPageSize(size == "letter" ? QPageSize::Letter : QPageSize::A4));
        writer.setPageMargins(QMarginsF(0, 0, 0, 0));
        CPainterPrintDevice device(&writer);
        if (parser.isSet(editor))
            bPrinted = PrintEditorText(device, doc, frontEnd.GetEditorText());
        else
            bPrinted = PrintHistoryList(device, doc, parser.isSet(selection), events);
    }
    file.close();
    const bool bWritten = file.error() == QFileDevice::NoError;
    if (!bPrinted || !bWritten) {
        // A failure the core did not report is the output file's.
        if (!bWritten)
            CliError(QStringLiteral("print: unable to write %1: %2").arg(strOut, file.errorString()));
        else if (TerminationSignalSeen())
            CliError(QStringLiteral("print: interrupted, %1 not written").arg(strOut));
        else if (frontEnd.m_messages.empty())
            CliError(QStringLiteral("print: unable to write %1").arg(strOut));
        output.Abandon();
        return EXIT_FAILED;
    }
    const off_t nSize = ::lseek(output.Fd(), 0, SEEK_CUR);
    if (const int nError = output.Commit(nSize > 0 ? nSize : 0); nError != 0) {
        CliError(QStringLiteral("print: unable to write %1: %2").arg(strOut, ArgumentText(std::strerror(nError))));
        return EXIT_FAILED;
    }
    return EXIT_OK;
}
