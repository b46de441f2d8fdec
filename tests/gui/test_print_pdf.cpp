// midwire print: the history and the editor printed to PDF and read back
// with pdftotext.

#include <gtest/gtest.h>

#include <QApplication>
#include <QPdfWriter>
#include <QPrinter>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QStandardPaths>
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <atomic>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "../core/TestUtil.h"
#include "GuiTestUtil.h"
#include "app/HeadlessFrontEnd.h"
#include "app/gui/MainFrame.h"
#include "app/gui/ProgressDlg.h"
#include "session/MidwireDoc.h"
#include "views/gui/PrintDevice.h"

namespace {

struct RunResult {
    int status = -1;
    std::string out;
};

RunResult RunShell(const std::string& command)
{
    RunResult result;
    if (FILE* pipe = ::popen((command + " 2>&1").c_str(), "r")) {
        std::array<char, 65536> buf;
        std::size_t n;
        while ((n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0)
            result.out.append(buf.data(), n);
        const int rc = ::pclose(pipe);
        result.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }
    return result;
}

using testutil::MakeEvent;

// The pages of a PDF as pdftotext reads them in drawing order, each a list
// of lines.
std::vector<std::vector<std::string>> ReadPages(const std::string& strPdf)
{
    const RunResult r = RunShell("pdftotext -raw -enc Latin1 '" + strPdf + "' -");
    std::vector<std::vector<std::string>> pages(1);
    std::string line;
    for (char c : r.out) {
        if (c == '\f') {
            if (!line.empty())
                pages.back().push_back(line);
            line.clear();
            pages.emplace_back();
        } else if (c == '\n') {
            pages.back().push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty())
        pages.back().push_back(line);
    while (!pages.empty() && pages.back().empty())
        pages.pop_back();
    return pages;
}

// A main window over a history of numbered status lines, which keeps the
// texts of its message boxes.
struct CWindowWithStatusLines {
    explicit CWindowWithStatusLines(int nLines) : frame(doc)
    {
        frame.m_onMessageBox = [this](const std::string& strText, UINT) {
            messages.push_back(strText);
            return IDOK;
        };
        doc.OnNewDocument();
        for (int i = 0; i < nLines; ++i)
            doc.AddToHistory(MakeEvent(EK_MESSAGE, "", "status line " + std::to_string(i)));
    }
    CMidwireDoc doc;
    CMainFrame frame;
    std::vector<std::string> messages;
};

class PrintPdfTest : public ::testing::Test {
protected:
    // After a print that did not finish: a file that was there ("an earlier
    // printout") is as it was, none is where there was none, and nothing
    // else is left in the directory.
    void ExpectFileLeftAlone(const std::string& strPdf, bool bExisting)
    {
        if (bExisting)
            EXPECT_EQ(testutil::ReadFile(strPdf), "an earlier printout");
        else
            EXPECT_FALSE(std::filesystem::exists(strPdf));
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_strDir), {}), bExisting ? 1 : 0);
    }

    void SetUp() override
    {
        guitest::EnsureApplication();
        if (RunShell("command -v pdftotext").status != 0)
            GTEST_SKIP() << "pdftotext (poppler-utils) is not installed";
        char tmpl[] = "/tmp/midwire-print-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        m_strDir = tmpl;
    }
    void TearDown() override
    {
        std::error_code ec;
        if (!m_strDir.empty())
            std::filesystem::remove_all(m_strDir, ec);
    }

    // Writes a session of the given events (and editor text) as s.mwx.
    std::string Session(const std::vector<HistoryEvent*>& events, const std::string& strEditor = std::string(),
                        const std::string& strServerHost = "server.example")
    {
        CFrontEnd* pPrevious = g_pMainFrame;
        std::string strPath = m_strDir + "/s.mwx";
        {
            CHeadlessFrontEnd frontEnd;
            frontEnd.SetEcho(false);
            CMidwireDoc doc;
            doc.OnNewDocument();
            doc.m_strServerHost = strServerHost;
            doc.m_strClientHost = "client.example";
            for (HistoryEvent* p : events)
                doc.RecordEvent(p, FALSE);
            frontEnd.SetEditorText(strEditor);
            EXPECT_TRUE(doc.OnSaveDocument(strPath));
        }
        g_pMainFrame = pPrevious;
        return strPath;
    }
    RunResult Print(const std::string& strArgs) { return RunShell(std::string(MIDWIRE_BINARY) + " print " + strArgs); }

    // Characters a line on the command's page: A4 at 600 units an inch.
    int CharsPerLine()
    {
        QPdfWriter writer(QString::fromStdString(m_strDir + "/probe.pdf"));
        writer.setResolution(600);
        writer.setPageSize(QPageSize(QPageSize::A4));
        writer.setPageMargins(QMarginsF(0, 0, 0, 0));
        CPainterPrintDevice device(&writer);
        EXPECT_TRUE(device.StartDoc("probe"));
        const int w = ComputePageGeometry(device.GetMetrics(), "probe").nCharsPerLine;
        device.EndDoc();
        return w;
    }

