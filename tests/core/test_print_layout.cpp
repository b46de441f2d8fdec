// Page layout of the history and editor printouts, against a device that
// records what would be drawn.

#include <gtest/gtest.h>

#include <cstring>

#include "TestUtil.h"
#include "app/HeadlessFrontEnd.h"
#include "session/MidwireDoc.h"
#include "views/Print.h"

namespace {

struct Drawn {
    int x, y;
    std::string text;
};

class CRecordingDevice : public CPrintDevice {
public:
    explicit CRecordingDevice(PrintMetrics m) : m_metrics(m) {}
    bool StartDoc(const std::string& strDocName) override
    {
        m_strDocName = strDocName;
        m_bStarted = m_bCanStart;
        return m_bCanStart;
    }
    PrintMetrics GetMetrics() override { return m_metrics; }
    void StartPage() override { ++m_nStartPages; }
    void EndPage() override
    {
        ++m_nEndPages;
        m_pages.push_back(m_current);
        m_current.clear();
    }
    bool EndDoc() override
    {
        m_bEnded = true;
        return true;
    }
    void AbortDoc() override { m_bAborted = true; }
    void TextOut(int x, int y, const std::string& s) override { m_current.push_back({x, y, s}); }

    // Text lines of the body (left margin) of every page, in order.
    std::vector<std::string> BodyLines() const
    {
        std::vector<std::string> lines;
        for (const auto& page : m_pages)
            for (const Drawn& d : page)
                if (d.x == m_metrics.nLogPixelsX && d.y >= m_metrics.nLogPixelsY)
                    lines.push_back(d.text);
        for (const Drawn& d : m_current)
            lines.push_back(d.text);
        return lines;
    }

    PrintMetrics m_metrics;
    std::string m_strDocName;
    bool m_bStarted = false, m_bEnded = false, m_bAborted = false;
    bool m_bCanStart = true;  // false: the printer cannot be opened
    int m_nStartPages = 0, m_nEndPages = 0;
    std::vector<std::vector<Drawn>> m_pages;
    std::vector<Drawn> m_current;  // drawn since the last EndPage
};

// One inch = 100 units; 65 characters of 10 units a line; lines of 20 units;
// the body runs from y = 100 to the bottom limit 1000.
PrintMetrics TestMetrics()
{
    PrintMetrics m;
    m.nLogPixelsX = 100;
    m.nLogPixelsY = 100;
    m.nHorzRes = 850;
    m.nVertRes = 1100;
    m.nLineHeight = 20;
    m.nAveCharWidth = 10;
    return m;
}

using testutil::MakeEvent;

struct PrintFixture : ::testing::Test {
    PrintFixture()
    {
        frontEnd.SetEcho(false);
        doc.OnNewDocument();
        doc.m_strServerHost = "server.example";
        doc.m_strClientHost = "client.example";
    }
    CHeadlessFrontEnd frontEnd;
    CMidwireDoc doc;
};

}  // namespace

TEST(PrintGeometry, MarginsTitleAndCharactersPerLine)
{
    const PageGeometry g = ComputePageGeometry(TestMetrics(), "Midwire - Untitled");
    EXPECT_EQ(g.x0, 100);
    EXPECT_EQ(g.y0, 100);
    EXPECT_EQ(g.nBottom, 1000);
    EXPECT_EQ(g.nCharsPerLine, 65);
    EXPECT_EQ(g.nTitleY, 50);
    EXPECT_EQ(g.nTitleX, 425 - 18 * 10 / 2);
    EXPECT_EQ(g.nPageNoX, 425);
    EXPECT_EQ(g.nPageNoY, 1050);

    // The title is centred by the characters it is drawn with: a session
    // name in UTF-8 counts a character per sequence, not per byte; a byte
    // that is not part of one counts on its own.
    EXPECT_EQ(ComputePageGeometry(TestMetrics(), "Midwire - r\xC3\xA9sum\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80").nTitleX,
              425 - 18 * 10 / 2);
    EXPECT_EQ(ComputePageGeometry(TestMetrics(), "Midwire - caf\xE9\xC3(\xE2\x82").nTitleX, 425 - 18 * 10 / 2);

    // A title wider than the page starts at the left margin, not left of it.
    EXPECT_EQ(ComputePageGeometry(TestMetrics(), std::string(200, 'x')).nTitleX, 100);

    // A page narrower than one character prints one character a line, and a
    // font without width cannot divide by zero.
    PrintMetrics narrow = TestMetrics();
    narrow.nHorzRes = 205;
    EXPECT_EQ(ComputePageGeometry(narrow, "t").nCharsPerLine, 1);
    narrow.nAveCharWidth = 0;
    EXPECT_EQ(ComputePageGeometry(narrow, "t").nCharsPerLine, 1);
}

