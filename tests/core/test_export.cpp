// Save Special: the choice of form, the filters, the text line, and the
// text, binary and MIME forms written to disk through the headless front end.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "TestUtil.h"
#include "app/CommandTable.h"
#include "app/HeadlessFrontEnd.h"
#include "export/HistoryExport.h"
#include "session/HistoryEvent.h"
#include "session/MidwireDoc.h"
#include "views/DisplayTranslation.h"

namespace fs = std::filesystem;

namespace {

std::string Slurp(const std::string& strPath)
{
    std::ifstream in(strPath, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> SplitLines(const std::string& strText)
{
    std::vector<std::string> lines;
    std::size_t nStart = 0;
    while (nStart < strText.size()) {
        const std::size_t nEnd = strText.find("\r\n", nStart);
        if (nEnd == std::string::npos) {
            lines.push_back(strText.substr(nStart));
            break;
        }
        lines.push_back(strText.substr(nStart, nEnd - nStart));
        nStart = nEnd + 2;
    }
    return lines;
}

// A session with its own temporary directory and a headless window side.
class ExportTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string strTemplate = (fs::temp_directory_path() / "midwire-export-XXXXXX").string();
        ASSERT_NE(::mkdtemp(strTemplate.data()), nullptr);
        m_strDir = strTemplate;
        m_frontEnd.SetEcho(false);
        m_doc.OnNewDocument();
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(m_strDir, ec);
    }

    std::string PathOf(const std::string& strName) const { return m_strDir + "/" + strName; }

    HistoryEvent* AddData(std::uint32_t kind, const std::string& strBytes, std::int64_t t = 900000000)
    {
        auto* p = new HistoryEvent;
        p->m_kind = kind;
        p->m_time = t;
        if (!strBytes.empty()) {
            auto* pBlock = static_cast<unsigned char*>(std::malloc(strBytes.size()));
            std::memcpy(pBlock, strBytes.data(), strBytes.size());
            p->AdoptData(pBlock, static_cast<std::int32_t>(strBytes.size()));
        }
        m_doc.RecordEvent(p, FALSE);
        return p;
    }
    HistoryEvent* AddText(std::uint32_t kind, const std::string& strText, const std::string& strHost = "")
    {
        HistoryEvent* p = AddData(kind, "");
        p->m_strText = strText;
        p->m_strHost = strHost;
        return p;
    }

    SaveSpecialOptions Options(const std::string& strName) const
    {
        SaveSpecialOptions o;
        o.strPath = PathOf(strName);
        return o;
    }

    std::string m_strDir;
    CHeadlessFrontEnd m_frontEnd;
    CMidwireDoc m_doc;
};

// Every kind with a payload or text that tells it apart.
const std::uint32_t kAllKinds[] = {0x1,     0x2,     0x4,      0x8,      0x10,     0x20,     0x40,     0x80,    0x100,
                                   0x200,   0x400,   0x800,    0x1000,   0x2000,   0x4000,   0x8000,   0x10000, 0x20000,
                                   0x40000, 0x80000, 0x100000, 0x200000, 0x400000, 0x800000, 0x1000000};

std::vector<std::uint32_t> KeptKinds(const SaveSpecialOptions& o, EExportForm form)
{
    std::vector<std::uint32_t> kept;
    for (std::uint32_t kind : kAllKinds)
        if (!ExportSkipsKind(kind, o, form))
            kept.push_back(kind);
    return kept;
}

}  // namespace

TEST(ExportForm, ExactExtensionChoosesTheForm)
{
    EXPECT_EQ(ExportFormOfPath("/tmp/a.txt"), EExportForm::Text);
    EXPECT_EQ(ExportFormOfPath("/tmp/a.TXT"), EExportForm::Text);
    EXPECT_EQ(ExportFormOfPath("/tmp/a.Txt"), EExportForm::Mime);
    EXPECT_EQ(ExportFormOfPath("/tmp/a.bin"), EExportForm::Binary);
    EXPECT_EQ(ExportFormOfPath("/tmp/a.BIN"), EExportForm::Binary);
    EXPECT_EQ(ExportFormOfPath("/tmp/a.Bin"), EExportForm::Mime);
    EXPECT_EQ(ExportFormOfPath("/tmp/mail"), EExportForm::Mime);
    EXPECT_EQ(ExportFormOfPath("/tmp/x.txt/mail"), EExportForm::Mime);  // a dot in a folder is no extension
    EXPECT_EQ(ExportFormOfPath("/tmp/a.txt.gz"), EExportForm::Mime);
    EXPECT_EQ(ExportFormOfPath("a.tar.bin"), EExportForm::Binary);
}