    std::string m_strDir;
};

}  // namespace

// The print dialogs print the whole job: no page range can be chosen, for
// any printer the dialog is switched to; Selection is offered only for the
// history.
TEST(PrintDialog, OffersNoPageRange)
{
    guitest::EnsureApplication();
    QPrinter printer;
    printer.setOutputFormat(QPrinter::PdfFormat);
    for (const bool bSelection : {true, false}) {
        SCOPED_TRACE(bSelection ? "history" : "editor");
        CPrintJobDialog dlg(&printer, nullptr, bSelection);
        dlg.show();
        QCoreApplication::processEvents();
        for (const char* pszName : {"printRange", "pagesRadioButton"}) {
            auto* pChoice = dlg.findChild<QRadioButton*>(QLatin1String(pszName));
            if (!pChoice)
                continue;
            EXPECT_FALSE(pChoice->isEnabled()) << pszName;
            // What the dialog does when another printer is chosen.
            pChoice->setEnabled(true);
            EXPECT_FALSE(pChoice->isEnabled()) << pszName;
        }
        EXPECT_NE(dlg.findChild<QRadioButton*>(QStringLiteral("printRange")), nullptr);
        const auto* pSelection = dlg.findChild<QRadioButton*>(QStringLiteral("printSelection"));
        ASSERT_NE(pSelection, nullptr);
        EXPECT_EQ(!pSelection->isHidden(), bSelection);
        EXPECT_EQ(dlg.printRange(), QAbstractPrintDialog::AllPages);
        dlg.hide();
    }
}

TEST_F(PrintPdfTest, HistoryOf120EventsOnNumberedPages)
{
    std::vector<HistoryEvent*> events;
    for (int i = 0; i < 120; ++i)
        events.push_back(MakeEvent(EK_RECEIVED_FROM_CLIENT, "event " + std::to_string(i)));
    const std::string strSession = Session(events);
    const std::string strPdf = m_strDir + "/out.pdf";
    const RunResult r = Print("'" + strSession + "' '" + strPdf + "'");
    ASSERT_EQ(r.status, 0) << r.out;

    const auto pages = ReadPages(strPdf);
    ASSERT_GE(pages.size(), 2u);
    const std::string strHeader = FormatEventTime(1700000000) + " Received from: server.example";
    int nNext = 0;
    for (std::size_t p = 0; p < pages.size(); ++p) {
        const auto& lines = pages[p];
        ASSERT_GE(lines.size(), 3u) << "page " << p + 1;
        // Body lines, then the title and the page number of the page.
        EXPECT_EQ(lines[lines.size() - 2], "Midwire - s.mwx");
        EXPECT_EQ(lines.back(), std::to_string(p + 1));
        for (std::size_t i = 0; i + 2 < lines.size(); ++i) {
            if (lines[i] == strHeader)
                continue;
            ASSERT_EQ(lines[i], "event " + std::to_string(nNext)) << "page " << p + 1;
            ++nNext;
        }
    }
    EXPECT_EQ(nNext, 120);
}

TEST_F(PrintPdfTest, LongHeaderAndSelection)
{
    const int w = CharsPerLine();
    ASSERT_GT(w, 20);
    const std::string strPrefix = FormatEventTime(1700000000) + " Sent to: ";
    const std::string strHost = std::string(static_cast<std::size_t>(w) + 1 - strPrefix.size() - 1, 'h') + "Z";
    const std::string strSession =
        Session({MakeEvent(EK_MESSAGE, "", "one"), MakeEvent(EK_SENT_TO_SERVER, "two"),
                 MakeEvent(EK_MESSAGE, "", "three")},
                std::string(), strHost);
    const std::string strPdf = m_strDir + "/sel.pdf";
    const RunResult r = Print("'" + strSession + "' '" + strPdf + "' --selection 3,2");
    ASSERT_EQ(r.status, 0) << r.out;
    const auto pages = ReadPages(strPdf);
    ASSERT_EQ(pages.size(), 1u);
    // Header of W + 1 characters: W on the first line, one on the second.
    const std::vector<std::string> expected = {
        (strPrefix + strHost).substr(0, static_cast<std::size_t>(w)),
        "Z",
        "two",
        FormatEventTime(1700000000) + " Message",
        "three",
        "Midwire - s.mwx",
        "1",
    };
    EXPECT_EQ(pages[0], expected);
}