TEST(PrintGeometry, NarrowPageCutsBlocksIntoSingleCharacters)
{
    PrintMetrics narrow = TestMetrics();
    narrow.nHorzRes = 250;  // |250 - 200| / 100 = 0 characters
    narrow.nAveCharWidth = 100;
    CRecordingDevice device(narrow);
    CPageWriter writer(device, ComputePageGeometry(narrow, "t"), "t");
    writer.PrintBlock("abc");
    writer.Finish();
    EXPECT_EQ(device.BodyLines(), (std::vector<std::string>{"a", "b", "c"}));
}

TEST_F(PrintFixture, HistoryOf120EventsPrints240BlocksWithProgress)
{
    for (int i = 0; i < 120; ++i)
        doc.RecordEvent(MakeEvent(EK_RECEIVED_FROM_CLIENT, "event " + std::to_string(i)), FALSE);
    CRecordingDevice device(TestMetrics());
    ASSERT_TRUE(PrintHistoryList(device, doc, false, {}));
    EXPECT_EQ(device.m_strDocName, "Midwire - Untitled");
    const std::vector<std::string> lines = device.BodyLines();
    ASSERT_EQ(lines.size(), 240u);
    EXPECT_EQ(lines[0], FormatEventTime(1700000000) + " Received from: server.example");
    EXPECT_EQ(lines[1], "event 0");
    EXPECT_EQ(lines[239], "event 119");

    ASSERT_EQ(frontEnd.m_progress.size(), 1u);
    const auto& progress = frontEnd.m_progress[0];
    EXPECT_EQ(progress.strText, "Printing... Midwire - Untitled");
    EXPECT_EQ(progress.nLow, 1);
    EXPECT_EQ(progress.nHigh, 120);
    EXPECT_EQ(progress.positions, (std::vector<std::int64_t>{50, 100}));

    // 360 lines (header, data, empty line) at 46 lines a page (y = 100 to
    // 1000 in steps of 20): 8 pages, each with the title and its number.
    ASSERT_EQ(device.m_pages.size(), 8u);
    for (std::size_t p = 0; p < device.m_pages.size(); ++p) {
        const auto& page = device.m_pages[p];
        ASSERT_GE(page.size(), 2u);
        EXPECT_EQ(page[page.size() - 2].text, "Midwire - Untitled");
        EXPECT_EQ(page[page.size() - 2].y, 50);
        EXPECT_EQ(page.back().text, std::to_string(p + 1));
        EXPECT_EQ(page.back().y, 1050);
    }
    EXPECT_TRUE(device.m_current.empty());
    EXPECT_TRUE(device.m_bEnded);
}