TEST(ExportFilters, SideAndDataFiltersByForm)
{
    SaveSpecialOptions o;
    EXPECT_EQ(KeptKinds(o, EExportForm::Text).size(), 25u);

    // Client side with data only, text form: the client's data, the datagram
    // data and the playback kinds; no status, no bind or unbind.
    o.nSide = SAVE_SIDE_CLIENT;
    o.nEvents = SAVE_EVENTS_DATA;
    EXPECT_EQ(KeptKinds(o, EExportForm::Text),
              (std::vector<std::uint32_t>{0x1, 0x2, 0x4, 0x4000, 0x8000, 0x10000, 0x20000, 0x40000, 0x80000, 0x100000,
                                          0x200000, 0x1000000}));
    // The byte forms drop datagram data but keep bind and unbind.
    EXPECT_EQ(KeptKinds(o, EExportForm::Binary),
              (std::vector<std::uint32_t>{0x1, 0x2, 0x4, 0x4000, 0x8000, 0x10000, 0x20000, 0x40000, 0x80000, 0x400000,
                                          0x800000}));
    EXPECT_EQ(KeptKinds(o, EExportForm::Mime), KeptKinds(o, EExportForm::Binary));

    // Server side with all events: everything but the client's side.
    o.nSide = SAVE_SIDE_SERVER;
    o.nEvents = SAVE_EVENTS_ALL;
    for (std::uint32_t kind : {0x1u, 0x2u, 0x4u, 0x800u, 0x1000u, 0x4000u})
        EXPECT_TRUE(ExportSkipsKind(kind, o, EExportForm::Text)) << kind;
    EXPECT_EQ(KeptKinds(o, EExportForm::Text).size(), 19u);

    // A value outside the table passes every filter.
    o.nEvents = SAVE_EVENTS_DATA;
    EXPECT_FALSE(ExportSkipsKind(0, o, EExportForm::Binary));
    EXPECT_FALSE(ExportSkipsKind(0x3, o, EExportForm::Text));
}

TEST_F(ExportTest, TextLineColumnsAndWidths)
{
    SaveSpecialOptions o;
    const std::string strDate = FormatEventTime(900000000) + " ";
    ASSERT_EQ(strDate.size(), 20u);

    // Both host names shorter than 10: an 11-character host column.
    m_doc.m_strServerHost = "srv";
    m_doc.m_strClientHost = "cli";
    HistoryEvent* pMoved = AddData(EK_MOVED_TO_SERVER, std::string("GET\r\n", 5));
    {
        CTextLineWriter w(m_doc, o);
        std::string strLine;
        EXPECT_TRUE(w.AppendLine(strLine, *pMoved));
        EXPECT_EQ(strLine, ">> " + strDate + "Moved to:           " + "srv        " + "GET[13][10]\r\n");
    }

    // The host column follows the direction of the data: a piece received
    // from the client names the server, one received from the server the client.
    HistoryEvent* pFromServer = AddData(EK_RECEIVED_FROM_SERVER, "x");
    HistoryEvent* pFromClient = AddData(EK_RECEIVED_FROM_CLIENT, "y");
    {
        SaveSpecialOptions hostOnly;
        hostOnly.bDirection = hostOnly.bDate = hostOnly.bAction = FALSE;
        CTextLineWriter w(m_doc, hostOnly);
        std::string strLine;
        w.AppendLine(strLine, *pFromServer);
        w.AppendLine(strLine, *pFromClient);
        EXPECT_EQ(strLine, "cli        x\r\nsrv        y\r\n");
    }

    // A playback kind: direction "== ", an empty action of 20 blanks, no host.
    HistoryEvent* pPlay = AddData(EK_PLAYBACK_SENT_TO_CLIENT, "hi");
    {
        CTextLineWriter w(m_doc, o);
        std::string strLine;
        w.AppendLine(strLine, *pPlay);
        EXPECT_EQ(strLine, "== " + strDate + std::string(20, ' ') + std::string(11, ' ') + "hi\r\n");
    }

    // A long session host widens the column; a longer datagram host is cut.
    m_doc.m_strClientHost = "client.example.org";  // 18
    HistoryEvent* pDgram = AddData(EK_DGRAM_RECEIVED, "d");
    pDgram->m_strHost = "a-very-long-datagram-peer.example.org:53";
    HistoryEvent* pBind = AddText(EK_DGRAM_BIND, "bound");
    {
        CTextLineWriter w(m_doc, o);
        EXPECT_EQ(w.GetHostWidth(), 18u);
        std::string strLine;
        w.AppendLine(strLine, *pDgram);
        EXPECT_EQ(strLine, "\\/ " + strDate + "Received from:      " + "a-very-long-datagr " + "d\r\n");
        strLine.clear();
        w.AppendLine(strLine, *pBind);
        EXPECT_EQ(strLine, "== " + strDate + "Bind dgram socket   " + std::string(19, ' ') + "bound\r\n");
    }

    // Connect from the client reads "Connect to:" here; text wins over bytes;
    // no columns leaves just the text; an event with neither gives an empty line.
    HistoryEvent* pConnect = AddText(EK_CONNECT_CLIENT, "Accepted");
    HistoryEvent* pBoth = AddData(EK_SENT_TO_CLIENT, "bytes");
    pBoth->m_strText = "text";
    HistoryEvent* pEmpty = AddData(EK_MESSAGE, "");
    {
        SaveSpecialOptions none;
        none.bDirection = none.bDate = none.bAction = none.bHost = FALSE;
        CTextLineWriter w(m_doc, none);
        std::string strLine;
        w.AppendLine(strLine, *pBoth);
        w.AppendLine(strLine, *pEmpty);
        EXPECT_EQ(strLine, "text\r\n\r\n");
        SaveSpecialOptions actionOnly = none;
        actionOnly.bAction = TRUE;
        CTextLineWriter wa(m_doc, actionOnly);
        strLine.clear();
        wa.AppendLine(strLine, *pConnect);
        EXPECT_EQ(strLine, "Connect to:         Accepted\r\n");
    }
}