TEST_F(PrintPdfTest, EditorLinesEndWithCarriageReturnAndLineFeed)
{
    const std::string strSession = Session({MakeEvent(EK_MESSAGE, "", "m")}, "ab\r\ncd");
    const std::string strPdf = m_strDir + "/ed.pdf";
    const RunResult r = Print("'" + strSession + "' '" + strPdf + "' --editor");
    ASSERT_EQ(r.status, 0) << r.out;
    const auto pages = ReadPages(strPdf);
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_EQ(pages[0], (std::vector<std::string>{"ab", "cd", "Midwire - s.mwx", "1"}));
}

TEST_F(PrintPdfTest, NothingToPrintLeavesAnExistingOutputAlone)
{
    const std::string strPdf = m_strDir + "/earlier.pdf";
    const std::string strEarlier = "an earlier printout\n";
    const std::string strEmpty = Session({});
    for (const char* pszMode : {"", " --editor"}) {
        {
            std::ofstream out(strPdf, std::ios::binary | std::ios::trunc);
            out << strEarlier;
        }
        const RunResult r = Print("'" + strEmpty + "' '" + strPdf + "'" + pszMode);
        EXPECT_EQ(r.status, 1) << pszMode;
        EXPECT_NE(r.out.find(*pszMode ? "Data Editor is empty." : "History List is empty."), std::string::npos)
            << r.out;
        std::ifstream in(strPdf, std::ios::binary);
        const std::string strNow((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(strNow, strEarlier) << pszMode;
    }
}

// The desktop's print dialog may send the job to a file; a history with
// nothing to print, or Selection chosen with no row selected, must not
// replace a file already there with a blank page.
TEST_F(PrintPdfTest, EmptyHistoryPrintedToAFileLeavesTheFileAlone)
{
    const std::string strPdf = m_strDir + "/earlier.pdf";
    const std::string strEarlier = "an earlier printout\n";
    for (const bool bSelection : {false, true}) {
        {
            std::ofstream out(strPdf, std::ios::binary | std::ios::trunc);
            out << strEarlier;
        }
        CFrontEnd* pPrevious = g_pMainFrame;
        {
            CHeadlessFrontEnd frontEnd;
            frontEnd.SetEcho(false);
            CMidwireDoc doc;
            doc.OnNewDocument();
            if (bSelection)
                doc.AddToHistory(MakeEvent(EK_MESSAGE, "", "not selected"));
            QPrinter printer(QPrinter::HighResolution);
            printer.setOutputFormat(QPrinter::PdfFormat);
            printer.setOutputFileName(QString::fromStdString(strPdf));
            CPainterPrintDevice device(&printer, &printer);
            EXPECT_FALSE(PrintHistoryList(device, doc, bSelection, {}));
            EXPECT_EQ(frontEnd.m_messages, std::vector<std::string>{bSelection ? "No row of the History List is selected."
                                                                              : "History List is empty."});
        }
        g_pMainFrame = pPrevious;
        std::ifstream in(strPdf, std::ios::binary);
        const std::string strNow((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(strNow, strEarlier) << bSelection;
    }
}

TEST_F(PrintPdfTest, FailuresLeaveNoFile)
{
    const std::string strPdf = m_strDir + "/none.pdf";
    const std::string strEmpty = Session({});
    RunResult r = Print("'" + strEmpty + "' '" + strPdf + "'");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("History List is empty."), std::string::npos) << r.out;
    EXPECT_FALSE(std::filesystem::exists(strPdf));

    r = Print("'" + strEmpty + "' '" + strPdf + "' --editor");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Data Editor is empty."), std::string::npos) << r.out;
    EXPECT_FALSE(std::filesystem::exists(strPdf));

    const std::string strOne = Session({MakeEvent(EK_MESSAGE, "", "m")});
    EXPECT_EQ(Print("'" + strOne + "' '" + strPdf + "' --selection 2").status, 2);
    EXPECT_EQ(Print("'" + strOne + "' '" + strPdf + "' --selection x").status, 2);
    // FILE alone goes to the default printer; with none reachable (no print
    // server here) that is a failure with a hint, not a silent success.
    r = RunShell("CUPS_SERVER=127.0.0.1:9 " + std::string(MIDWIRE_BINARY) + " print '" + strOne + "'");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("no default printer"), std::string::npos) << r.out;
    EXPECT_EQ(Print("'" + strOne + "' a.pdf b.pdf").status, 2);
    EXPECT_EQ(Print("'" + m_strDir + "/missing.mwx' '" + strPdf + "'").status, 1);
    r = Print("'" + strOne + "' '" + m_strDir + "/no/such/dir/x.pdf'");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("unable to write"), std::string::npos) << r.out;
    EXPECT_FALSE(std::filesystem::exists(strPdf));
    // A write that fails on the way (a full disk) is a failure too, and the
    // file cut short goes.
    r = Print("'" + strOne + "' /dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("unable to write /dev/full: No space left on device"), std::string::npos) << r.out;
    r = RunShell("trap '' XFSZ; ulimit -f 1; " + std::string(MIDWIRE_BINARY) + " print '" + strOne + "' '" +
                 strPdf + "'");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_FALSE(std::filesystem::exists(strPdf));

    r = Print("--help");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Usage: midwire print"), std::string::npos);
}

// The session file named again as the output (by mistake, or through a link)
// is not emptied and printed over: the session stays, the status is 1.
TEST_F(PrintPdfTest, OutputThatIsTheSessionFileIsRefused)
{
    const std::string strSession = Session({MakeEvent(EK_MESSAGE, "", "m")});
    std::ifstream in(strSession, std::ios::binary);
    const std::string strBefore((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string strLink = m_strDir + "/link.pdf";
    std::filesystem::create_symlink(strSession, strLink);
    for (const std::string& strOut : {strSession, strLink}) {
        const RunResult r = Print("'" + strSession + "' '" + strOut + "'");
        EXPECT_EQ(r.status, 1) << strOut;
        EXPECT_NE(r.out.find("is the session file being printed"), std::string::npos) << r.out;
        std::ifstream again(strSession, std::ios::binary);
        const std::string strNow((std::istreambuf_iterator<char>(again)), std::istreambuf_iterator<char>());
        EXPECT_EQ(strNow, strBefore) << strOut;
    }
}

// The session may come on standard input or through a pipe, and the PDF go
// to standard output; "-" for both is a wrong command line.
TEST_F(PrintPdfTest, SessionFromStandardInputAndPdfToStandardOutput)
{
    const std::string strSession = Session({MakeEvent(EK_MESSAGE, "", "m")});
    const std::string strPdf = m_strDir + "/out.pdf";
    RunResult r = RunShell("cat '" + strSession + "' | " + MIDWIRE_BINARY + " print - '" + strPdf + "'");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(ReadPages(strPdf).size(), 1u);
    const std::string strPiped = m_strDir + "/piped.pdf";
    r = RunShell(std::string("(") + MIDWIRE_BINARY + " print '" + strSession + "' - | cat > '" + strPiped +
                 "')");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(ReadPages(strPiped).size(), 1u);
    r = Print("- - < '" + strSession + "'");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("print: '-' is given as both input and output"), std::string::npos) << r.out;
    r = Print("'" + strSession + "' - > /dev/full");
    EXPECT_EQ(r.status, 1) << r.out;
}

// The output's name is used byte for byte, though it is not UTF-8.
TEST_F(PrintPdfTest, OutputNameThatIsNotUtf8)
{
    const std::string strOne = Session({MakeEvent(EK_MESSAGE, "", "m")});
    const std::string strPdf = m_strDir + "/caf\xE9 \xFF.pdf";
    const RunResult r = Print("'" + strOne + "' '" + strPdf + "'");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(std::filesystem::is_regular_file(strPdf));
    EXPECT_EQ(ReadPages(strPdf).size(), 1u);
    std::size_t nEntries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(m_strDir))
        ++nEntries;
    EXPECT_EQ(nEntries, 2u);  // the session and the printout
}

// The job title names the session file as the window caption does: its name
// is in the local encoding, unlike the 8-bit texts of the events.
TEST_F(PrintPdfTest, TitleShowsTheSessionFileNameUnchanged)
{
    const std::string strOne = Session({MakeEvent(EK_MESSAGE, "", "caf\xE9")});
    const std::string strNamed = m_strDir + "/r\xC3\xA9sum\xC3\xA9.mwx";
    std::filesystem::rename(strOne, strNamed);
    const std::string strPdf = m_strDir + "/out.pdf";
    RunResult r = Print("'" + strNamed + "' '" + strPdf + "'");
    ASSERT_EQ(r.status, 0) << r.out;
    r = RunShell("pdftotext -raw -enc UTF-8 '" + strPdf + "' -");
    EXPECT_NE(r.out.find("Midwire - r\xC3\xA9sum\xC3\xA9.mwx"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("caf\xC3\xA9"), std::string::npos) << r.out;  // the event's 8-bit text
    r = RunShell("pdfinfo -enc UTF-8 '" + strPdf + "'");
    EXPECT_NE(r.out.find("Midwire - r\xC3\xA9sum\xC3\xA9.mwx"), std::string::npos) << r.out;

    // A name that is not UTF-8 (Latin-1) is shown with its byte read as
    // Latin-1, not as U+FFFD.
    const std::string strLatin1 = m_strDir + "/caf\xE9.mwx";
    std::filesystem::rename(strNamed, strLatin1);
    r = Print("'" + strLatin1 + "' '" + strPdf + "'");
    ASSERT_EQ(r.status, 0) << r.out;
    r = RunShell("pdftotext -raw -enc UTF-8 '" + strPdf + "' -");
    EXPECT_NE(r.out.find("Midwire - caf\xC3\xA9.mwx"), std::string::npos) << r.out;
    r = RunShell("pdfinfo -enc UTF-8 '" + strPdf + "'");
    EXPECT_NE(r.out.find("Midwire - caf\xC3\xA9.mwx"), std::string::npos) << r.out;
}

// Cancel in "Printing..." stops a long print to a PDF file and leaves no
// file that looks like the whole printout.
TEST_F(PrintPdfTest, CancelInProgressWindowStopsAndRemovesThePrintFile)
{
    CMidwireDoc doc;
    CMainFrame frame(doc);
    frame.m_onMessageBox = [](const std::string&, UINT) { return IDOK; };
    doc.OnNewDocument();
    for (int i = 0; i < 100000; ++i)
        doc.AddToHistory(MakeEvent(EK_MESSAGE, "", "status"));
    const std::string strPdf = m_strDir + "/cancelled.pdf";
    QPrinter printer(QPrinter::HighResolution);
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(QString::fromStdString(strPdf));

    // A file already there stays as it was; none is left where there was
    // none, and nothing beside it.
    for (const bool bExisting : {false, true}) {
        if (bExisting)
            testutil::WriteFile(strPdf, "an earlier printout");
        guitest::CCancelWhenShown<CPleaseWaitDlg> canceller;
        bool bPrinted = true;
        {
            CPainterPrintDevice device(&printer, &printer);
            bPrinted = PrintHistoryList(device, doc, false, {});
        }
        ASSERT_TRUE(canceller.Clicked());
        EXPECT_FALSE(bPrinted);
        ExpectFileLeftAlone(strPdf, bExisting);
        EXPECT_EQ(printer.outputFileName(), QString::fromStdString(strPdf));
        EXPECT_FALSE(doc.IsWalking());
        QCoreApplication::processEvents();
        for (QWidget* w : QApplication::topLevelWidgets())
            EXPECT_FALSE(qobject_cast<CPleaseWaitDlg*>(w) && w->isVisible());
    }

    // A print that ends replaces the file with the whole printout.
    doc.OnNewDocument();
    doc.AddToHistory(MakeEvent(EK_MESSAGE, "", "the only row"));
    {
        CPainterPrintDevice device(&printer, &printer);
        EXPECT_TRUE(PrintHistoryList(device, doc, false, {}));
    }
    const auto pages = ReadPages(strPdf);
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_strDir), {}), 1);
}