TEST_F(PrintFixture, PageBreaksAndNoEmptyNumberedLastPage)
{
    // With the bottom limit at 999, the data block of the 15th event takes
    // y to 1000 and breaks the page: 15 events fill one page exactly.
    PrintMetrics m = TestMetrics();
    m.nVertRes = 1099;
    for (int i = 0; i < 15; ++i)
        doc.RecordEvent(MakeEvent(EK_MESSAGE, std::string(), "m" + std::to_string(i)), FALSE);
    {
        CRecordingDevice device(m);
        ASSERT_TRUE(PrintHistoryList(device, doc, false, {}));
        EXPECT_EQ(device.m_nEndPages, 1);
        EXPECT_TRUE(device.m_current.empty());
    }
    doc.RecordEvent(MakeEvent(EK_MESSAGE, std::string(), "last"), FALSE);
    CRecordingDevice device(m);
    ASSERT_TRUE(PrintHistoryList(device, doc, false, {}));
    ASSERT_EQ(device.m_nEndPages, 2);
    EXPECT_EQ(device.m_pages[1].back().text, "2");
    EXPECT_EQ(device.m_pages[1][0].text, FormatEventTime(1700000000) + " Message ");
    EXPECT_EQ(device.m_pages[1][0].y, 100);
}

TEST_F(PrintFixture, LongBlocksAreCutEveryWCharacters)
{
    // A header of W + 1 = 66 characters takes two lines, the second holding one.
    const std::string prefix = FormatEventTime(1700000000) + " Sent to: ";
    doc.m_strServerHost = std::string(66 - prefix.size() - 1, 'h') + "Z";
    doc.RecordEvent(MakeEvent(EK_SENT_TO_SERVER, std::string(130, 'd')), FALSE);
    CRecordingDevice device(TestMetrics());
    ASSERT_TRUE(PrintHistoryList(device, doc, false, {}));
    const std::vector<std::string> lines = device.BodyLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].size(), 65u);
    EXPECT_EQ(lines[1], "Z");
    EXPECT_EQ(lines[2], std::string(65, 'd'));
    EXPECT_EQ(lines[3], std::string(65, 'd'));
    ASSERT_EQ(device.m_pages.size(), 1u);
    const auto& page = device.m_pages[0];
    ASSERT_EQ(page.size(), 6u);  // 4 lines, title and page number
    EXPECT_EQ(page[1].y, 120);
    EXPECT_EQ(page[3].y, 160);

    // The message of a state change is local text: its W characters may be
    // more bytes, and a UTF-8 sequence is never split. Data sent from the
    // editor's text stays 8-bit, W bytes a line.
    doc.OnNewDocument();
    const std::string strText = std::string(64, 'm') + "\xC3\xBC" + "x";
    doc.RecordEvent(MakeEvent(EK_CONNECT_SERVER, "", strText), FALSE);
    doc.RecordEvent(MakeEvent(EK_EDITED_TO_SERVER, "", strText), FALSE);
    CRecordingDevice again(TestMetrics());
    ASSERT_TRUE(PrintHistoryList(again, doc, false, {}));
    const std::vector<std::string> cut = again.BodyLines();
    ASSERT_EQ(cut.size(), 6u);
    EXPECT_EQ(cut[1], std::string(64, 'm') + "\xC3\xBC");
    EXPECT_EQ(cut[2], "x");
    EXPECT_EQ(cut[4], std::string(64, 'm') + "\xC3");
    EXPECT_EQ(cut[5], "\xBC" "x");
}