// The file is text: the line breaks the display translation puts into a long
// piece (maximum line length, kept breaks) end in CR LF like every line.
TEST_F(ExportTest, BreaksInsideTheTextColumnAreCrLf)
{
    SaveSpecialOptions none;
    none.bDirection = none.bDate = none.bAction = none.bHost = FALSE;
    HistoryEvent* pData = AddData(EK_MOVED_TO_SERVER, "abcdef");
    HistoryEvent* pLine = AddData(EK_MOVED_TO_CLIENT, std::string("ok\r\n", 4));
    HistoryEvent* pText = AddText(EK_MESSAGE, "two\nlines");
    struct Restore {
        ~Restore()
        {
            g_nMaxLineLength = 0;
            g_bKeepBreaks = 0;
        }
    } restore;
    g_nMaxLineLength = 4;
    CTextLineWriter w(m_doc, none);
    std::string strLine;
    w.AppendLine(strLine, *pData);
    EXPECT_EQ(strLine, "abcd\r\nef\r\n");
    g_nMaxLineLength = 0;
    g_bKeepBreaks = 1;
    strLine.clear();
    w.AppendLine(strLine, *pLine);
    w.AppendLine(strLine, *pText);
    EXPECT_EQ(strLine, "ok[13][10]\r\n\r\ntwo\r\nlines\r\n");
}

TEST_F(ExportTest, TextFormWritesFilteredLinesInHistoryOrder)
{
    m_doc.m_strServerHost = "server";
    m_doc.m_strClientHost = "client";
    AddText(EK_CONNECT_CLIENT, "Accepted connection");
    AddData(EK_MOVED_TO_SERVER, "HELO a\n");
    AddData(EK_MOVED_TO_CLIENT, "250 ok\n");
    AddData(EK_EDITED_TO_SERVER, "QUIT\n");
    AddData(EK_DGRAM_RECEIVED, "dg");
    AddText(EK_DGRAM_UNBIND, "unbound");
    AddData(EK_PLAYBACK_SENT_TO_SERVER, "pb");

    SaveSpecialOptions o = Options("out.txt");
    o.nSide = SAVE_SIDE_CLIENT;
    o.nEvents = SAVE_EVENTS_DATA;
    o.bDirection = o.bDate = o.bAction = o.bHost = FALSE;
    ASSERT_TRUE(RunSaveSpecial(m_doc, o));
    EXPECT_EQ(Slurp(o.strPath), "HELO a[10]\r\ndg\r\npb\r\n");
    ASSERT_EQ(m_frontEnd.m_progress.size(), 1u);
    EXPECT_EQ(m_frontEnd.m_progress[0].strText, "Please wait while saving text");
    EXPECT_EQ(m_frontEnd.m_progress[0].nHigh, 7);
    EXPECT_TRUE(m_frontEnd.m_messages.empty());

    // An existing file is replaced, and the .TXT spelling is the text form too.
    o.strPath = PathOf("OUT.TXT");
    {
        std::ofstream(o.strPath) << "old content that is longer than the export";
    }
    o.nSide = SAVE_SIDE_BOTH;
    o.nEvents = SAVE_EVENTS_ALL;
    ASSERT_TRUE(RunSaveSpecial(m_doc, o));
    EXPECT_EQ(SplitLines(Slurp(o.strPath)),
              (std::vector<std::string>{"Accepted connection", "HELO a[10]", "250 ok[10]", "QUIT[10]", "dg", "unbound",
                                        "pb"}));
}