// Lowers the limit of the size of a file this process may write, so that a
// write beyond it fails as on a full disk (EFBIG, the signal ignored).
class CFileSizeLimit {
public:
    explicit CFileSizeLimit(rlim_t nBytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &m_previous);
        m_pfnPrevious = ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_previous;
        limit.rlim_cur = nBytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~CFileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &m_previous);
        ::signal(SIGXFSZ, m_pfnPrevious);
    }
    CFileSizeLimit(const CFileSizeLimit&) = delete;
    CFileSizeLimit& operator=(const CFileSizeLimit&) = delete;

private:
    rlimit m_previous {};
    void (*m_pfnPrevious)(int) = nullptr;
};

// A desktop print to a file that cannot be written whole (a full disk, its
// directory gone meanwhile) says so, leaves no part of a printout and keeps
// a file already there as it was.
TEST_F(PrintPdfTest, DesktopPrintToAFileNotWrittenWholeSaysSo)
{
    CMidwireDoc doc;
    CMainFrame frame(doc);
    std::vector<std::string> messages;
    frame.m_onMessageBox = [&messages](const std::string& strText, UINT) {
        messages.push_back(strText);
        // The print is over when it says so: its progress window has gone.
        for (QWidget* w : QApplication::topLevelWidgets())
            EXPECT_FALSE(qobject_cast<CPleaseWaitDlg*>(w) && w->isVisible()) << strText;
        return IDOK;
    };
    doc.OnNewDocument();
    for (int i = 0; i < 300; ++i)
        doc.AddToHistory(MakeEvent(EK_MESSAGE, "", "status line " + std::to_string(i)));
    std::string strEditor;
    for (int i = 0; i < 300; ++i)
        strEditor += "editor line " + std::to_string(i) + "\r\n";
    const std::string strPdf = m_strDir + "/out.pdf";
    QPrinter printer(QPrinter::HighResolution);
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(QString::fromStdString(strPdf));
    auto print = [&](bool bEditor) {
        CPainterPrintDevice device(&printer, &printer);
        return bEditor ? PrintEditorText(device, doc, strEditor) : PrintHistoryList(device, doc, false, {});
    };

    for (const bool bEditor : {false, true}) {
        for (const bool bExisting : {false, true}) {
            SCOPED_TRACE(std::string(bEditor ? "editor" : "history") + (bExisting ? ", existing file" : ""));
            if (bExisting)
                testutil::WriteFile(strPdf, "an earlier printout");
            messages.clear();
            bool bPrinted = true;
            {
                const CFileSizeLimit limit(4096);
                bPrinted = print(bEditor);
            }
            EXPECT_FALSE(bPrinted);
            EXPECT_EQ(messages, std::vector<std::string>{"Unable to write file: " + strPdf + " ; File too large."});
            ExpectFileLeftAlone(strPdf, bExisting);
            EXPECT_EQ(printer.outputFileName(), QString::fromStdString(strPdf));
            EXPECT_FALSE(doc.IsWalking());
            std::filesystem::remove(strPdf);
        }
    }

    // The directory removed while the printout is written: nothing can be
    // put in its place, and the print says so instead of ending as done.
    const std::string strSub = m_strDir + "/sub";
    std::filesystem::create_directory(strSub);
    printer.setOutputFileName(QString::fromStdString(strSub + "/out.pdf"));
    messages.clear();
    QTimer::singleShot(0, [&strSub] { std::filesystem::remove_all(strSub); });
    EXPECT_FALSE(print(false));
    EXPECT_EQ(messages,
              std::vector<std::string>{"Unable to write file: " + strSub + "/out.pdf ; No such file or directory."});
    EXPECT_FALSE(std::filesystem::exists(strSub));

    // Whole, the printout is the printer's page as set up for it.
    printer.setOutputFileName(QString::fromStdString(strPdf));
    printer.setPageSize(QPageSize(QPageSize::Letter));
    printer.setPageOrientation(QPageLayout::Landscape);
    messages.clear();
    EXPECT_TRUE(print(false));
    EXPECT_TRUE(messages.empty());
    const RunResult info = RunShell("pdfinfo '" + strPdf + "'");
    EXPECT_NE(info.out.find("792 x 612 pts (letter)"), std::string::npos) << info.out;
    {
        CPainterPrintDevice device(&printer, &printer);
        ASSERT_TRUE(device.StartDoc("probe"));
        const PrintMetrics m = device.GetMetrics();
        EXPECT_EQ(m.nHorzRes, printer.width());
        EXPECT_EQ(m.nVertRes, printer.height());
        EXPECT_EQ(m.nLogPixelsX, printer.logicalDpiX());
        device.AbortDoc();
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_strDir), {}), 1);
}