TEST_F(PrintFixture, PrintedLabelsAndHostsFollowTheData)
{
    // Data from the client names the server, unlike the list row.
    doc.RecordEvent(MakeEvent(EK_RECEIVED_FROM_CLIENT, "x"), FALSE);
    doc.RecordEvent(MakeEvent(EK_RECEIVED_FROM_SERVER, "y"), FALSE);
    doc.RecordEvent(MakeEvent(EK_CONNECT_CLIENT, std::string(), "c"), FALSE);
    doc.RecordEvent(MakeEvent(EK_PLAYBACK_SENT_TO_SERVER, "p"), FALSE);
    HistoryEvent* pDgram = MakeEvent(EK_DGRAM_RECEIVED, "d");
    pDgram->m_strHost = "10.0.0.9";
    doc.RecordEvent(pDgram, FALSE);
    doc.RecordEvent(MakeEvent(0x3, "u"), FALSE);
    doc.RecordEvent(MakeEvent(EK_MESSAGE, std::string(), "tab\there"), FALSE);
    doc.RecordEvent(MakeEvent(EK_RECEIVED_FROM_CLIENT, "ab[c\t"), FALSE);
    CRecordingDevice device(TestMetrics());
    ASSERT_TRUE(PrintHistoryList(device, doc, false, {}));
    const std::string t = FormatEventTime(1700000000);
    const std::vector<std::string> lines = device.BodyLines();
    ASSERT_EQ(lines.size(), 16u);
    EXPECT_EQ(lines[0], t + " Received from: server.example");
    EXPECT_EQ(lines[2], t + " Received from: client.example");
    EXPECT_EQ(lines[4], t + " Connect to: client.example");
    EXPECT_EQ(lines[6], t + "  ");  // no label, no host: both blanks stay
    EXPECT_EQ(lines[8], t + " Received from: 10.0.0.9");
    EXPECT_EQ(lines[10], t + "  ");
    EXPECT_EQ(lines[13], "tab here");
    EXPECT_EQ(lines[15], "ab[[c[9]");
}

TEST_F(PrintFixture, SelectionPrintsTheGivenRowsOnly)
{
    std::vector<HistoryEvent*> events;
    for (int i = 0; i < 6; ++i) {
        events.push_back(MakeEvent(EK_MESSAGE, std::string(), "e" + std::to_string(i)));
        doc.RecordEvent(events.back(), FALSE);
    }
    CRecordingDevice device(TestMetrics());
    ASSERT_TRUE(PrintHistoryList(device, doc, true, {events[1], events[3], events[4]}));
    const std::vector<std::string> lines = device.BodyLines();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[1], "e1");
    EXPECT_EQ(lines[3], "e3");
    EXPECT_EQ(lines[5], "e4");

    // Selection chosen with no row selected prints nothing, not a blank
    // page, and says why.
    CRecordingDevice empty(TestMetrics());
    EXPECT_FALSE(PrintHistoryList(empty, doc, true, {}));
    EXPECT_FALSE(empty.m_bStarted);
    EXPECT_EQ(empty.m_nStartPages, 0);
    EXPECT_EQ(frontEnd.m_messages, std::vector<std::string>{"No row of the History List is selected."});
}

TEST_F(PrintFixture, EmptyHistoryAndEmptyEditorPrintNothing)
{
    CRecordingDevice device(TestMetrics());
    EXPECT_FALSE(PrintHistoryList(device, doc, false, {}));
    EXPECT_FALSE(device.m_bStarted);  // no job, so no print file is replaced
    EXPECT_TRUE(device.BodyLines().empty());
    ASSERT_EQ(frontEnd.m_messages.size(), 1u);
    EXPECT_EQ(frontEnd.m_messages[0], "History List is empty.");

    CRecordingDevice device2(TestMetrics());
    EXPECT_FALSE(PrintEditorText(device2, doc, std::string()));
    EXPECT_FALSE(device2.m_bStarted);
    ASSERT_EQ(frontEnd.m_messages.size(), 2u);
    EXPECT_EQ(frontEnd.m_messages[1], "Data Editor is empty.");
}

// A printer or print file that cannot be opened is said, not passed over as
// if the job had gone out.
TEST_F(PrintFixture, APrinterThatCannotStartIsSaid)
{
    doc.RecordEvent(MakeEvent(EK_MESSAGE, std::string(), "m"), FALSE);
    CRecordingDevice device(TestMetrics());
    device.m_bCanStart = false;
    EXPECT_FALSE(PrintHistoryList(device, doc, false, {}));
    EXPECT_FALSE(PrintEditorText(device, doc, "line\n"));
    EXPECT_EQ(frontEnd.m_messages,
              (std::vector<std::string>{"Could not start print job.", "Could not start print job."}));
}