TEST_F(ExportTest, SelectionWalksTheSelectedRowsOnly)
{
    HistoryEvent* pA = AddData(EK_MOVED_TO_SERVER, "a");
    AddData(EK_MOVED_TO_SERVER, "b");
    HistoryEvent* pC = AddData(EK_MOVED_TO_SERVER, "c");
    SaveSpecialOptions o = Options("sel.txt");
    o.nSelection = SAVE_SEL_SELECTED;
    o.bDirection = o.bDate = o.bAction = o.bHost = FALSE;

    // No row selected: an empty file.
    ASSERT_TRUE(RunSaveSpecial(m_doc, o));
    EXPECT_TRUE(fs::exists(o.strPath));
    EXPECT_EQ(Slurp(o.strPath), "");

    m_frontEnd.SetSelection({pA, pC});
    ASSERT_TRUE(RunSaveSpecial(m_doc, o));
    EXPECT_EQ(Slurp(o.strPath), "a\r\nc\r\n");

    // Binary form over the same selection.
    o.strPath = PathOf("sel.bin");
    ASSERT_TRUE(RunSaveSpecial(m_doc, o));
    EXPECT_EQ(Slurp(o.strPath), "ac");
}

TEST_F(ExportTest, ProgressMovesEveryFiftyAndCancelKeepsWrittenLines)
{
    for (int i = 0; i < 120; ++i)
        AddData(EK_MOVED_TO_SERVER, "e" + std::to_string(i));
    SaveSpecialOptions o = Options("p.txt");
    o.bDirection = o.bDate = o.bAction = o.bHost = FALSE;
    ASSERT_TRUE(RunSaveSpecial(m_doc, o));
    ASSERT_EQ(m_frontEnd.m_progress.size(), 1u);
    EXPECT_EQ(m_frontEnd.m_progress[0].positions, (std::vector<std::int64_t>{50, 100}));
    EXPECT_EQ(SplitLines(Slurp(o.strPath)).size(), 120u);

    // Cancel after the 10th line: the ten lines stay and the file is complete.
    m_frontEnd.m_nCancelProgressAtCheck = 10;
    ASSERT_TRUE(RunSaveSpecial(m_doc, o));
    const auto lines = SplitLines(Slurp(o.strPath));
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_EQ(lines.back(), "e9");
    EXPECT_TRUE(m_frontEnd.m_progress.back().bCancelled);

    // Binary form: the bytes written before Cancel stay.
    o.strPath = PathOf("p.bin");
    m_frontEnd.m_nCancelProgressAtCheck = 3;
    ASSERT_TRUE(RunSaveSpecial(m_doc, o));
    EXPECT_EQ(Slurp(o.strPath), "e0e1e2");
    EXPECT_EQ(m_frontEnd.m_progress.back().strText, "Please wait while saving binary");
}

// A few pieces of megabytes each: the window is served after such a piece,
// not only after every 16th event, so that Cancel works on a short history of
// long downloads too.
TEST_F(ExportTest, LargePiecesLetThePleaseWaitWindowRespond)
{
    for (int i = 0; i < 3; ++i)
        AddData(EK_MOVED_TO_CLIENT, std::string(1100000, static_cast<char>('a' + i)));
    for (const char* pszName : {"large.bin", "large.txt"}) {
        m_frontEnd.m_nPumps = 0;
        SaveSpecialOptions o = Options(pszName);
        ASSERT_TRUE(RunSaveSpecial(m_doc, o));
        EXPECT_GE(m_frontEnd.m_nPumps, 1) << pszName;
    }
    // Small pieces are still served in batches of 16.
    for (int i = 0; i < 10; ++i)
        AddData(EK_MOVED_TO_CLIENT, "x");
    m_frontEnd.m_nPumps = 0;
    SaveSpecialOptions o = Options("small.bin");
    o.nEvents = SAVE_EVENTS_DATA;
    o.nSelection = SAVE_SEL_SELECTED;
    m_frontEnd.SetSelection({m_doc.m_history.GetAt(3), m_doc.m_history.GetAt(4)});
    ASSERT_TRUE(RunSaveSpecial(m_doc, o));
    EXPECT_EQ(Slurp(o.strPath), "xx");
    EXPECT_EQ(m_frontEnd.m_nPumps, 0);
}