// A print file the user may write in a directory the user may not is
// overwritten where it stands: a disk without room for the whole printout
// leaves its old content as it was, and a whole printout replaces it. Run
// as root, where no directory is closed to the test, the test runs itself
// as an unprivileged user.
TEST_F(PrintPdfTest, DesktopPrintOverAFileInAClosedDirectory)
{
    if (::geteuid() == 0) {
        if (RunShell("command -v setpriv").status != 0)
            GTEST_SKIP() << "run as root without setpriv to run the test as another user";
        const RunResult r = RunShell("QT_QPA_PLATFORM=offscreen HOME=/tmp setpriv --reuid=65534 --regid=65534 "
                                     "--clear-groups /proc/" +
                                     std::to_string(::getpid()) +
                                     "/exe --gtest_filter=PrintPdfTest.DesktopPrintOverAFileInAClosedDirectory");
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find("[  PASSED  ] 1 test"), std::string::npos) << r.out;
        return;
    }
    CWindowWithStatusLines window(300);
    CMidwireDoc& doc = window.doc;
    std::vector<std::string>& messages = window.messages;
    const std::string strPdf = m_strDir + "/shared.pdf";
    testutil::WriteFile(strPdf, "an earlier printout");
    ASSERT_EQ(::chmod(m_strDir.c_str(), 0555), 0);
    struct CReopen {
        std::string strDir;
        ~CReopen() { ::chmod(strDir.c_str(), 0700); }  // for the clean-up
    } reopen{m_strDir};
    QPrinter printer(QPrinter::HighResolution);
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(QString::fromStdString(strPdf));
    auto print = [&] {
        messages.clear();
        CPainterPrintDevice device(&printer, &printer);
        return PrintHistoryList(device, doc, false, {});
    };
    {
        const CFileSizeLimit limit(4096);
        EXPECT_FALSE(print());
    }
    EXPECT_EQ(messages, std::vector<std::string>{"Unable to write file: " + strPdf + " ; File too large."});
    const std::string strLeft = testutil::ReadFile(strPdf);
    EXPECT_TRUE(strLeft == "an earlier printout") << strLeft.size() << " bytes: " << strLeft.substr(0, 8);

    EXPECT_TRUE(print());
    EXPECT_TRUE(messages.empty());
    const auto pages = ReadPages(strPdf);
    ASSERT_GE(pages.size(), 2u);
    ASSERT_GE(pages[0].size(), 2u);
    EXPECT_EQ(pages[0][1], "status line 0");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_strDir), {}), 1);
}