TEST_F(PrintFixture, EditorLinesDropTheCarriageReturnOnly)
{
    CRecordingDevice device(TestMetrics());
    ASSERT_TRUE(PrintEditorText(device, doc, "ab\r\ncd"));
    EXPECT_EQ(device.BodyLines(), (std::vector<std::string>{"ab", "cd"}));

    // Lines ending in a bare line feed keep their last character; a leading
    // line feed is an empty line; tabs print as blanks; a final line feed
    // leaves no extra line.
    CRecordingDevice device2(TestMetrics());
    ASSERT_TRUE(PrintEditorText(device2, doc, "\nab\nc\td\n"));
    EXPECT_EQ(device2.BodyLines(), (std::vector<std::string>{"", "ab", "c d"}));

    ASSERT_GE(frontEnd.m_progress.size(), 2u);
    EXPECT_EQ(frontEnd.m_progress[0].nLow, 1);
    EXPECT_EQ(frontEnd.m_progress[0].nHigh, 100);
    EXPECT_EQ(frontEnd.m_progress[1].positions, (std::vector<std::int64_t>{1, 2, 3}));
}

TEST_F(PrintFixture, EditorProgressGoesRoundEveryHundredLines)
{
    std::string text;
    for (int i = 0; i < 250; ++i)
        text += "line " + std::to_string(i) + "\r\n";
    CRecordingDevice device(TestMetrics());
    ASSERT_TRUE(PrintEditorText(device, doc, text));
    EXPECT_EQ(device.BodyLines().size(), 250u);
    const auto& positions = frontEnd.m_progress.back().positions;
    ASSERT_EQ(positions.size(), 250u);
    EXPECT_EQ(positions[98], 99);
    EXPECT_EQ(positions[99], 0);
    EXPECT_EQ(positions[249], 50);
}

// Cancel in the progress window stops the job between printed lines, even
// inside one event whose data fills many pages, and abandons it.
TEST_F(PrintFixture, CancelStopsAndAbandonsTheJob)
{
    for (int i = 0; i < 1000; ++i)
        doc.RecordEvent(MakeEvent(EK_MESSAGE, "", "status"), FALSE);
    {
        CRecordingDevice device(TestMetrics());
        frontEnd.m_nCancelProgressAtCheck = 30;
        EXPECT_FALSE(PrintHistoryList(device, doc, false, {}));
        EXPECT_TRUE(device.m_bAborted);
        EXPECT_FALSE(device.m_bEnded);
        EXPECT_LE(device.BodyLines().size(), 31u);
        ASSERT_FALSE(frontEnd.m_progress.empty());
        EXPECT_TRUE(frontEnd.m_progress.back().bCancelled);
    }
    {
        // 200 000 bytes of data, about 3 000 lines: cancelled inside the block.
        doc.OnNewDocument();
        doc.RecordEvent(MakeEvent(EK_SENT_TO_SERVER, std::string(200000, 'x')), FALSE);
        CRecordingDevice device(TestMetrics());
        frontEnd.m_nCancelProgressAtCheck = 10;
        EXPECT_FALSE(PrintHistoryList(device, doc, false, {}));
        EXPECT_TRUE(device.m_bAborted);
        EXPECT_LE(device.BodyLines().size(), 11u);
    }
    {
        std::string strText;
        for (int i = 0; i < 500; ++i)
            strText += "line\r\n";
        CRecordingDevice device(TestMetrics());
        frontEnd.m_nCancelProgressAtCheck = 5;
        EXPECT_FALSE(PrintEditorText(device, doc, strText));
        EXPECT_TRUE(device.m_bAborted);
        EXPECT_FALSE(device.m_bEnded);
        EXPECT_LE(device.BodyLines().size(), 6u);
    }
    {
        // Without Cancel the job ends normally.
        frontEnd.m_nCancelProgressAtCheck = 0;
        CRecordingDevice device(TestMetrics());
        EXPECT_TRUE(PrintEditorText(device, doc, "ab\r\ncd"));
        EXPECT_TRUE(device.m_bEnded);
        EXPECT_FALSE(device.m_bAborted);
    }
}