TEST_F(ExportTest, BinaryContentOfDataAndStatusEvents)
{
    AddData(EK_MOVED_TO_SERVER, "abc");
    AddText(EK_CONNECT_SERVER, "Connected to: srv port: 25.");
    AddData(EK_MOVED_TO_CLIENT, std::string("d\0ef", 4));

    // Data only: exactly the 3 + 4 bytes.
    SaveSpecialOptions o = Options("d.bin");
    o.nEvents = SAVE_EVENTS_DATA;
    ASSERT_TRUE(RunSaveSpecial(m_doc, o));
    EXPECT_EQ(Slurp(o.strPath), std::string("abcd\0ef", 7));

    // All events: the status event stands on a line of its own.
    o.nEvents = SAVE_EVENTS_ALL;
    o.strPath = PathOf("a.BIN");
    ASSERT_TRUE(RunSaveSpecial(m_doc, o));
    EXPECT_EQ(Slurp(o.strPath), std::string("abcConnected to: srv port: 25.\nd\0ef", 35));
}

TEST_F(ExportTest, DatagramKindsDifferBetweenBinaryAndTextForms)
{
    AddText(EK_DGRAM_BIND, "Datagram socket binded in local port: 9000. ");
    AddData(EK_DGRAM_RECEIVED, "ping");
    AddData(EK_DGRAM_MOVED, "ping");
    AddData(EK_DGRAM_SENT, "pong");
    AddText(EK_DGRAM_UNBIND, "Datagram socket unbinded from local port: 9000. ");
    AddData(EK_MESSAGE, "");  // neither bytes nor text

    SaveSpecialOptions o = Options("dg.bin");
    o.nEvents = SAVE_EVENTS_DATA;
    o.bDirection = o.bDate = o.bAction = o.bHost = FALSE;
    ASSERT_TRUE(RunSaveSpecial(m_doc, o));
    EXPECT_EQ(Slurp(o.strPath),
              "Datagram socket binded in local port: 9000. \nDatagram socket unbinded from local port: 9000. \n");

    o.strPath = PathOf("dg.txt");
    ASSERT_TRUE(RunSaveSpecial(m_doc, o));
    EXPECT_EQ(Slurp(o.strPath), "ping\r\nping\r\npong\r\n");

    // All events: an event with neither bytes nor text is a lone line feed.
    o.nEvents = SAVE_EVENTS_ALL;
    o.strPath = PathOf("all.bin");
    ASSERT_TRUE(RunSaveSpecial(m_doc, o));
    const std::string strAll = Slurp(o.strPath);
    ASSERT_GE(strAll.size(), 1u);
    EXPECT_EQ(strAll.back(), '\n');
    EXPECT_NE(strAll.find("pingpingpong"), std::string::npos);
}

TEST_F(ExportTest, ALengthWithoutABlockIsWrittenAsText)
{
    HistoryEvent* p = AddText(EK_MOVED_TO_SERVER, "broken");
    p->m_nLength = 12;  // no block behind it
    SaveSpecialOptions o = Options("broken.bin");
    ASSERT_TRUE(RunSaveSpecial(m_doc, o));
    EXPECT_EQ(Slurp(o.strPath), "broken\n");
    p->m_nLength = 0;
}

TEST_F(ExportTest, OpenAndWriteFailuresAreReported)
{
    AddData(EK_MOVED_TO_SERVER, "abc");
    for (const char* pszName : {"missing/x.txt", "missing/x.bin"}) {
        m_frontEnd.m_messages.clear();
        SaveSpecialOptions o = Options(pszName);
        EXPECT_FALSE(RunSaveSpecial(m_doc, o));
        ASSERT_EQ(m_frontEnd.m_messages.size(), 1u);
        EXPECT_EQ(m_frontEnd.m_messages[0], "Unable to open file: " + o.strPath + " ; No such file or directory.");
        EXPECT_TRUE(m_frontEnd.m_progress.empty());
    }

    // A full device: the export is not reported as done.
    if (fs::exists("/dev/full")) {
        m_frontEnd.m_messages.clear();
        SaveSpecialOptions o;
        o.strPath = "/dev/full";
        EXPECT_FALSE(SaveSpecialBinary(m_doc, o));
        ASSERT_EQ(m_frontEnd.m_messages.size(), 1u);
        EXPECT_EQ(m_frontEnd.m_messages[0], "Unable to open file: /dev/full ; No space left on device.");
        m_frontEnd.m_messages.clear();
        EXPECT_FALSE(SaveSpecialText(m_doc, o));
        EXPECT_EQ(m_frontEnd.m_messages.size(), 1u);
    }
}