// A print to a named pipe or a device writes into it as it stands: a pipe
// nobody reads is refused at once instead of hanging the window, one whose
// reader goes away fails the print and not the program, and neither node is
// removed or replaced.
TEST_F(PrintPdfTest, DesktopPrintToAPipeOrADevice)
{
    CWindowWithStatusLines window(2000);
    CMidwireDoc& doc = window.doc;
    std::vector<std::string>& messages = window.messages;
    QPrinter printer(QPrinter::HighResolution);
    printer.setOutputFormat(QPrinter::PdfFormat);
    auto print = [&](const std::string& strPath) {
        messages.clear();
        printer.setOutputFileName(QString::fromStdString(strPath));
        CPainterPrintDevice device(&printer, &printer);
        return PrintHistoryList(device, doc, false, {});
    };
    struct stat st {};

    EXPECT_TRUE(print("/dev/null"));
    EXPECT_TRUE(messages.empty());
    ASSERT_EQ(::stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));

    const std::string strPipe = m_strDir + "/pipe";
    ASSERT_EQ(::mkfifo(strPipe.c_str(), 0600), 0);
    {
        // Should the print wait for a reader, one comes after 10 seconds and
        // goes at once: the test fails instead of hanging.
        std::atomic<bool> bDone{false}, bReleased{false};
        std::thread watchdog([&] {
            for (int i = 0; i < 100 && !bDone; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (!bDone) {
                bReleased = true;
                ::close(::open(strPipe.c_str(), O_RDONLY | O_NONBLOCK));
            }
        });
        EXPECT_FALSE(print(strPipe));
        bDone = true;
        watchdog.join();
        EXPECT_FALSE(bReleased);
        EXPECT_EQ(messages, std::vector<std::string>{"Could not start print job."});
    }

    // The reader goes away before the printout has come.
    int fdReader = ::open(strPipe.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fdReader, 0);
    QTimer::singleShot(0, [&fdReader] {
        ::close(fdReader);
        fdReader = -1;
    });
    EXPECT_FALSE(print(strPipe));
    EXPECT_EQ(fdReader, -1);
    EXPECT_EQ(messages, std::vector<std::string>{"Unable to write file: " + strPipe + " ; Broken pipe."});

    // A reader that takes it all gets the whole printout.
    const int fdKeep = ::open(strPipe.c_str(), O_RDONLY | O_NONBLOCK);  // lets the print open the pipe
    ASSERT_GE(fdKeep, 0);
    std::string strReceived;
    std::thread reader([&] {
        const int fd = ::open(strPipe.c_str(), O_RDONLY);  // once the print has opened it
        char buf[65536];
        ssize_t n;
        while ((n = ::read(fd, buf, sizeof buf)) > 0)
            strReceived.append(buf, static_cast<std::size_t>(n));
        ::close(fd);
    });
    EXPECT_TRUE(print(strPipe));
    ::close(::open(strPipe.c_str(), O_WRONLY | O_NONBLOCK));  // the reader ends even if the print never opened
    reader.join();
    ::close(fdKeep);
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(strReceived.substr(0, 5), "%PDF-");
    EXPECT_NE(strReceived.find("%%EOF", strReceived.size() > 16 ? strReceived.size() - 16 : 0), std::string::npos);
    ASSERT_EQ(::lstat(strPipe.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_strDir), {}), 1);
}

// Run without a runtime directory (cron, sudo, CI), the command writes
// nothing but its PDF: no warning on standard error, no directory left over.
TEST_F(PrintPdfTest, NoRuntimeDirectoryGivesNoNoiseAndLeavesNothing)
{
    const std::string strSession = Session({MakeEvent(EK_MESSAGE, "", "status")});
    const std::string strTmp = m_strDir + "/tmp";
    std::filesystem::create_directory(strTmp);
    const RunResult r = RunShell("env -u XDG_RUNTIME_DIR TMPDIR='" + strTmp + "' " + MIDWIRE_BINARY + " print '" +
                                 strSession + "' '" + m_strDir + "/out.pdf'");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(std::filesystem::is_empty(strTmp));
    const auto pages = ReadPages(m_strDir + "/out.pdf");
    ASSERT_EQ(pages.size(), 1u);
}

// A host name typed in UTF-8 prints as the list view shows it, while data
// bytes stay 8-bit characters in display form.
TEST_F(PrintPdfTest, HostNameInUtf8PrintsAsTyped)
{
    const std::string strSession =
        Session({MakeEvent(EK_SENT_TO_SERVER, "caf\xE9"), MakeEvent(EK_MESSAGE, "", "plain \xE9 text"),
                 MakeEvent(EK_CONNECT_SERVER, "", "Connected to: b\xC3\xBC" "cher.example port: 80.")},
                std::string(), "b\xC3\xBC" "cher.example");
    ASSERT_EQ(Print("'" + strSession + "' '" + m_strDir + "/out.pdf'").status, 0);
    const auto pages = ReadPages(m_strDir + "/out.pdf");
    ASSERT_EQ(pages.size(), 1u);
    const std::vector<std::string>& lines = pages[0];
    auto has = [&lines](const std::string& s) { return std::find(lines.begin(), lines.end(), s) != lines.end(); };
    const std::string strHeaderEnd = " Sent to: b\xFC" "cher.example";
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& s) {
        return s.size() > strHeaderEnd.size() && s.compare(s.size() - strHeaderEnd.size(), std::string::npos, strHeaderEnd) == 0;
    })) << ::testing::PrintToString(lines);
    EXPECT_TRUE(has("caf[233]"));
    EXPECT_TRUE(has("plain \xE9 text"));
    // A host named in a message prints as typed too.
    EXPECT_TRUE(has("Connected to: b\xFC" "cher.example port: 80.")) << ::testing::PrintToString(lines);
}