// A named pipe as the target: the command of the window refuses one that no
// reader has open instead of hanging the window, while a direct export (the
// command line) waits for its reader and writes the report into the pipe.
TEST_F(ExportTest, NamedPipeWithoutReaderIsRefusedByTheCommand)
{
    AddData(EK_MOVED_TO_SERVER, "abc");
    CCommandTable table;
    RegisterExportCommands(table, m_doc);
    for (const char* pszName : {"pipe.txt", "pipe.bin"}) {
        const std::string strPipe = PathOf(pszName);
        ASSERT_EQ(::mkfifo(strPipe.c_str(), 0600), 0);
        // Should the command wait after all, a reader comes after a while so
        // that the test fails instead of hanging.
        testutil::CPipeRescue rescue(strPipe);
        m_frontEnd.m_messages.clear();
        m_frontEnd.m_onDoModal = [&](UINT, void* pData) {
            static_cast<SaveSpecialOptions*>(pData)->strPath = strPipe;
            return IDOK;
        };
        EXPECT_TRUE(table.Run(ID_FILE_SAVE_SPECIAL));
        rescue.Returned();
        ASSERT_EQ(m_frontEnd.m_messages.size(), 1u) << pszName;
        EXPECT_EQ(m_frontEnd.m_messages[0], "Unable to open file: " + strPipe + " ; No such device or address.");
        EXPECT_FALSE(m_doc.IsWalking());

        // The direct export waits for the reader.
        testutil::CPipeReader reader(strPipe);
        SaveSpecialOptions o = Options(pszName);
        o.bDate = FALSE;
        EXPECT_TRUE(RunSaveSpecial(m_doc, o)) << pszName;
        const std::string& strRead = reader.Text();
        EXPECT_EQ(strRead, ExportFormOfPath(strPipe) == EExportForm::Text ? ">> Moved to:                      abc\r\n"
                                                                          : "abc")
            << pszName;
    }
}