// SIGTERM during a long print stops it like Cancel: no half-written PDF is
// left at the output path, a PDF already there stays as it was, and the
// command fails.
TEST_F(PrintPdfTest, InterruptedPrintLeavesNoPartialFile)
{
    const std::string strSession = Session({MakeEvent(EK_SENT_TO_SERVER, std::string(8000000, 'x'))});
    for (const bool bExisting : {false, true}) {
        const std::string strPdf = m_strDir + "/out.pdf";
        std::filesystem::remove(strPdf);
        if (bExisting)
            testutil::WriteFile(strPdf, "an earlier printout");
        // The print starts in the background; the signal comes once it
        // writes, beside the target or into it (bounded wait), while the
        // 8 MB block is being laid out.
        const std::string strWriting = "{ ls '" + strPdf + ".'* || { [ -e '" + strPdf +
                                       "' ] && ! grep -q 'an earlier printout' '" + strPdf + "'; }; } >/dev/null 2>&1";
        const RunResult r = RunShell("(" + std::string(MIDWIRE_BINARY) + " print '" + strSession + "' '" + strPdf +
                                     "' & pid=$!; for i in $(seq 1 400); do " + strWriting +
                                     " && break; sleep 0.05; done; sleep 0.2; kill -TERM $pid; wait $pid)");
        if (r.status == 0)
            GTEST_SKIP() << "the print ended before the signal came";
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_NE(r.out.find("interrupted"), std::string::npos) << r.out;
        if (bExisting)
            EXPECT_EQ(testutil::ReadFile(strPdf), "an earlier printout");
        else
            EXPECT_FALSE(std::filesystem::exists(strPdf));
        // Nothing else is left beside it.
        for (const auto& entry : std::filesystem::directory_iterator(m_strDir))
            EXPECT_EQ(entry.path().string().find(strPdf + "."), std::string::npos) << entry.path();
    }
}

// SIGTERM while the session is still being loaded stops the load part way;
// what was read is not printed as if it were the whole history.
TEST_F(PrintPdfTest, InterruptedLoadPrintsNothing)
{
    // An empty session, then a million status events appended to it by
    // hand: the load takes long enough to be caught while the file is open.
    const std::string strSession = Session({});
    std::string strFile;
    {
        std::ifstream in(strSession, std::ios::binary);
        strFile.assign((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    ASSERT_GE(strFile.size(), 4u);
    const std::uint32_t nEvents = 1000000;
    strFile.resize(strFile.size() - 4);  // the event count 0
    auto put4 = [&strFile](std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            strFile += static_cast<char>((v >> (8 * i)) & 0xFF);
    };
    put4(nEvents);
    for (std::uint32_t i = 0; i < nEvents; ++i) {
        put4(EK_MESSAGE);
        put4(1700000000);
        strFile += static_cast<char>(6);
        strFile += "status";
        put4(0);                        // no data
        strFile += static_cast<char>(0);  // no host
    }
    {
        std::ofstream out(strSession, std::ios::binary | std::ios::trunc);
        out << strFile;
    }
    const std::string strPdf = m_strDir + "/out.pdf";
    // The signal comes once the process holds the session file open
    // (bounded wait): the load is then under way, or over and the print
    // under way; either way nothing may come out.
    const RunResult r = RunShell("(" + std::string(MIDWIRE_BINARY) + " print '" + strSession + "' '" + strPdf +
                                 "' & pid=$!; for i in $(seq 1 1000); do ls -l /proc/$pid/fd 2>/dev/null | grep -q "
                                 "'s.mwx' && break; sleep 0.005; done; kill -TERM $pid; wait $pid)");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("interrupted"), std::string::npos) << r.out;
    EXPECT_FALSE(std::filesystem::exists(strPdf));
}