// The reader of a named pipe goes away half way through an export from the
// window's command: the write fails and is reported, and the program, which
// may hold an unsaved session, is not killed by SIGPIPE.
TEST_F(ExportTest, PipeReaderGoneIsReportedByTheCommand)
{
    for (int i = 0; i < 8; ++i)
        AddData(EK_MOVED_TO_SERVER, std::string(1 << 20, 'x'));
    CCommandTable table;
    RegisterExportCommands(table, m_doc);
    const std::string strPipe = PathOf("gone.bin");
    ASSERT_EQ(::mkfifo(strPipe.c_str(), 0600), 0);
    // Opened before the export, so that the command finds its reader.
    const int fdRead = ::open(strPipe.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fdRead, 0);
    ::fcntl(fdRead, F_SETFL, 0);
    void (*pfnPrevious)(int) = ::signal(SIGPIPE, SIG_DFL);
    // The reader takes a little of the export and goes away. Until the
    // writer has opened the pipe a read finds its end; it tries again, a
    // bounded number of times.
    std::thread reader([fdRead] {
        char buf[4096];
        for (int nTries = 0; nTries < 20000; ++nTries) {
            const ssize_t n = ::read(fdRead, buf, sizeof buf);
            if (n != 0)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ::close(fdRead);
    });
    m_frontEnd.m_onDoModal = [&](UINT, void* pData) {
        static_cast<SaveSpecialOptions*>(pData)->strPath = strPipe;
        return IDOK;
    };
    EXPECT_TRUE(table.Run(ID_FILE_SAVE_SPECIAL));
    reader.join();
    ASSERT_EQ(m_frontEnd.m_messages.size(), 1u);
    EXPECT_EQ(m_frontEnd.m_messages[0], "Unable to open file: " + strPipe + " ; Broken pipe.");
    // The signal's disposition is what it was before the command.
    EXPECT_EQ(::signal(SIGPIPE, pfnPrevious), SIG_DFL);
}

TEST_F(ExportTest, MimeFormNeedsANewDirectory)
{
    AddData(EK_MOVED_TO_SERVER, "Subject: x\r\n\r\nbody\r\n");
    const std::string strExisting = PathOf("exists");
    ASSERT_EQ(::mkdir(strExisting.c_str(), 0755), 0);
    SaveSpecialOptions o = Options("exists");
    EXPECT_FALSE(RunSaveSpecial(m_doc, o));
    ASSERT_EQ(m_frontEnd.m_messages.size(), 1u);
    EXPECT_EQ(m_frontEnd.m_messages[0], "Unable to create the directory: " + strExisting + ".");
    EXPECT_TRUE(fs::is_empty(strExisting));
    EXPECT_TRUE(m_frontEnd.m_progress.empty());

    // A missing parent fails the same way.
    m_frontEnd.m_messages.clear();
    o = Options("no/such/dir");
    EXPECT_FALSE(RunSaveSpecial(m_doc, o));
    EXPECT_EQ(m_frontEnd.m_messages.size(), 1u);
}

TEST_F(ExportTest, MimeFormStoresACapturedMailExchange)
{
    // The client's side of an SMTP exchange; DATA carries a two-part message.
    m_doc.m_strServerHost = "mail";
    AddText(EK_CONNECT_CLIENT, "Accepted connection from: 127.0.0.1 port: 4000.");
    AddData(EK_MOVED_TO_CLIENT, "220 mail ESMTP\r\n");
    AddData(EK_MOVED_TO_SERVER, "MIME-Version: 1.0\r\n");
    AddData(EK_MOVED_TO_CLIENT, "250 ok\r\n");
    AddData(EK_MOVED_TO_SERVER, "Subject: test\r\n");
    AddData(EK_MOVED_TO_SERVER, "Content-Type: multipart/mixed; boundary=xx\r\n\r\n");
    AddData(EK_MOVED_TO_SERVER, "--xx\r\nContent-Type: text/plain\r\n\r\nhello\r\n");
    AddData(EK_MOVED_TO_SERVER, "--xx\r\nContent-Type: application/octet-stream\r\n"
                                "Content-Transfer-Encoding: base64\r\n\r\nAAECAw==\r\n--xx--\r\n");
    const std::string strMessage =
        "MIME-Version: 1.0\r\nSubject: test\r\nContent-Type: multipart/mixed; boundary=xx\r\n\r\n"
        "--xx\r\nContent-Type: text/plain\r\n\r\nhello\r\n"
        "--xx\r\nContent-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n\r\nAAECAw==\r\n"
        "--xx--\r\n";

    SaveSpecialOptions o = Options("mail.Txt");
    o.nSide = SAVE_SIDE_CLIENT;  // what the client sent, without the server's replies
    o.nEvents = SAVE_EVENTS_DATA;
    ASSERT_TRUE(RunSaveSpecial(m_doc, o));
    ASSERT_TRUE(fs::is_directory(o.strPath));
    EXPECT_EQ(Slurp(o.strPath + "/mail.Txt"), strMessage);
    ASSERT_EQ(m_frontEnd.m_progress.size(), 1u);
    EXPECT_EQ(m_frontEnd.m_progress[0].strText, "Please wait whail saving mime");

    // The report and the decoded parts come from the MIME decoder.
    const std::string strReport = Slurp(o.strPath + "/mail.Txt.MIME");
    EXPECT_NE(strReport.find("Subject = test"), std::string::npos);
    EXPECT_EQ(Slurp(o.strPath + "/part1.2"), std::string("\0\1\2\3", 4));
}

TEST_F(ExportTest, MimeCancelStillStoresThePartialMessage)
{
    for (int i = 0; i < 20; ++i)
        AddData(EK_MOVED_TO_SERVER, "line" + std::to_string(i) + "\n");
    m_frontEnd.m_nCancelProgressAtCheck = 5;
    SaveSpecialOptions o = Options("partial");
    ASSERT_TRUE(RunSaveSpecial(m_doc, o));
    EXPECT_TRUE(m_frontEnd.m_progress.back().bCancelled);
    EXPECT_EQ(Slurp(o.strPath + "/partial"), "line0\nline1\nline2\nline3\nline4\n");

    // A trailing separator names the same directory and file.
    m_frontEnd.m_nCancelProgressAtCheck = 0;
    o = Options("trailing/");
    ASSERT_TRUE(RunSaveSpecial(m_doc, o));
    EXPECT_EQ(Slurp(PathOf("trailing/trailing")).size(), 20u * 6u + 10u);
}

TEST_F(ExportTest, CommandAsksForOptionsAndFollowsItsEnableRule)
{
    CCommandTable table;
    RegisterExportCommands(table, m_doc);
    EXPECT_FALSE(table.IsEnabled(ID_FILE_SAVE_SPECIAL));  // empty history
    AddData(EK_MOVED_TO_SERVER, "abc");
    EXPECT_TRUE(table.IsEnabled(ID_FILE_SAVE_SPECIAL));
    m_doc.m_bConnected = TRUE;
    EXPECT_FALSE(table.IsEnabled(ID_FILE_SAVE_SPECIAL));
    m_doc.m_bConnected = FALSE;
    m_doc.m_bDatagramActive = TRUE;
    EXPECT_FALSE(table.IsEnabled(ID_FILE_SAVE_SPECIAL));
    m_doc.m_bDatagramActive = FALSE;

    // Cancel in the dialog: nothing happens.
    int nAsked = 0;
    m_frontEnd.m_onDoModal = [&](UINT nIDD, void* pData) {
        ++nAsked;
        EXPECT_EQ(nIDD, IDD_SAVE_SPECIAL);
        auto* pOptions = static_cast<SaveSpecialOptions*>(pData);
        // Every use starts from the defaults.
        EXPECT_EQ(pOptions->nSelection, SAVE_SEL_ALL);
        EXPECT_EQ(pOptions->nEvents, SAVE_EVENTS_ALL);
        EXPECT_EQ(pOptions->nSide, SAVE_SIDE_BOTH);
        EXPECT_TRUE(pOptions->bDirection && pOptions->bDate && pOptions->bHost && pOptions->bAction);
        return IDCANCEL;
    };
    EXPECT_TRUE(table.Run(ID_FILE_SAVE_SPECIAL));
    EXPECT_EQ(nAsked, 1);
    EXPECT_TRUE(m_frontEnd.m_progress.empty());

    m_frontEnd.m_onDoModal = [&](UINT, void* pData) {
        auto* pOptions = static_cast<SaveSpecialOptions*>(pData);
        EXPECT_EQ(pOptions->nSide, SAVE_SIDE_BOTH);
        pOptions->strPath = PathOf("cmd.bin");
        pOptions->nSide = SAVE_SIDE_CLIENT;
        return IDOK;
    };
    EXPECT_TRUE(table.Run(ID_FILE_SAVE_SPECIAL));
    EXPECT_EQ(Slurp(PathOf("cmd.bin")), "abc");
    EXPECT_TRUE(table.Run(ID_FILE_SAVE_SPECIAL));
    EXPECT_FALSE(m_doc.IsWalking());
}

TEST_F(ExportTest, LargeOutputKeepsTheOrderOfEveryByte)
{
    // Pieces around and above the output buffer's size, so that buffers are
    // handed to the writer and large blocks bypass the buffer.
    std::string strExpected;
    int nSeed = 0;
    for (std::size_t nSize : {700000u, 2500000u, 3u, 700000u, 1048576u, 1u, 1048575u}) {
        std::string strPiece(nSize, '\0');
        for (char& c : strPiece)
            c = static_cast<char>(nSeed++ * 131 % 251);
        AddData(EK_MOVED_TO_SERVER, strPiece);
        strExpected += strPiece;
    }
    SaveSpecialOptions o = Options("large.bin");
    ASSERT_TRUE(RunSaveSpecial(m_doc, o));
    const std::string strWritten = Slurp(o.strPath);
    ASSERT_EQ(strWritten.size(), strExpected.size());
    EXPECT_TRUE(strWritten == strExpected);
}

TEST_F(ExportTest, ReportIntoANonBlockingPipeWaitsForItsReader)
{
    // A report of a few megabytes through a pipe whose writing end another
    // process may have made non-blocking: a full pipe is waited on, not taken
    // for a failed write.
    for (int i = 0; i < 30000; ++i)
        AddData(i % 2 ? EK_MOVED_TO_CLIENT : EK_MOVED_TO_SERVER, "piece " + std::to_string(i) + " of the exchange\n");
    SaveSpecialOptions o = Options("expected.txt");
    ASSERT_TRUE(SaveSpecialText(m_doc, o));
    const std::string strExpected = Slurp(o.strPath);

    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_EQ(::fcntl(fds[1], F_SETFL, ::fcntl(fds[1], F_GETFL) | O_NONBLOCK), 0);
    // The pipe starts full, so the report's first write finds no room.
    std::size_t nPrefilled = 0;
    const std::string strFill(4096, 'p');
    for (int i = 0; i < 1024; ++i) {
        const ssize_t n = ::write(fds[1], strFill.data(), strFill.size());
        if (n <= 0)
            break;
        nPrefilled += static_cast<std::size_t>(n);
    }
    std::string strReceived;
    std::thread reader([&] {
        char buf[4096];
        for (;;) {
            const ssize_t n = ::read(fds[0], buf, sizeof buf);
            if (n > 0)
                strReceived.append(buf, static_cast<std::size_t>(n));
            else if (n == 0 || errno != EINTR)
                break;
        }
    });
    FILE* pStream = ::fdopen(fds[1], "w");
    ASSERT_NE(pStream, nullptr);
    std::string strError;
    const BOOL bWritten = WriteSpecialText(m_doc, Options("unused.txt"), pStream, strError);
    std::fclose(pStream);
    reader.join();
    ::close(fds[0]);
    EXPECT_TRUE(bWritten) << strError;
    ASSERT_EQ(strReceived.size(), nPrefilled + strExpected.size());
    EXPECT_TRUE(strReceived.compare(nPrefilled, std::string::npos, strExpected) == 0);
}
