// The main window on the offscreen platform: menus and toolbar, the enable
// rules in each run state, the history list's rows, double click, reload
// with its progress and Cancel, the editor pane, closing and dropping files.

#include <gtest/gtest.h>

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSettings>
#include <QStatusBar>
#include <QToolButton>
#include <QTextBlock>
#include <QTextLayout>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QUrl>
#include <QWindow>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <set>
#include <thread>
#include <unistd.h>

#include "../core/TestUtil.h"
#include "GuiTestUtil.h"
#include "app/CliSupport.h"
#include "app/CommandTable.h"
#include "app/HeadlessFrontEnd.h"
#include "app/gui/MainFrame.h"
#include "datagram/gui/DatagramDialogs.h"
#include "export/gui/ExportDlg.h"
#include "playback/gui/PlayBackDlg.h"
#include "relay/gui/RelayGui.h"
#include "app/gui/ProgressDlg.h"
#include "editor/EditorAccess.h"
#include "editor/EditorCommands.h"
#include "editor/gui/MidwireEdit.h"
#include "session/MidwireDoc.h"
#include "views/DisplayTranslation.h"
#include "views/gui/Icons.h"
#include "views/gui/MidwireListView.h"

namespace {

// Whether two long texts are equal; where they first differ when not.
::testing::AssertionResult SameText(const std::string& strActual, const std::string& strExpected)
{
    if (strActual == strExpected)
        return ::testing::AssertionSuccess();
    std::size_t i = 0;
    while (i < strActual.size() && i < strExpected.size() && strActual[i] == strExpected[i])
        ++i;
    return ::testing::AssertionFailure() << "sizes " << strActual.size() << " and " << strExpected.size()
                                         << ", first difference at " << i << ": \"" << strActual.substr(i, 20)
                                         << "\" against \"" << strExpected.substr(i, 20) << "\"";
}

// Sends one key press and its release to the widget.
void PressKey(QWidget* pWidget, int nKey, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QKeyEvent press(QEvent::KeyPress, nKey, modifiers);
    QApplication::sendEvent(pWidget, &press);
    QKeyEvent release(QEvent::KeyRelease, nKey, modifiers);
    QApplication::sendEvent(pWidget, &release);
}

using testutil::MakeEvent;

void Settle()
{
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
}

// A line of the letters a to z over and over, at least nLength long: a
// long line whose every place is told apart from its neighbours.
std::string AlphabetLine(std::size_t nLength)
{
    std::string strLine;
    for (int i = 0; strLine.size() < nLength; ++i)
        strLine += static_cast<char>('a' + i % 26);
    return strLine;
}

// Writes a session file as the command line would: a document of its own
// with the editor text and, if given, one message event. The window's
// document is the current one again afterwards.
bool SaveHeadlessSession(const std::string& strPath, const std::string& strEditor, const char* pszMessage = nullptr)
{
    CMidwireDoc* pCurrent = g_pDoc;
    bool bSaved = false;
    {
        CHeadlessFrontEnd headless;
        headless.SetEcho(false);
        CMidwireDoc doc;
        doc.OnNewDocument();
        if (pszMessage)
            doc.RecordEvent(MakeEvent(EK_MESSAGE, "", pszMessage), FALSE);
        headless.SetEditorText(strEditor);
        bSaved = doc.OnSaveDocument(strPath);
    }
    g_pDoc = pCurrent;
    return bSaved;
}

class MainFrameTest : public ::testing::Test {
protected:
    MainFrameTest()
    {
        guitest::EnsureApplication();
        m_pDoc = std::make_unique<CMidwireDoc>();
        m_pFrame = std::make_unique<CMainFrame>(*m_pDoc);
        m_pFrame->m_onMessageBox = [this](const std::string& s, UINT) {
            m_messages.push_back(s);
            return IDOK;
        };
        m_pDoc->OnNewDocument();
        RegisterAllCommands(*m_pDoc);
        m_pFrame->RegisterWindowCommands();
        m_pDoc->m_strClientHost = "client.example";
        m_pDoc->m_strServerHost = "server.example";
    }
    // The window shown with the keyboard focus in its editor, for keys and
    // the mouse to reach it.
    // nHeight > 0: the window is that tall first (900 wide), for tests that
    // click at places of the editor pane.
    CMidwireEdit* ShowFocusedEditor(int nHeight = 0)
    {
        CMidwireEdit* pEdit = m_pFrame->Editor();
        if (nHeight > 0)
            m_pFrame->resize(900, nHeight);
        m_pFrame->show();
        m_pFrame->activateWindow();
        pEdit->setFocus();
        Settle();
        return pEdit;
    }

    // Sends a mouse event at point of the editor's viewport; a move carries
    // no button of its own.
    static void SendMouse(CMidwireEdit* pEdit, QEvent::Type type, QPoint point, Qt::MouseButtons buttons,
                          Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        QWidget* pViewport = pEdit->viewport();
        QMouseEvent event(type, QPointF(point), QPointF(pViewport->mapToGlobal(point)),
                          type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton, buttons, modifiers);
        QApplication::sendEvent(pViewport, &event);
    }

    // A triple click at point whose third press is still held.
    static void HoldTripleClick(CMidwireEdit* pEdit, QPoint point)
    {
        SendMouse(pEdit, QEvent::MouseButtonPress, point, Qt::LeftButton);
        SendMouse(pEdit, QEvent::MouseButtonRelease, point, Qt::NoButton);
        SendMouse(pEdit, QEvent::MouseButtonDblClick, point, Qt::LeftButton);
        SendMouse(pEdit, QEvent::MouseButtonRelease, point, Qt::NoButton);
        SendMouse(pEdit, QEvent::MouseButtonPress, point, Qt::LeftButton);
    }

    ~MainFrameTest() override
    {
        m_pFrame.reset();
        m_pDoc.reset();
        GetCommandTable().Clear();
        Settle();
    }
    CEventListModel& Model() { return m_pFrame->ListView()->Model(); }
    QString Cell(int row, int col) { return Model().data(Model().index(row, col), Qt::DisplayRole).toString(); }
    void Record(HistoryEvent* p, BOOL bQuiet = FALSE) { m_pDoc->RecordEvent(p, bQuiet); }
    // A shown list of 100 rows that follows new ones (Visible Scroll), and a
    // point in the Data cell of the third row in view, for clicks there.
    QPoint BusyListClickPoint()
    {
        m_pDoc->m_bVisibleScroll = TRUE;
        for (int i = 0; i < 100; ++i)
            Record(MakeEvent(EK_MESSAGE, "", "m" + std::to_string(i)));
        m_pFrame->show();
        Settle();
        CMidwireListView* pList = m_pFrame->ListView();
        return pList->visualRect(Model().index(pList->indexAt(QPoint(20, 5)).row() + 2, 3)).center();
    }
    // A mouse event at pos on the list's rows.
    void SendListMouse(QEvent::Type type, QPoint pos, Qt::MouseButton button, Qt::MouseButtons buttons)
    {
        QWidget* pViewport = m_pFrame->ListView()->viewport();
        QMouseEvent event(type, QPointF(pos), QPointF(pViewport->mapToGlobal(pos)), button, buttons, Qt::NoModifier);
        QApplication::sendEvent(pViewport, &event);
    }
    bool Enabled(UINT nID)
    {
        m_pFrame->UpdateCommandStates();
        return m_pFrame->Action(nID)->isEnabled();
    }

    std::unique_ptr<CMidwireDoc> m_pDoc;
    std::unique_ptr<CMainFrame> m_pFrame;
    std::vector<std::string> m_messages;
};

}  // namespace

TEST_F(MainFrameTest, MenusToolbarAndPromptsAreBuiltFromTheTable)
{
    const QList<QAction*> menus = m_pFrame->menuBar()->actions();
    QStringList titles;
    for (QAction* p : menus)
        titles << p->text();
    EXPECT_EQ(titles, (QStringList{"&File", "&Edit", "&Connection", "&Datagram", "MIME", "&View", "&Help"}));

    // The Edit menu with its separators and shortcut texts.
    QStringList edit;
    for (QAction* p : menus[1]->menu()->actions())
        edit << (p->isSeparator() ? QStringLiteral("-") : p->text() + "|" + p->shortcut().toString());
    EXPECT_EQ(edit, (QStringList{"&Undo|Ctrl+Z", "-", "Cu&t|Ctrl+X", "&Copy|Ctrl+C", "&Paste|Ctrl+V", "-",
                                 "Erase &All|", "Erase &Editor|"}));
    EXPECT_EQ(m_pFrame->Action(ID_EDIT_PASTE)->shortcuts().size(), 2);
    EXPECT_EQ(m_pFrame->Action(ID_NEXT_PANE)->shortcut().toString(), "F6");
    EXPECT_EQ(m_pFrame->Action(ID_PREV_PANE)->shortcut().toString(), "Shift+F6");

    // Toolbar: 27 buttons in 12 groups.
    int nButtons = 0, nGaps = 0;
    for (QAction* p : m_pFrame->ToolBar()->actions())
        (p->isSeparator() ? nGaps : nButtons)++;
    EXPECT_EQ(nButtons, 27);
    EXPECT_EQ(nGaps, 11);
    EXPECT_EQ(m_pFrame->ToolBar()->actions().first(), m_pFrame->Action(ID_FILE_NEW));
    EXPECT_EQ(m_pFrame->ToolBar()->actions().last(), m_pFrame->Action(ID_APP_ABOUT));
    for (QAction* p : m_pFrame->ToolBar()->actions()) {
        if (!p->isSeparator()) {
            EXPECT_FALSE(p->icon().isNull()) << p->text().toStdString();
        }
    }

    EXPECT_EQ(m_pFrame->Action(ID_FILE_NEW)->statusTip(), "Create a new document");
    EXPECT_EQ(m_pFrame->Action(ID_FILE_NEW)->toolTip(), "New");
    EXPECT_EQ(m_pFrame->CaptionText(), "Untitled - Midwire");
}

// The pointer on a menu item shows its prompt in the status bar, grayed or
// not, and the prompt goes when the pointer leaves the items or the menu
// closes.
TEST_F(MainFrameTest, MenuItemsShowTheirPromptsEvenWhenGrayed)
{
    m_pFrame->show();
    Settle();
    QMenu* pFile = m_pFrame->menuBar()->actions().first()->menu();
    ASSERT_NE(pFile, nullptr);
    QStatusBar* pBar = m_pFrame->statusBar();
    pFile->popup(m_pFrame->mapToGlobal(QPoint(10, 10)));
    Settle();
    ASSERT_TRUE(pFile->isVisible());
    // Several moves: the menu takes the first few for the pointer settling.
    auto moveTo = [pFile](QPoint point) {
        for (int i = 0; i < 8; ++i) {
            QMouseEvent move(QEvent::MouseMove, QPointF(point), QPointF(pFile->mapToGlobal(point)), Qt::NoButton,
                             Qt::NoButton, Qt::NoModifier);
            QApplication::sendEvent(pFile, &move);
        }
    };
    auto onItem = [pFile](UINT nID) {
        for (QAction* p : pFile->actions()) {
            if (p->data().toUInt() == nID && !p->isSeparator())
                return pFile->actionGeometry(p).center();
        }
        return QPoint(-1, -1);
    };

    ASSERT_FALSE(m_pFrame->Action(ID_FILE_SAVE_SPECIAL)->isEnabled());  // an empty history
    moveTo(onItem(ID_FILE_SAVE_SPECIAL));
    EXPECT_EQ(pBar->currentMessage(), "Save data in special way");
    moveTo(onItem(ID_FILE_LOAD_TO_EDITOR));
    EXPECT_EQ(pBar->currentMessage(), "Load File to Editor");
    moveTo(onItem(ID_FILE_SAVE_FROM_EDITOR));  // an empty editor
    EXPECT_EQ(pBar->currentMessage(), "Save File from Editor");
    moveTo(QPoint(-20, -20));
    EXPECT_EQ(pBar->currentMessage(), "");
    moveTo(onItem(ID_FILE_SAVE_SPECIAL));
    EXPECT_EQ(pBar->currentMessage(), "Save data in special way");
    pFile->hide();
    Settle();
    EXPECT_EQ(pBar->currentMessage(), "");
}

TEST_F(MainFrameTest, EnableRulesInEachRunState)
{
    const CCommandTable& table = GetCommandTable();
    const UINT idleOnly[] = {ID_FILE_NEW, ID_FILE_OPEN, ID_FILE_SAVE, ID_FILE_SAVE_AS, ID_EDIT_ERASE_ALL,
                             ID_VIEW_RELOAD, ID_FILE_PRINT, ID_FILE_PRINT_EDITOR};
    // Idle, empty history, empty editor.
    for (UINT nID : idleOnly)
        EXPECT_TRUE(Enabled(nID)) << nID;
    for (UINT nID : {ID_FILE_LOAD_TO_EDITOR, ID_APP_EXIT, ID_APP_ABOUT, ID_FILE_PRINT_SETUP, ID_VIEW_TOOLBAR})
        EXPECT_TRUE(Enabled(nID)) << nID;
    for (UINT nID : {ID_FILE_SAVE_FROM_EDITOR, ID_EDIT_ERASE_EDITOR, ID_CONNECTION_END, ID_EDIT_UNDO, ID_EDIT_CUT})
        EXPECT_FALSE(Enabled(nID)) << nID;
    if (table.Has(ID_FILE_SAVE_SPECIAL)) {
        EXPECT_FALSE(Enabled(ID_FILE_SAVE_SPECIAL));  // empty history
        Record(MakeEvent(EK_MESSAGE, "", "m"));
        EXPECT_TRUE(Enabled(ID_FILE_SAVE_SPECIAL));
    }

    // Text in the editor.
    m_pFrame->SetEditorText("x");
    EXPECT_TRUE(Enabled(ID_FILE_SAVE_FROM_EDITOR));
    EXPECT_TRUE(Enabled(ID_EDIT_ERASE_EDITOR));

    // A TCP session runs.
    m_pDoc->m_bConnected = TRUE;
    for (UINT nID : idleOnly)
        EXPECT_FALSE(Enabled(nID)) << nID;
    EXPECT_FALSE(Enabled(ID_APP_EXIT));
    EXPECT_EQ(Enabled(ID_CONNECTION_END), table.Has(ID_CONNECTION_END));
    EXPECT_FALSE(Enabled(ID_CONNECTION_START));
    EXPECT_FALSE(Enabled(ID_FILE_SAVE_SPECIAL));
    EXPECT_TRUE(Enabled(ID_FILE_LOAD_TO_EDITOR));
    for (UINT nID : {ID_CONNECTION_START_PLAYBACK, ID_CONNECTION_OPTIONS, ID_DATAGRAM_START, ID_DATAGRAM_OPTIONS,
                     ID_DATAGRAM_SEND_TO})
        EXPECT_FALSE(Enabled(nID)) << nID;
    m_pDoc->m_bConnected = FALSE;

    // The datagram relay runs.
    m_pDoc->m_bDatagramActive = TRUE;
    for (UINT nID : idleOnly)
        EXPECT_FALSE(Enabled(nID)) << nID;
    EXPECT_TRUE(Enabled(ID_APP_EXIT));
    EXPECT_FALSE(Enabled(ID_CONNECTION_END));
    EXPECT_EQ(Enabled(ID_DATAGRAM_STOP), table.Has(ID_DATAGRAM_STOP));
    EXPECT_EQ(Enabled(ID_DATAGRAM_SEND_TO), table.Has(ID_DATAGRAM_SEND_TO));
    for (UINT nID : {ID_CONNECTION_START, ID_CONNECTION_START_PLAYBACK, ID_CONNECTION_OPTIONS, ID_DATAGRAM_START,
                     ID_DATAGRAM_OPTIONS})
        EXPECT_FALSE(Enabled(nID)) << nID;
    // Send needs a send port as well.
    m_pDoc->m_strSendPort.clear();
    EXPECT_FALSE(Enabled(ID_DATAGRAM_SEND));
    m_pDoc->m_strSendPort = "9";
    EXPECT_EQ(Enabled(ID_DATAGRAM_SEND), table.Has(ID_DATAGRAM_SEND));
    m_pDoc->m_bDatagramActive = FALSE;

    // Every command without a handler is shown disabled.
    for (const QAction* p : m_pFrame->ToolBar()->actions()) {
        const UINT nID = p->data().toUInt();
        if (!p->isSeparator() && !table.Has(nID)) {
            m_pFrame->UpdateCommandStates();
            EXPECT_FALSE(p->isEnabled()) << nID;
        }
    }

    // In the middle of a walk only the editing commands run.
    {
        CMidwireDoc::CWalkGuard guard(*m_pDoc);
        EXPECT_FALSE(Enabled(ID_EDIT_ERASE_ALL));
        EXPECT_FALSE(Enabled(ID_FILE_LOAD_TO_EDITOR));
        EXPECT_FALSE(m_pFrame->RunCommand(ID_EDIT_ERASE_EDITOR));
        EXPECT_TRUE(Enabled(ID_APP_ABOUT));
    }
    EXPECT_TRUE(m_pFrame->RunCommand(ID_EDIT_ERASE_EDITOR));
    EXPECT_EQ(m_pFrame->GetEditorText(), "");
}

TEST_F(MainFrameTest, RowsOfEveryKind)
{
    struct Expect {
        std::uint32_t kind;
        const char* label;
        const char* host;
        int icon;
    };
    const Expect expected[] = {
        {0x1, "Sent to:", "client.example", 5},           {0x2, "Received from:", "client.example", 3},
        {0x4, "Moved to:", "server.example", 1},          {0x8, "Sent to:", "server.example", 4},
        {0x10, "Received from:", "server.example", 2},    {0x20, "Moved to:", "client.example", 0},
        {0x40, "Error", "", 6},                           {0x80, "Warning", "", 7},
        {0x100, "Message", "", 8},                        {0x200, "Connect to:", "server.example", 9},
        {0x400, "Disconnect to:", "server.example", 11},  {0x800, "Connect from:", "client.example", 10},
        {0x1000, "Disconnect to:", "client.example", 12}, {0x2000, "Edited & sent to:", "server.example", 14},
        {0x4000, "Edited & sent to:", "client.example", 13}, {0x8000, "Sent to:", "client.example", 16},
        {0x10000, "Received from:", "client.example", 15},   {0x20000, "Sent to:", "server.example", 18},
        {0x40000, "Received from:", "server.example", 17},   {0x80000, "Start PlayBack", "", 19},
        {0x100000, "Sent to:", "dgram.host", 21},            {0x200000, "Received from:", "dgram.host", 20},
        {0x400000, "Bind dgram socket", "", 22},             {0x800000, "Unbind dgram socket", "", 23},
        {0x1000000, "Moved to:", "dgram.host", 24},          {0x3, "Error", "", 0},
    };
    for (const Expect& e : expected) {
        HistoryEvent* p = MakeEvent(e.kind, "ab[c");
        p->m_strHost = "dgram.host";
        Record(p);
    }
    Settle();
    ASSERT_EQ(Model().rowCount(), 26);
    for (int r = 0; r < 26; ++r) {
        const Expect& e = expected[r];
        EXPECT_EQ(Cell(r, 0).toStdString(), e.label) << r;
        EXPECT_EQ(Cell(r, 1).toStdString(), e.host) << r;
        EXPECT_EQ(Cell(r, 3).toStdString(), "ab[[c") << r;
        const QPixmap icon = Model().data(Model().index(r, 0), Qt::DecorationRole).value<QPixmap>();
        EXPECT_EQ(icon.cacheKey(), EventIconPixmap(e.icon).cacheKey()) << r;
        if (r < 25) {
            EXPECT_EQ(Cell(r, 2).toStdString(), FormatEventTime(1700000000)) << r;
        }
    }
    // An unknown kind shows the current time.
    EXPECT_NE(Cell(25, 2).toStdString(), FormatEventTime(1700000000));
    EXPECT_EQ(Model().headerData(3, Qt::Horizontal, Qt::DisplayRole).toString(), "Data");

    // Columns are at least 100, 120, 115 and 500 pixels wide, and wide
    // enough for every label with its icon and for the whole time stamp.
    QAbstractItemView* pView = m_pFrame->ListView();
    m_pFrame->show();
    pView->scrollToTop();
    Settle();
    const int minimum[] = {100, 120, 115, 500};
    for (int c = 0; c < 4; ++c)
        EXPECT_GE(m_pFrame->ListView()->columnWidth(c), minimum[c]) << c;
    EXPECT_GE(m_pFrame->ListView()->columnWidth(0), pView->sizeHintForColumn(0));
    EXPECT_GE(m_pFrame->ListView()->columnWidth(2), pView->sizeHintForColumn(2));

    // Quiet events get no row until a reload.
    Record(MakeEvent(EK_MESSAGE, "", "quiet"), TRUE);
    Settle();
    EXPECT_EQ(Model().rowCount(), 26);
}

TEST_F(MainFrameTest, RowsKeepTheHostNamesAndTimeTheyWereMadeWith)
{
    Record(MakeEvent(EK_CONNECT_CLIENT, "", "first client"));
    Record(MakeEvent(EK_SENT_TO_SERVER, "a"));
    Record(MakeEvent(0x3, "unknown kind"));
    Settle();
    ASSERT_EQ(Model().rowCount(), 3);
    const std::string unknownTime = Cell(2, 2).toStdString();

    // A row added just before the names change keeps the old ones, though
    // it reaches the view after the change.
    Record(MakeEvent(EK_DISCONNECT_CLIENT, "", "closed"));
    m_pDoc->m_strClientHost = "second.example";
    m_pDoc->m_strServerHost = "server2.example";
    Record(MakeEvent(EK_CONNECT_CLIENT, "", "second client"));
    Settle();
    ASSERT_EQ(Model().rowCount(), 5);
    EXPECT_EQ(Cell(0, 1).toStdString(), "client.example");
    EXPECT_EQ(Cell(1, 1).toStdString(), "server.example");
    EXPECT_EQ(Cell(3, 1).toStdString(), "client.example");
    EXPECT_EQ(Cell(4, 1).toStdString(), "second.example");

    // A relay worker's row takes the names in force when it reaches the view.
    m_pDoc->m_strServerHost = "server3.example";
    HistoryEvent* pWorker = MakeEvent(EK_RECEIVED_FROM_SERVER, "b");
    m_pDoc->AddToHistory(pWorker);
    std::thread([&] { m_pFrame->AddEventRow(pWorker); }).join();
    Settle();
    ASSERT_EQ(Model().rowCount(), 6);
    EXPECT_EQ(Cell(5, 1).toStdString(), "server3.example");
    EXPECT_EQ(Cell(1, 1).toStdString(), "server.example");

    // The time of an unknown kind is the time its row was made.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_EQ(Cell(2, 2).toStdString(), unknownTime);

    // A reload makes every row again with the names of now.
    ASSERT_TRUE(m_pFrame->RunCommand(ID_VIEW_RELOAD));
    Settle();
    ASSERT_EQ(Model().rowCount(), 6);
    EXPECT_EQ(Cell(0, 1).toStdString(), "second.example");
    EXPECT_EQ(Cell(1, 1).toStdString(), "server3.example");
    EXPECT_EQ(Cell(3, 1).toStdString(), "second.example");
    EXPECT_NE(Cell(2, 2).toStdString(), unknownTime);
}

TEST_F(MainFrameTest, HostColumnShowsANonAsciiHostAsTyped)
{
    // The server host comes from the Connect dialog or the command line in
    // UTF-8, and so does its name in the message of a state change; data,
    // also data sent from the editor's text, keeps showing 8-bit text.
    m_pDoc->m_strServerHost = "h\xC3\xB4te.example";
    Record(MakeEvent(EK_CONNECT_SERVER, "", "caf\xE9"));
    Record(MakeEvent(EK_CONNECT_SERVER, "", "Connected to: h\xC3\xB4te.example port: 80."));
    Record(MakeEvent(EK_EDITED_TO_SERVER, "", "h\xC3\xB4te"));
    Record(MakeEvent(EK_MOVED_TO_SERVER, "h\xC3\xB4te"));
    Settle();
    ASSERT_EQ(Model().rowCount(), 4);
    EXPECT_EQ(Cell(0, 1), QString::fromUtf8("h\xC3\xB4te.example"));
    EXPECT_EQ(Cell(0, 3), QString::fromLatin1("caf\xE9"));
    EXPECT_EQ(Cell(1, 3), QString::fromUtf8("Connected to: h\xC3\xB4te.example port: 80."));
    EXPECT_EQ(Cell(2, 3), QString::fromLatin1("h\xC3\xB4te"));
    EXPECT_EQ(Cell(3, 3), "h[195][180]te");
}

TEST_F(MainFrameTest, RowsFromWorkerThreadsKeepTheirOrder)
{
    constexpr int kPerThread = 20000;
    std::vector<std::unique_ptr<HistoryEvent>> events(2 * kPerThread);
    for (int i = 0; i < 2 * kPerThread; ++i) {
        events[static_cast<std::size_t>(i)] = std::make_unique<HistoryEvent>();
        events[static_cast<std::size_t>(i)]->m_kind = i < kPerThread ? EK_SENT_TO_CLIENT : EK_SENT_TO_SERVER;
    }
    auto worker = [&](int nFirst) {
        for (int i = nFirst; i < nFirst + kPerThread; ++i)
            m_pFrame->AddEventRow(events[static_cast<std::size_t>(i)].get());
    };
    std::thread a(worker, 0), b(worker, kPerThread);
    // The window thread keeps handling its messages while the workers add.
    for (int i = 0; i < 2000 && Model().rowCount() < 2 * kPerThread; ++i) {
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    a.join();
    b.join();
    Settle();
    ASSERT_EQ(Model().rowCount(), 2 * kPerThread);
    int nNextA = 0, nNextB = kPerThread;
    for (int r = 0; r < 2 * kPerThread; ++r) {
        HistoryEvent* p = Model().EventAt(r);
        if (p->m_kind == EK_SENT_TO_CLIENT) {
            ASSERT_EQ(p, events[static_cast<std::size_t>(nNextA++)].get()) << r;
        } else {
            ASSERT_EQ(p, events[static_cast<std::size_t>(nNextB++)].get()) << r;
        }
    }
    m_pFrame->DeleteAllRows();  // the rows refer to events this test owns
}

TEST_F(MainFrameTest, DoubleClickPutsTheRowIntoTheEditor)
{
    Record(MakeEvent(EK_CONNECT_CLIENT, "", "Accepted connection from: c port: 1."));
    Record(MakeEvent(EK_RECEIVED_FROM_CLIENT, std::string("GET\r\n[", 6)));
    Record(MakeEvent(EK_RECEIVED_FROM_CLIENT, ""));
    Settle();
    CMidwireListView* pList = m_pFrame->ListView();

    // Without a selection nothing happens.
    m_pFrame->SetEditorText("before");
    emit pList->doubleClicked(Model().index(0, 0));
    EXPECT_EQ(m_pFrame->GetEditorText(), "before");

    pList->selectRow(0);
    emit pList->doubleClicked(Model().index(0, 2));
    EXPECT_EQ(m_pFrame->GetEditorText(), "Accepted connection from: c port: 1.");
    pList->selectRow(1);
    emit pList->doubleClicked(Model().index(1, 0));
    EXPECT_EQ(m_pFrame->GetEditorText(), "GET[13][10][[");
    pList->selectRow(2);
    emit pList->doubleClicked(Model().index(2, 0));
    EXPECT_EQ(m_pFrame->GetEditorText(), "");

    // Enter does the same for the focused row, once it is selected.
    auto pressEnter = [pList](Qt::Key key) {
        PressKey(pList, key, key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);
    };
    pList->setCurrentIndex(Model().index(1, 0));
    pressEnter(Qt::Key_Return);
    EXPECT_EQ(m_pFrame->GetEditorText(), "GET[13][10][[");
    pList->setCurrentIndex(Model().index(0, 3));
    pressEnter(Qt::Key_Enter);
    EXPECT_EQ(m_pFrame->GetEditorText(), "Accepted connection from: c port: 1.");
    m_pFrame->SetEditorText("before");
    pList->selectionModel()->setCurrentIndex(Model().index(1, 0), QItemSelectionModel::Clear);
    pressEnter(Qt::Key_Return);
    EXPECT_EQ(m_pFrame->GetEditorText(), "before");

    // The selection reaches the core in row order.
    pList->selectionModel()->select(Model().index(2, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    pList->selectionModel()->select(Model().index(0, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    const std::vector<HistoryEvent*> selected = m_pFrame->GetSelectedEvents();
    ASSERT_EQ(selected.size(), 2u);
    EXPECT_EQ(selected[0], Model().EventAt(0));
    EXPECT_EQ(selected[1], Model().EventAt(2));
}

// A double click whose row moved between its two clicks (new rows scrolled
// the list with Visible Scroll on) opens the row it selected.
TEST_F(MainFrameTest, DoubleClickOpensTheRowWhenRowsMoveBetweenTheClicks)
{
    const QPoint at = BusyListClickPoint();
    CMidwireListView* pList = m_pFrame->ListView();
    auto mouse = [this, at](QEvent::Type type, Qt::MouseButton button) {
        SendListMouse(type, at, button, type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(button));
    };
    auto doubleClickWhileRowsArrive = [&](Qt::MouseButton button) {
        mouse(QEvent::MouseButtonPress, button);
        mouse(QEvent::MouseButtonRelease, button);
        const int nFirst = pList->indexAt(at).row();
        for (int i = 0; i < 3; ++i)
            Record(MakeEvent(EK_MESSAGE, "", "new"));
        Settle();
        EXPECT_NE(pList->indexAt(at).row(), nFirst);  // the list scrolled under the pointer
        mouse(QEvent::MouseButtonDblClick, button);
        mouse(QEvent::MouseButtonRelease, button);
    };

    m_pFrame->SetEditorText("before");
    doubleClickWhileRowsArrive(Qt::LeftButton);
    const int nRow = pList->indexAt(at).row();
    EXPECT_EQ(pList->currentIndex().row(), nRow);
    EXPECT_TRUE(pList->selectionModel()->isRowSelected(nRow, QModelIndex()));
    EXPECT_EQ(m_pFrame->GetEditorText(), Cell(nRow, 3).toStdString());

    // Only the left button opens a row that way.
    m_pFrame->SetEditorText("before");
    doubleClickWhileRowsArrive(Qt::RightButton);
    EXPECT_EQ(m_pFrame->GetEditorText(), "before");
}

// Rows that arrive while a mouse button is held on the list do not scroll
// it under the pointer: a click during a busy session selects the row it
// was meant for, not every row the list moved by, and the list catches up
// with the newest row once the button is released.
TEST_F(MainFrameTest, RowsArrivingDuringAClickLeaveItsRowSelected)
{
    const QPoint at = BusyListClickPoint();
    CMidwireListView* pList = m_pFrame->ListView();
    QWidget* pViewport = pList->viewport();
    auto mouse = [this](QEvent::Type type, QPoint pos, Qt::MouseButtons buttons) {
        SendListMouse(type, pos, type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton, buttons);
    };
    const int nRow = pList->indexAt(at).row();
    mouse(QEvent::MouseButtonPress, at, Qt::LeftButton);
    for (int i = 0; i < 3; ++i)
        Record(MakeEvent(EK_MESSAGE, "", "new"));
    Settle();
    mouse(QEvent::MouseMove, at + QPoint(1, 0), Qt::LeftButton);
    EXPECT_EQ(pList->indexAt(at).row(), nRow);
    mouse(QEvent::MouseButtonRelease, at + QPoint(1, 0), Qt::NoButton);
    EXPECT_EQ(m_pFrame->GetSelectedEvents(), std::vector<HistoryEvent*>{Model().EventAt(nRow)});
    Settle();
    EXPECT_TRUE(pViewport->rect().intersects(pList->visualRect(Model().index(102, 0))));

    // Without a button held, new rows are brought into view at once.
    Record(MakeEvent(EK_MESSAGE, "", "later"));
    Settle();
    EXPECT_TRUE(pViewport->rect().intersects(pList->visualRect(Model().index(103, 0))));
}

TEST_F(MainFrameTest, ReloadShowsProgressAndEveryEvent)
{
    for (int i = 0; i < 120; ++i)
        Record(MakeEvent(EK_MESSAGE, "", "e" + std::to_string(i)), i % 2);  // half of them quiet
    Settle();
    EXPECT_EQ(Model().rowCount(), 60);
    ASSERT_TRUE(m_pFrame->RunCommand(ID_VIEW_RELOAD));
    Settle();
    ASSERT_EQ(Model().rowCount(), 120);
    for (int r = 0; r < 120; ++r)
        ASSERT_EQ(Cell(r, 3).toStdString(), "e" + std::to_string(r));
    const auto log = m_pFrame->ProgressLog();
    ASSERT_FALSE(log.empty());
    const auto& progress = log.back();
    EXPECT_EQ(progress.kind, EProgressKind::LoadingEventList);
    EXPECT_EQ(progress.nHigh, 120);
    EXPECT_EQ(progress.positions, (std::vector<std::int64_t>{0, 50, 100}));
    // The window is gone when the walk ends.
    for (QWidget* w : QApplication::topLevelWidgets())
        EXPECT_FALSE(qobject_cast<CLoadingEventListDlg*>(w) && w->isVisible());

    // A host name changed since is shown on the rows made after the change.
    m_pDoc->m_strClientHost = "other.example";
    Record(MakeEvent(EK_SENT_TO_CLIENT, "x"));
    Settle();
    EXPECT_EQ(Cell(120, 1), "other.example");
}

TEST_F(MainFrameTest, ReloadCancelKeepsThePartialList)
{
    constexpr int kEvents = 300000;
    for (int i = 0; i < kEvents; ++i)
        Record(MakeEvent(EK_MESSAGE, "", "e"), TRUE);
    bool bClicked = false;
    // Cancel is pressed when the walk first lets the window handle its messages.
    QTimer::singleShot(0, [&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (auto* pDlg = qobject_cast<CLoadingEventListDlg*>(w); pDlg && pDlg->isVisible()) {
                EXPECT_EQ(pDlg->windowTitle(), "Loading Event List");
                pDlg->findChild<QPushButton*>("cancel")->click();
                bClicked = true;
            }
        }
    });
    ASSERT_TRUE(m_pFrame->RunCommand(ID_VIEW_RELOAD));
    Settle();
    ASSERT_TRUE(bClicked);
    EXPECT_GT(Model().rowCount(), 0);
    EXPECT_LT(Model().rowCount(), kEvents);
    EXPECT_EQ(m_pDoc->m_history.GetCount(), static_cast<std::size_t>(kEvents));
    EXPECT_FALSE(m_pDoc->IsWalking());
}

TEST_F(MainFrameTest, EditorKeepsBytesAndFoldsCarriageReturns)
{
    CMidwireEdit* pEdit = m_pFrame->Editor();
    m_pFrame->SetEditorText("a\r\nb\rc\n\xE9[255]");
    EXPECT_EQ(m_pFrame->GetEditorText(), "a\nb\nc\n\xE9[255]");
    EXPECT_EQ(m_pFrame->GetEditorTextLength(), 12u);
    EXPECT_EQ(pEdit->toPlainText().count('\n'), 3);

    // Pasted characters without an 8-bit form are left out rather than sent
    // as "?"; a no-break space stays the byte 0xA0, which gives no byte.
    pEdit->setPlainText(QString::fromUtf16(u"a\u20ACb\u00A0c\u2019d\n[13]"));
    EXPECT_EQ(m_pFrame->GetEditorText(), "ab\xA0" "cd\n[13]");
    std::int32_t nLength = 0;
    const MallocPtr<unsigned char> bytes = GetEditorBytes(nLength);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.get()), static_cast<std::size_t>(nLength)), "abcd\r");

    // Undo, Cut, Copy and Paste follow the editor, and only while it is the
    // active pane: with the history list active they leave the editor alone.
    m_pFrame->show();
    m_pFrame->activateWindow();
    QApplication::processEvents();
    m_pFrame->SetEditorText("");
    pEdit->insertPlainText("typed");
    pEdit->selectAll();
    m_pFrame->ListView()->setFocus();
    QApplication::processEvents();
    for (const UINT nID : {ID_EDIT_UNDO, ID_EDIT_CUT, ID_EDIT_COPY, ID_EDIT_PASTE})
        EXPECT_FALSE(Enabled(nID)) << nID;
    EXPECT_FALSE(m_pFrame->RunCommand(ID_EDIT_CUT));
    EXPECT_EQ(m_pFrame->GetEditorText(), "typed");
    pEdit->setFocus();
    QApplication::processEvents();
    EXPECT_TRUE(Enabled(ID_EDIT_UNDO));
    EXPECT_TRUE(Enabled(ID_EDIT_CUT));
    // The toolbar or a menu taking the focus does not change the active pane.
    QToolBar* pToolBar = m_pFrame->findChild<QToolBar*>();
    ASSERT_TRUE(pToolBar);
    pToolBar->setFocus();
    QApplication::processEvents();
    EXPECT_TRUE(Enabled(ID_EDIT_CUT));
    ASSERT_TRUE(m_pFrame->RunCommand(ID_EDIT_CUT));
    EXPECT_EQ(m_pFrame->GetEditorText(), "");
    if (Enabled(ID_EDIT_PASTE)) {  // the offscreen clipboard may be unavailable
        ASSERT_TRUE(m_pFrame->RunCommand(ID_EDIT_PASTE));
        EXPECT_EQ(m_pFrame->GetEditorText(), "typed");
    }
    ASSERT_TRUE(m_pFrame->RunCommand(ID_EDIT_UNDO));
}

// Text pasted from another program with Ctrl+V: control characters, tabs,
// line breaks and characters above 127 are left out of the bytes, and a NUL
// character among them does not cut off the text after it.
TEST_F(MainFrameTest, PastedTextGivesAllItsBytesPastANul)
{
    CMidwireEdit* pEdit = ShowFocusedEditor();
    QGuiApplication::clipboard()->setText(QString::fromLatin1("ab\0cd\r\nx\ty\xE9z\r[13][[", 19));
    Settle();
    if (!Enabled(ID_EDIT_PASTE))
        GTEST_SKIP() << "no clipboard on this platform";
    PressKey(pEdit, Qt::Key_V, Qt::ControlModifier);
    Settle();
    EXPECT_EQ(m_pFrame->GetEditorText(), "abcd\nx\ty\xE9z\n[13][[");
    std::int32_t nLength = 0;
    const MallocPtr<unsigned char> bytes = GetEditorBytes(nLength);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.get()), static_cast<std::size_t>(nLength)), "abcdxyz\r[");

    // A NUL alone gives no bytes, as line breaks alone give none.
    pEdit->setPlainText(QString(QChar(0)) + QStringLiteral("\n"));
    EXPECT_EQ(m_pFrame->GetEditorText(), "\n");
}

// Data without line breaks makes one line of megabytes. The editor holds
// it in short pieces, so that typing does not lay the whole line out again,
// and everything that reads the editor reads the one line: its text and
// length, keys at the joins, Enter, undo and redo, copy and paste.
TEST_F(MainFrameTest, EditorHoldsALongLineInPiecesThatReadAsOne)
{
    CMidwireEdit* pEdit = m_pFrame->Editor();
    m_pFrame->show();
    m_pFrame->activateWindow();
    pEdit->setFocus();
    std::string strLong;
    for (int i = 0; strLong.size() < 512 * 1024; ++i)
        strLong += "[[" + std::to_string(i) + "[255]abc ";
    const std::string strText = "short\n" + strLong + "\nshort";
    m_pFrame->SetEditorText(strText);
    Settle();
    EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), strText));
    EXPECT_EQ(m_pFrame->GetEditorTextLength(), strText.size());
    QTextDocument* pDoc = pEdit->document();
    ASSERT_GT(pDoc->blockCount(), 100);
    // No piece is long, and none cuts a bracket group: each piece gives, on
    // its own, the bytes it shows.
    std::string strPieceBytes;
    for (QTextBlock block = pDoc->firstBlock().next(); block.isValid() && block.next().isValid(); block = block.next()) {
        EXPECT_LE(block.length(), CMidwireEdit::kPieceLength + 1);
        strPieceBytes += DisplayTextToByteString(block.text().toStdString());
    }
    EXPECT_TRUE(SameText(strPieceBytes, DisplayTextToByteString(strLong)));
    EXPECT_FALSE(CMidwireEdit::IsContinuation(pDoc->findBlockByNumber(1)));
    EXPECT_TRUE(CMidwireEdit::IsContinuation(pDoc->findBlockByNumber(2)));

    // Backspace at the start of a piece takes the character before the
    // join, Delete at the end of one the character after it; Undo brings
    // both back.
    const QTextBlock second = pDoc->findBlockByNumber(2);
    const std::size_t nJoin = 6 + static_cast<std::size_t>(second.position() - pDoc->findBlockByNumber(1).position() - 1);
    QTextCursor cursor(second);
    pEdit->setTextCursor(cursor);
    PressKey(pEdit, Qt::Key_Backspace);
    std::string strExpected = strText;
    strExpected.erase(nJoin - 1, 1);
    EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), strExpected));
    EXPECT_TRUE(pEdit->textCursor().atBlockEnd());
    PressKey(pEdit, Qt::Key_Delete);
    strExpected.erase(nJoin - 1, 1);
    EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), strExpected));
    pDoc->undo();
    pDoc->undo();
    EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), strText));

    // Enter inside a piece breaks the line there, and only there; typing
    // lands where the cursor is.
    cursor = QTextCursor(pDoc->findBlockByNumber(3));
    cursor.movePosition(QTextCursor::NextCharacter, QTextCursor::MoveAnchor, 10);
    const std::size_t nAt = 6 + static_cast<std::size_t>(cursor.position() - pDoc->findBlockByNumber(1).position() - 2);
    pEdit->setTextCursor(cursor);
    PressKey(pEdit, Qt::Key_Return);
    pEdit->insertPlainText("xyz");
    strExpected = strText;
    strExpected.insert(nAt, "\nxyz");
    EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), strExpected));
    EXPECT_EQ(m_pFrame->GetEditorTextLength(), strExpected.size());
    pDoc->undo();  // the typing
    pDoc->undo();  // the line break
    EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), strText));
    pDoc->redo();
    pDoc->redo();
    EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), strExpected));

    // A selection over joins is copied as the text it stands for; a long
    // pasted line is cut into pieces too, and undone and redone whole.
    m_pFrame->SetEditorText(strText);
    cursor = QTextCursor(pDoc->findBlockByNumber(1));
    cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, 3);
    pEdit->setTextCursor(cursor);
    const std::size_t nCopied = static_cast<std::size_t>(cursor.selectionEnd() - cursor.selectionStart() - 3);
    Settle();
    if (!Enabled(ID_EDIT_COPY) || !m_pFrame->RunCommand(ID_EDIT_COPY))
        GTEST_SKIP() << "no clipboard on this platform";
    Settle();
    EXPECT_TRUE(SameText(QGuiApplication::clipboard()->text().toStdString(), strLong.substr(0, nCopied)));
    QGuiApplication::clipboard()->setText(QString::fromStdString(strLong));
    Settle();
    pEdit->moveCursor(QTextCursor::End);
    ASSERT_TRUE(m_pFrame->RunCommand(ID_EDIT_PASTE));
    EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), strText + strLong));
    for (QTextBlock block = pDoc->firstBlock(); block.isValid(); block = block.next())
        EXPECT_LE(block.length(), CMidwireEdit::kPieceLength + 6);
    pDoc->undo();
    EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), strText));
    pDoc->redo();
    EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), strText + strLong));
}

// Shift+Backspace and the keypad's Delete, at a join between two pieces of a
// long line, take a character as Backspace and Delete do there: they took
// only the invisible join, and the key seemed to do nothing.
TEST_F(MainFrameTest, ShiftBackspaceAndKeypadDeleteAtAJoinTakeACharacter)
{
    CMidwireEdit* pEdit = m_pFrame->Editor();
    std::string strText;
    for (int i = 0; strText.size() < 3 * CMidwireEdit::kPieceLength; ++i)
        strText += "abcdefg" + std::to_string(i % 10);
    m_pFrame->SetEditorText(strText);
    QTextDocument* pDoc = pEdit->document();
    ASSERT_TRUE(CMidwireEdit::IsContinuation(pDoc->findBlockByNumber(1)));
    // Where the second piece starts in the text (the join is no character).
    const auto nJoin = static_cast<std::size_t>(pDoc->findBlockByNumber(1).position()) - 1;

    pEdit->setTextCursor(QTextCursor(pDoc->findBlockByNumber(1)));
    PressKey(pEdit, Qt::Key_Backspace, Qt::ShiftModifier);
    std::string strExpected = strText;
    strExpected.erase(nJoin - 1, 1);
    EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), strExpected));

    // The keypad's Delete at the end of the second piece.
    QTextCursor cursor(pDoc->findBlockByNumber(1));
    cursor.movePosition(QTextCursor::EndOfBlock);
    const std::size_t nEnd = static_cast<std::size_t>(cursor.position()) - 1;  // less the one join before it
    pEdit->setTextCursor(cursor);
    PressKey(pEdit, Qt::Key_Delete, Qt::KeypadModifier);
    strExpected.erase(nEnd, 1);
    EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), strExpected));
    EXPECT_EQ(m_pFrame->GetEditorTextLength(), strExpected.size());
}

// Data full of "[" bytes makes a run of brackets longer than a piece. It is
// held in full-length pieces cut between doubled brackets, as any long line
// is, not in pieces of one bracket each, which showed one bracket a line.
TEST_F(MainFrameTest, EditorCutsALongRunOfBracketsIntoFullPieces)
{
    QTextDocument* pDoc = m_pFrame->Editor()->document();
    // Runs of even and odd length, ending in a code, a letter or the line.
    for (const std::size_t nBytes : {std::size_t{10000}, std::size_t{10001}}) {
        for (const std::string& strTail : {std::string("\x0D"), std::string("A"), std::string()}) {
            const std::string strBytes = "x" + std::string(nBytes, '[') + strTail;
            ASSERT_TRUE(PutEditorBytes(strBytes.data(), static_cast<std::int32_t>(strBytes.size())));
            const std::string strText = BytesToDisplayString(strBytes);
            EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), strText));
            EXPECT_EQ(m_pFrame->GetEditorTextLength(), strText.size());
            EXPECT_LE(pDoc->blockCount(), static_cast<int>(strText.size() / CMidwireEdit::kPieceLength) + 2)
                << nBytes << " bytes";
            // Each piece gives, on its own, the bytes it shows.
            std::string strPieceBytes;
            for (QTextBlock block = pDoc->firstBlock(); block.isValid(); block = block.next())
                strPieceBytes += DisplayTextToByteString(block.text().toStdString());
            EXPECT_TRUE(SameText(strPieceBytes, strBytes));
        }
    }
}

// A long block made some other way (here, handed to the widget in one go)
// keeps its layout between paints: each blink of the cursor laid the whole
// block out again.
TEST_F(MainFrameTest, EditorKeepsTheLayoutOfAVeryLongBlock)
{
    CMidwireEdit* pEdit = m_pFrame->Editor();
    m_pFrame->show();
    pEdit->setPlainText(QStringLiteral("short\n") + QString(512 * 1024, QLatin1Char('a')) + QStringLiteral("\nshort"));
    Settle();
    QTextBlock block = pEdit->document()->firstBlock();
    EXPECT_FALSE(block.layout()->cacheEnabled());
    EXPECT_TRUE(block.next().layout()->cacheEnabled());
    EXPECT_FALSE(block.next().next().layout()->cacheEnabled());
}

// A text longer than the editor holds (lowered here from its real size,
// the text document's int positions) is refused with a message wherever it
// would come in, and the editor keeps what it had: never a cut-short text.
TEST_F(MainFrameTest, EditorRefusesATextLongerThanItHolds)
{
    struct LimitGuard {
        std::size_t nOld = CMidwireEdit::MaxTextLength();
        ~LimitGuard() { CMidwireEdit::SetMaxTextLength(nOld); }
    } guard;
    CMidwireEdit::SetMaxTextLength(20);
    const std::string strAlloc = "Error allocating memory.";

    EXPECT_TRUE(m_pFrame->SetEditorText(std::string(20, 'a')));
    EXPECT_FALSE(m_pFrame->SetEditorText(std::string(21, 'b')));
    EXPECT_EQ(m_pFrame->GetEditorText(), std::string(20, 'a'));
    // Counted as the editor holds it: a CR LF pair is one line break.
    EXPECT_TRUE(m_pFrame->SetEditorText("0123456789\r\n012345678"));
    EXPECT_EQ(m_pFrame->GetEditorTextLength(), 20u);
    ASSERT_TRUE(m_pFrame->SetEditorText("before"));

    // Get from Client: held data whose text is too long, then held data that fits.
    m_pDoc->m_bConnected = TRUE;
    m_pDoc->m_bAcceptConnections = TRUE;
    HistoryEvent* pLong = MakeEvent(EK_RECEIVED_FROM_CLIENT, std::string(7, '\x01'));  // 21 characters
    HistoryEvent* pShort = MakeEvent(EK_RECEIVED_FROM_CLIENT, "GET\r\n");
    Record(pLong);
    Record(pShort);
    m_pDoc->AddHeldFromClient(pLong);
    m_pDoc->AddHeldFromClient(pShort);
    ASSERT_TRUE(Enabled(ID_CONNECTION_GET_FROM_CLIENT));
    m_pFrame->Action(ID_CONNECTION_GET_FROM_CLIENT)->trigger();
    EXPECT_EQ(m_messages, std::vector<std::string>{strAlloc});
    EXPECT_EQ(m_pFrame->GetEditorText(), "before");
    ASSERT_TRUE(Enabled(ID_CONNECTION_GET_FROM_CLIENT));
    m_pFrame->Action(ID_CONNECTION_GET_FROM_CLIENT)->trigger();
    EXPECT_EQ(m_pFrame->GetEditorText(), "GET[13][10]");
    EXPECT_FALSE(Enabled(ID_CONNECTION_GET_FROM_CLIENT));
    m_pDoc->m_bConnected = FALSE;

    // Load to Editor of a file whose text is too long, then of one that fits.
    m_messages.clear();
    testutil::TempDir dir;
    const std::string strBig = dir.Path("big"), strSmall = dir.Path("small");
    testutil::WriteFile(strBig, std::string(5, '\xFF'));  // 25 characters
    testutil::WriteFile(strSmall, "A[\x01");
    EXPECT_FALSE(LoadFileToEditor(strBig));
    EXPECT_EQ(m_messages, std::vector<std::string>{strAlloc});
    EXPECT_EQ(m_pFrame->GetEditorText(), "GET[13][10]");
    EXPECT_TRUE(LoadFileToEditor(strSmall));
    EXPECT_EQ(m_pFrame->GetEditorText(), "A[[[1]");

    // A double click on the long row.
    m_messages.clear();
    Settle();
    CMidwireListView* pList = m_pFrame->ListView();
    pList->selectRow(0);
    emit pList->doubleClicked(Model().index(0, 0));
    EXPECT_EQ(m_messages, std::vector<std::string>{strAlloc});
    EXPECT_EQ(m_pFrame->GetEditorText(), "A[[[1]");
}

// A session whose editor text the editor cannot hold loads without it, with
// a message, and stays untitled: Save asks for a name instead of writing the
// empty editor over the file's text.
TEST_F(MainFrameTest, SessionWhoseEditorTextIsRefusedIsNotSavedOverItsFile)
{
    testutil::TempDir dir;
    const std::string strPath = dir.Path("long editor.mwx");
    ASSERT_TRUE(SaveHeadlessSession(strPath, std::string(25, 'x'), "kept"));
    const std::string strFile = testutil::ReadFile(strPath);
    struct LimitGuard {
        std::size_t nOld = CMidwireEdit::MaxTextLength();
        ~LimitGuard() { CMidwireEdit::SetMaxTextLength(nOld); }
    } guard;
    CMidwireEdit::SetMaxTextLength(20);

    EXPECT_TRUE(m_pFrame->OpenSessionFile(ArgumentText(strPath)));
    Settle();
    EXPECT_EQ(m_messages, std::vector<std::string>{"Error allocating memory."});
    EXPECT_EQ(m_pFrame->GetEditorText(), "");
    ASSERT_EQ(Model().rowCount(), 1);
    EXPECT_EQ(Cell(0, 3), "kept");
    EXPECT_EQ(m_pDoc->m_strPathName, "");
    EXPECT_EQ(m_pFrame->CaptionText(), "Untitled - Midwire");

    int nAsked = 0;
    m_pFrame->m_onPromptFileName = [&](std::string&, bool) {
        ++nAsked;
        return false;
    };
    ASSERT_TRUE(m_pFrame->RunCommand(ID_FILE_SAVE));
    m_pFrame->m_onPromptFileName = nullptr;
    EXPECT_EQ(nAsked, 1);
    EXPECT_EQ(testutil::ReadFile(strPath), strFile);
}

// A session written by the headless commands, opened in the window and
// saved again, is the same file byte for byte: every setting, the editor
// text (long lines, tabs, Latin-1 letters, empty lines) and every event.
TEST_F(MainFrameTest, SessionOpenedAndSavedByTheWindowIsUnchanged)
{
    testutil::TempDir dir;
    const std::string strIn = dir.Path("in.mwx"), strOut = dir.Path("out.mwx");
    std::string strEditor = "GET / HTTP/1.0[13][10]\n\ttab\xE9\xA0x\n\n";
    strEditor += std::string(3 * CMidwireEdit::kPieceLength + 7, 'L') + "[13][10][[\n" +
                 std::string(CMidwireEdit::kPieceLength, 'e') + "\nlast";
    {
        CHeadlessFrontEnd headless;
        headless.SetEcho(false);
        CMidwireDoc doc;
        doc.OnNewDocument();
        g_nMaxLineLength = 72;
        g_chDisplayBreak = ';';
        g_bKeepBreaks = 1;
        doc.m_bConnectToHost = 1;
        doc.m_strServerHost = "server.example";
        doc.m_strServerPort = "8080";
        doc.m_bHoldServerData = 1;
        doc.m_bAcceptConnections = 1;
        doc.m_strListenPort = "9090";
        doc.m_bHoldClientData = 1;
        doc.m_strClientHost = "client.example";
        doc.m_bQuiet = doc.m_bVerbose = doc.m_bKeepAlive = doc.m_bDgramVerbose = doc.m_bDgramQuiet = 1;
        doc.m_bUseBreakChar = doc.m_bVisibleScroll = doc.m_bSendBroadcast = doc.m_bResolveNames = 0;
        doc.m_nServerWaitRetries = 7;
        doc.m_nClientWaitRetries = 8;
        doc.m_nServerTimeWait = 9;
        doc.m_nClientTimeWait = 10;
        doc.m_chBreakChar = '\r';
        doc.m_strSendHost = "send.example";
        doc.m_strSendPort = "1";
        doc.m_strDgramPort = "2";
        doc.m_bMove1 = doc.m_bMoveBroadcast2 = doc.m_bMoveEveryone1 = 1;
        doc.m_strMoveFromHost1 = "from1";
        doc.m_strMoveFromHost2 = "from2";
        doc.m_strMoveToHost1 = "to1";
        doc.m_strMoveToHost2 = "to2";
        doc.m_strMoveToPort1 = "3";
        doc.m_strMoveToPort2 = "4";
        headless.SetEditorText(strEditor);
        doc.RecordEvent(MakeEvent(EK_MOVED_TO_SERVER, std::string("a\0b\r\n", 5)), FALSE);
        doc.RecordEvent(MakeEvent(EK_ERROR, "", "Error sending 1"), FALSE);
        HistoryEvent* pDgram = MakeEvent(EK_DGRAM_RECEIVED, std::string(300, '\xFF'));
        pDgram->m_strHost = "peer.example";
        doc.RecordEvent(pDgram, FALSE);
        ASSERT_TRUE(doc.OnSaveDocument(strIn));
    }
    g_pDoc = m_pDoc.get();

    ASSERT_TRUE(m_pFrame->OpenSessionFile(ArgumentText(strIn)));
    Settle();
    EXPECT_TRUE(m_messages.empty());
    EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), strEditor));
    m_pFrame->m_onPromptFileName = [&](std::string& strChosen, bool) {
        strChosen = strOut;
        return true;
    };
    ASSERT_TRUE(m_pFrame->RunCommand(ID_FILE_SAVE_AS));
    m_pFrame->m_onPromptFileName = nullptr;
    EXPECT_TRUE(m_messages.empty());
    EXPECT_TRUE(SameText(testutil::ReadFile(strOut), testutil::ReadFile(strIn)));
}

TEST_F(MainFrameTest, ClosingNeverLeavesWorkersWithoutTheirDocument)
{
    bool bEnds = false;
    GetCommandTable().Register(ID_CONNECTION_END, [&] { m_pDoc->m_bConnected = !bEnds; },
                               [this] { return m_pDoc->m_bConnected != 0; });
    m_pFrame->show();
    m_pDoc->m_bConnected = TRUE;
    EXPECT_FALSE(Enabled(ID_APP_EXIT));
    EXPECT_FALSE(m_pFrame->close());  // the connection would not end
    ASSERT_EQ(m_messages.size(), 1u);
    EXPECT_EQ(m_messages[0], "Unable to perform the command during a connection.");
    bEnds = true;
    EXPECT_TRUE(m_pFrame->close());
    EXPECT_FALSE(m_pDoc->m_bConnected);
}

// Closing the window while a walk over the history runs lets the walk
// finish (its result is kept) and then closes the window.
TEST_F(MainFrameTest, ClosingDuringAWalkClosesWhenTheWalkEnds)
{
    constexpr int kEvents = 2000;
    for (int i = 0; i < kEvents; ++i)
        Record(MakeEvent(EK_MESSAGE, "", "e"), TRUE);
    m_pFrame->show();
    bool bAsked = false, bClosedAtOnce = true;
    QTimer::singleShot(0, [&] {
        bAsked = m_pDoc->IsWalking();
        bClosedAtOnce = m_pFrame->close();
    });
    ASSERT_TRUE(m_pFrame->RunCommand(ID_VIEW_RELOAD));
    ASSERT_TRUE(bAsked);
    EXPECT_FALSE(bClosedAtOnce);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (m_pFrame->isVisible() && std::chrono::steady_clock::now() < end)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_FALSE(m_pFrame->isVisible());
    Settle();
    EXPECT_EQ(Model().rowCount(), kEvents);
    EXPECT_TRUE(m_messages.empty());
}

TEST_F(MainFrameTest, DroppedSessionFilesOpenAndJoinTheRecentList)
{
    testutil::TempDir dir;
    const std::string strDir = dir.Root();
    const std::string strPath = dir.Path("dropped.mwx");
    ASSERT_TRUE(SaveHeadlessSession(strPath, "editor text", "from the file"));

    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(strPath))});
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    // Straight to the window: the drag manager of the offscreen platform
    // only delivers drops that it started itself.
    static_cast<QObject*>(m_pFrame.get())->event(&drop);
    EXPECT_TRUE(drop.isAccepted());
    Settle();
    EXPECT_EQ(m_pFrame->GetEditorText(), "editor text");
    ASSERT_EQ(Model().rowCount(), 1);
    EXPECT_EQ(Cell(0, 3), "from the file");
    EXPECT_EQ(m_pFrame->CaptionText(), "dropped.mwx - Midwire");
    ASSERT_FALSE(m_pFrame->RecentFiles().isEmpty());
    EXPECT_EQ(m_pFrame->RecentFiles().first().toStdString(), strPath);
    QAction* pRecent = m_pFrame->Action(ID_FILE_MRU_FILE1);
    EXPECT_TRUE(pRecent->isVisible());
    EXPECT_EQ(pRecent->text().toStdString(), "&1 " + strPath);

    // A file of another type is not taken.
    QMimeData other;
    other.setUrls({QUrl::fromLocalFile(QString::fromStdString(strDir + "/notes.txt"))});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &other, Qt::LeftButton, Qt::NoModifier);
    static_cast<QObject*>(m_pFrame.get())->event(&enter);
    EXPECT_FALSE(enter.isAccepted());
}

TEST_F(MainFrameTest, FileNamesThatAreNotUtf8KeepEveryByte)
{
    // A Latin-1 name, as a shell in a Latin-1 locale (or any file manager)
    // hands it over: opening, the caption, the recent list in the settings,
    // Save As, a drop and a name relative to the working directory all
    // reach the file with these bytes, never one with U+FFFD's bytes.
    testutil::TempDir dir;
    const std::string strName = "caf\xE9.mwx";
    const std::string strPath = dir.Path(strName);
    ASSERT_TRUE(SaveHeadlessSession(strPath, "latin-1 name"));
    // A list of one name, as the settings file gives back a list of text
    // entries of one, is read as that name.
    m_pFrame.reset();
    QSettings().setValue(QStringLiteral("Recent File List/files"), QStringLiteral("/earlier/one.mwx"));
    {
        CMainFrame earlier(*m_pDoc);
        EXPECT_EQ(earlier.RecentFiles(), QStringList{QStringLiteral("/earlier/one.mwx")});
    }
    // A window that starts with an empty recent list.
    QSettings().remove(QStringLiteral("Recent File List"));
    m_pFrame = std::make_unique<CMainFrame>(*m_pDoc);
    m_pFrame->m_onMessageBox = [this](const std::string& s, UINT) {
        m_messages.push_back(s);
        return IDOK;
    };
    m_pFrame->RegisterWindowCommands();
    ASSERT_TRUE(m_pFrame->RecentFiles().isEmpty());

    ASSERT_TRUE(m_pFrame->OpenSessionFile(ArgumentText(strPath)));
    EXPECT_TRUE(m_messages.empty());
    EXPECT_EQ(m_pFrame->GetEditorText(), "latin-1 name");
    EXPECT_EQ(m_pDoc->m_strPathName, strPath);
    // Shown without U+FFFD: the byte that is not UTF-8 read as Latin-1.
    EXPECT_EQ(m_pFrame->CaptionText(), QString::fromUtf8("caf\xC3\xA9.mwx - Midwire"));
    EXPECT_EQ(m_pFrame->Action(ID_FILE_MRU_FILE1)->text(),
              QStringLiteral("&1 ") + QString::fromLatin1(strPath.data(), static_cast<qsizetype>(strPath.size())));
    ASSERT_FALSE(m_pFrame->RecentFiles().isEmpty());
    EXPECT_EQ(LocalText(m_pFrame->RecentFiles().first()), strPath);
    {
        // The next window reads the list back from the settings.
        CMainFrame next(*m_pDoc);
        ASSERT_EQ(next.RecentFiles().size(), 1);
        EXPECT_EQ(LocalText(next.RecentFiles().first()), strPath);
    }

    // Save As to another such name writes that file, and Save writes it again.
    const std::string strOther = dir.Path("na\xEFve \xFF.mwx");
    m_pFrame->m_onPromptFileName = [&](std::string& strChosen, bool) {
        strChosen = strOther;
        return true;
    };
    m_pFrame->SetEditorText("saved as");
    ASSERT_TRUE(m_pFrame->RunCommand(ID_FILE_SAVE_AS));
    EXPECT_TRUE(std::filesystem::exists(strOther));
    EXPECT_EQ(LocalText(m_pFrame->RecentFiles().first()), strOther);
    EXPECT_EQ(m_pFrame->CaptionText(), QString::fromLatin1("na\xEFve \xFF.mwx - Midwire"));

    // The file dialog itself, offered the current name and accepted as it
    // is, gives that name back.
    m_pFrame->m_onPromptFileName = nullptr;
    QTimer::singleShot(0, [] {
        if (auto* pDlg = QApplication::activeModalWidget())
            static_cast<QDialog*>(pDlg)->accept();
    });
    std::string strAsked = strOther;
    ASSERT_TRUE(m_pFrame->PromptFileName(strAsked, false, "All Files (*.*) | *.* ||", ""));
    EXPECT_EQ(strAsked, strOther);

    // Opened from the recent list.
    m_pFrame->SetEditorText("");
    ASSERT_GE(m_pFrame->RecentFiles().size(), 2);
    EXPECT_EQ(LocalText(m_pFrame->RecentFiles()[1]), strPath);
    ASSERT_TRUE(m_pFrame->RunCommand(ID_FILE_MRU_FILE1 + 1));
    EXPECT_EQ(m_pDoc->m_strPathName, strPath);
    EXPECT_EQ(m_pFrame->GetEditorText(), "latin-1 name");

    // Dropped: the URL carries the name's bytes percent-encoded.
    QMimeData mime;
    mime.setUrls({QUrl::fromEncoded(QByteArray("file://") +
                                    QByteArray::fromStdString(strOther).toPercentEncoding("/"))});
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    static_cast<QObject*>(m_pFrame.get())->event(&drop);
    EXPECT_TRUE(drop.isAccepted());
    Settle();
    EXPECT_EQ(m_pDoc->m_strPathName, strOther);
    EXPECT_EQ(m_pFrame->GetEditorText(), "saved as");

    // A name relative to the working directory.
    char szCwd[4096] = {};
    ASSERT_NE(::getcwd(szCwd, sizeof szCwd), nullptr);
    ASSERT_EQ(::chdir(dir.Root().c_str()), 0);
    const bool bRelative = m_pFrame->OpenSessionFile(ArgumentText(strName));
    const std::string strRecent = LocalText(m_pFrame->RecentFiles().first());
    ASSERT_EQ(::chdir(szCwd), 0);
    EXPECT_TRUE(bRelative);
    EXPECT_EQ(m_pDoc->m_strPathName, strPath);
    EXPECT_EQ(strRecent, strPath);
    EXPECT_TRUE(m_messages.empty());
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Root(), ec))
        EXPECT_TRUE(entry.path().string() == strPath || entry.path().string() == strOther) << entry.path();

    // A ".." after a symbolic link leads to the parent of the link's target,
    // as the file system resolves it, not to the directory of the link.
    std::filesystem::create_directories(dir.Path("sub/deep"));
    std::filesystem::create_symlink(dir.Path("sub/deep"), dir.Path("link"));
    std::filesystem::copy_file(strOther, dir.Path("sub/" + strName));
    ASSERT_TRUE(m_pFrame->OpenSessionFile(ArgumentText(dir.Path("link/../" + strName))));
    EXPECT_EQ(m_pFrame->GetEditorText(), "saved as");
}

TEST_F(MainFrameTest, PleaseWaitWindowAndItsCancel)
{
    CPleaseWaitDlg* pRaw = nullptr;
    {
        auto* pDlg = new CPleaseWaitDlg();
        pRaw = pDlg;
        EXPECT_EQ(pDlg->windowTitle(), "Please Wait");
        EXPECT_EQ(pDlg->Text()->text(), "Wait for");
        std::vector<std::int64_t> positions;
        CDialogProgress progress(pDlg, pDlg->Progress(), [&](std::int64_t n) { positions.push_back(n); });
        pDlg->Create("Printing... Midwire - Untitled", 1, 120);
        EXPECT_EQ(pDlg->Text()->text(), "Printing... Midwire - Untitled");
        EXPECT_TRUE(progress.IsOpen());
        progress.SetPos(50);
        EXPECT_EQ(pDlg->Progress()->value(), 50);
        // Enter, even with Cancel focused, does not cancel; Escape does.
        pDlg->findChild<QPushButton*>("cancel")->setFocus();
        for (const int nKey : {Qt::Key_Return, Qt::Key_Enter}) {
            PressKey(pDlg, nKey);
            EXPECT_TRUE(progress.IsOpen()) << nKey;
        }
        PressKey(pDlg, Qt::Key_Escape);
        EXPECT_FALSE(progress.IsOpen());
    }
    Settle();
    {
        auto* pDlg = new CPleaseWaitDlg();
        pRaw = pDlg;
        std::vector<std::int64_t> positions;
        CDialogProgress progress(pDlg, pDlg->Progress(), [&](std::int64_t n) { positions.push_back(n); });
        pDlg->Create("Printing... Midwire - Untitled", 1, 120);
        progress.SetPos(50);
        pDlg->findChild<QPushButton*>("cancel")->click();
        EXPECT_FALSE(progress.IsOpen());  // closed at once
        EXPECT_EQ(positions, (std::vector<std::int64_t>{50}));
    }
    Settle();
    for (QWidget* w : QApplication::topLevelWidgets())
        EXPECT_NE(w, static_cast<QWidget*>(pRaw));

    // The walks of the core see the same window through the front end.
    auto pWindow = m_pFrame->CreateProgress(EProgressKind::PleaseWait, "Saving", 0, 10);
    EXPECT_TRUE(pWindow->IsOpen());
    pWindow->Close();
    EXPECT_FALSE(pWindow->IsOpen());

    // A file name at the end of the text shows as the caption shows it, in
    // UTF-8 or not.
    for (const char* pszName : {"r\xC3\xA9sum\xC3\xA9.mwx", "r\xE9sum\xE9.mwx"}) {
        auto pNamed = m_pFrame->CreateProgress(EProgressKind::PleaseWait, std::string("Printing... ") + pszName, 0, 10);
        CPleaseWaitDlg* pShown = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (auto* p = qobject_cast<CPleaseWaitDlg*>(w); p && p->isVisible())
                pShown = p;
        }
        ASSERT_NE(pShown, nullptr);
        EXPECT_EQ(pShown->Text()->text(), QString::fromUtf8("Printing... r\xC3\xA9sum\xC3\xA9.mwx"));
        pNamed->Close();
        Settle();
    }
}

TEST_F(MainFrameTest, WindowStartsWithinTheScreenWithTheListAboveTheEditor)
{
    m_pFrame->show();
    Settle();
    const QRect available = m_pFrame->screen()->availableGeometry();
    EXPECT_LE(m_pFrame->frameGeometry().width(), available.width());
    EXPECT_LE(m_pFrame->frameGeometry().height(), available.height());
    // The history list takes the larger part, the editor the rest.
    const int nList = m_pFrame->ListView()->height();
    const int nEditor = m_pFrame->Editor()->height();
    EXPECT_GT(nEditor, 0);
    EXPECT_GT(nList, 2 * nEditor);
}

TEST_F(MainFrameTest, AboutBoxAndVisibleScroll)
{
    CAboutDlg about(m_pFrame.get());
    EXPECT_EQ(about.windowTitle(), "About Midwire");
    QStringList texts;
    for (const QLabel* p : about.findChildren<QLabel*>())
        if (!p->text().isEmpty())
            texts << p->text();
    EXPECT_EQ(texts, (QStringList{"Midwire Version 1.3.3", "MIME analisys using MIME++"}));

    // With Visible Scroll on, the newest row is brought into view.
    m_pFrame->show();
    m_pDoc->m_bVisibleScroll = TRUE;
    for (int i = 0; i < 500; ++i)
        Record(MakeEvent(EK_MESSAGE, "", "m"));
    Settle();
    CMidwireListView* pList = m_pFrame->ListView();
    EXPECT_TRUE(pList->viewport()->rect().intersects(pList->visualRect(Model().index(499, 0))));
    m_pDoc->m_bVisibleScroll = FALSE;
    pList->scrollToTop();
    Record(MakeEvent(EK_MESSAGE, "", "m"));
    Settle();
    EXPECT_FALSE(pList->viewport()->rect().intersects(pList->visualRect(Model().index(500, 0))));
}

// The Data column is wider than the pane: picking a row, by the mouse or
// the keyboard, must not shift the columns sideways; Left and Right do.
TEST_F(MainFrameTest, PickingARowLeavesTheColumnsWhereTheyAre)
{
    for (int i = 0; i < 200; ++i)
        Record(MakeEvent(EK_RECEIVED_FROM_CLIENT, std::string(300, 'a')));
    m_pFrame->resize(600, 500);
    m_pFrame->show();
    Settle();
    CMidwireListView* pList = m_pFrame->ListView();
    QScrollBar* pBar = pList->horizontalScrollBar();
    ASSERT_GT(pBar->maximum(), 0);
    pList->setFocus();

    // A click selects a row through its clicked cell: the Data cell, then
    // the label.
    pBar->setValue(0);
    pList->setCurrentIndex(Model().index(3, CEventListModel::COL_DATA));
    EXPECT_EQ(pBar->value(), 0);
    pBar->setValue(pBar->maximum());
    pList->setCurrentIndex(Model().index(4, CEventListModel::COL_ACTION));
    EXPECT_EQ(pBar->value(), pBar->maximum());

    // Going down to a row out of sight still scrolls to it.
    pBar->setValue(0);
    pList->setCurrentIndex(Model().index(190, CEventListModel::COL_DATA));
    EXPECT_TRUE(pList->viewport()->rect().intersects(pList->visualRect(Model().index(190, 0))));
    EXPECT_EQ(pBar->value(), 0);

    auto press = [pList](Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        PressKey(pList, key, modifiers);
    };
    press(Qt::Key_Right);
    EXPECT_GT(pBar->value(), 0);
    EXPECT_EQ(pList->currentIndex().row(), 190);
    press(Qt::Key_Left);
    EXPECT_EQ(pBar->value(), 0);
    EXPECT_TRUE(pList->selectionModel()->isRowSelected(190, QModelIndex()));
}

// Home and End go to the first and the newest row; with Shift they select
// up to it.
TEST_F(MainFrameTest, HomeAndEndGoToTheFirstAndLastRow)
{
    for (int i = 0; i < 100; ++i)
        Record(MakeEvent(EK_MESSAGE, "", "m" + std::to_string(i)));
    m_pFrame->show();
    Settle();
    CMidwireListView* pList = m_pFrame->ListView();
    pList->setFocus();
    auto press = [pList](Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        PressKey(pList, key, modifiers);
    };
    pList->setCurrentIndex(Model().index(40, 0));
    press(Qt::Key_End);
    EXPECT_EQ(pList->currentIndex().row(), 99);
    EXPECT_EQ(m_pFrame->GetSelectedEvents(), std::vector<HistoryEvent*>{Model().EventAt(99)});
    EXPECT_TRUE(pList->viewport()->rect().intersects(pList->visualRect(Model().index(99, 0))));
    press(Qt::Key_Home);
    EXPECT_EQ(pList->currentIndex().row(), 0);
    EXPECT_EQ(m_pFrame->GetSelectedEvents(), std::vector<HistoryEvent*>{Model().EventAt(0)});

    pList->setCurrentIndex(Model().index(97, 0));
    press(Qt::Key_End, Qt::ShiftModifier);
    EXPECT_EQ(m_pFrame->GetSelectedEvents(),
              (std::vector<HistoryEvent*>{Model().EventAt(97), Model().EventAt(98), Model().EventAt(99)}));
    // Enter then brings the row reached into the editor.
    press(Qt::Key_Return);
    EXPECT_EQ(m_pFrame->GetEditorText(), "m99");
}

// A "[*]" in a session's file name is shown as it is in the title, not
// taken for the modified-document mark.
TEST_F(MainFrameTest, TitleShowsTheFileNameWhole)
{
    testutil::TempDir dir;
    const std::string strPath = dir.Path("a[*]b[*][*].mwx");
    ASSERT_TRUE(SaveHeadlessSession(strPath, ""));
    m_pFrame->show();
    ASSERT_TRUE(m_pFrame->OpenSessionFile(QString::fromStdString(strPath)));
    Settle();
    EXPECT_EQ(m_pFrame->CaptionText(), "a[*]b[*][*].mwx - Midwire");
    ASSERT_NE(m_pFrame->windowHandle(), nullptr);
    EXPECT_EQ(m_pFrame->windowHandle()->title(), "a[*]b[*][*].mwx - Midwire");
    // The idle update keeps it so.
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    while (std::chrono::steady_clock::now() < end)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_EQ(m_pFrame->windowHandle()->title(), "a[*]b[*][*].mwx - Midwire");
}

// Tab and Shift+Tab move the focus between the list and the editor and
// leave the selected row as it is.
TEST_F(MainFrameTest, TabLeavesTheListForTheEditor)
{
    for (int i = 0; i < 10; ++i)
        Record(MakeEvent(EK_MESSAGE, "", "m" + std::to_string(i)));
    m_pFrame->show();
    QApplication::setActiveWindow(m_pFrame.get());
    Settle();
    CMidwireListView* pList = m_pFrame->ListView();
    pList->setFocus();
    pList->selectRow(2);
    Settle();
    ASSERT_EQ(QApplication::focusWidget(), pList);
    auto press = [](Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        PressKey(QApplication::focusWidget(), key, modifiers);
    };
    press(Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), m_pFrame->Editor());
    EXPECT_EQ(m_pFrame->GetSelectedEvents(), std::vector<HistoryEvent*>{Model().EventAt(2)});
    // Tab in the editor is typed; Shift+Tab goes back to the list.
    press(Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_EQ(QApplication::focusWidget(), pList);
    EXPECT_EQ(pList->currentIndex().row(), 2);
    EXPECT_EQ(m_pFrame->GetSelectedEvents(), std::vector<HistoryEvent*>{Model().EventAt(2)});
}

// F6 and Shift+F6, pressed as keys, move between the two panes whichever
// has the focus, and the editing keys act in the editor they lead to.
TEST_F(MainFrameTest, PaneKeysMoveBetweenListAndEditor)
{
    Record(MakeEvent(EK_MESSAGE, "", "m"));
    m_pFrame->show();
    QApplication::setActiveWindow(m_pFrame.get());
    CMidwireListView* pList = m_pFrame->ListView();
    pList->setFocus();
    Settle();
    ASSERT_EQ(QApplication::focusWidget(), pList);
    QTest::keyClick(m_pFrame.get(), Qt::Key_F6);
    EXPECT_EQ(QApplication::focusWidget(), m_pFrame->Editor());
    QTest::keyClicks(QApplication::focusWidget(), "ab");
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Z, Qt::ControlModifier);
    Settle();
    EXPECT_EQ(m_pFrame->GetEditorText(), "");
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_F6, Qt::ShiftModifier);
    EXPECT_EQ(QApplication::focusWidget(), pList);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_F6, Qt::ShiftModifier);
    EXPECT_EQ(QApplication::focusWidget(), m_pFrame->Editor());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_F6);
    EXPECT_EQ(QApplication::focusWidget(), pList);
}

// A Data cell is one line: a message's line breaks show as spaces, so its
// end is not hidden, and the line breaks of the display options are left
// out of data.
TEST_F(MainFrameTest, DataCellsShowTheirTextOnOneLine)
{
    Record(MakeEvent(EK_ERROR, "", "Error accepting a connection from port 80.\nListening has been stopped. 3"));
    Record(MakeEvent(EK_MESSAGE, "", "one\r\ntwo\tthree"));
    const char chBreak = g_chDisplayBreak;
    const BOOL bKeep = g_bKeepBreaks;
    const int nMax = g_nMaxLineLength;
    g_chDisplayBreak = '\n';
    g_bKeepBreaks = TRUE;
    g_nMaxLineLength = 4;
    Record(MakeEvent(EK_RECEIVED_FROM_CLIENT, "abcdef\r\nxy"));
    Settle();
    EXPECT_EQ(Cell(0, 3), "Error accepting a connection from port 80. Listening has been stopped. 3");
    EXPECT_EQ(Cell(1, 3), "one two three");
    EXPECT_EQ(Cell(2, 3), "abcdef[13][10]xy");
    // The editor still gets the text as it is.
    m_pFrame->ListView()->OpenRowInEditor(2);
    EXPECT_EQ(m_pFrame->GetEditorText(), "abcd\nef[13]\n[10]\nxy");
    g_chDisplayBreak = chBreak;
    g_bKeepBreaks = bKeep;
    g_nMaxLineLength = nMax;
}

// A message or a progress line that names a file with markup in its name
// shows the name as it is, not as formatting. Messages are errors and
// notices: they show the warning icon unless another is asked for, and a
// Yes or No box shows the question icon.
TEST_F(MainFrameTest, MessagesAndProgressLinesShowMarkupAsText)
{
    const std::string strMessage = "Unable to open file: /tmp/<b>x</b>&lt;.mwx ; No such file or directory.";
    m_pFrame->m_onMessageBox = nullptr;
    struct Shown {
        Qt::TextFormat format;
        QString text;
        QMessageBox::Icon icon;
    };
    std::vector<Shown> shown;
    auto answer = [&shown] {
        QTimer::singleShot(0, [&shown] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (auto* pBox = qobject_cast<QMessageBox*>(w); pBox && pBox->isVisible()) {
                    const auto* pLabel = pBox->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
                    if (pLabel)
                        shown.push_back({pLabel->textFormat(), pLabel->text(), pBox->icon()});
                    pBox->accept();
                }
            }
        });
    };
    answer();
    EXPECT_EQ(m_pFrame->MessageBox(strMessage), IDOK);
    answer();
    m_pFrame->WarningBox(strMessage);
    ASSERT_EQ(shown.size(), 2u);
    for (const auto& [format, text, icon] : shown) {
        EXPECT_EQ(format, Qt::PlainText);
        EXPECT_EQ(text.toStdString(), strMessage);
        EXPECT_EQ(icon, QMessageBox::Warning);
    }

    shown.clear();
    for (const UINT nType : {UINT(MB_YESNO), UINT(MB_OK | MB_ICONINFORMATION), UINT(MB_OKCANCEL | MB_ICONHAND)}) {
        answer();
        m_pFrame->MessageBox("x", nType);
    }
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[0].icon, QMessageBox::Question);
    EXPECT_EQ(shown[1].icon, QMessageBox::Information);
    EXPECT_EQ(shown[2].icon, QMessageBox::Critical);

    auto pWindow = m_pFrame->CreateProgress(EProgressKind::PleaseWait, "Printing... <i>a</i>.mwx", 0, 10);
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* p = qobject_cast<CPleaseWaitDlg*>(w); p && p->isVisible()) {
            EXPECT_EQ(p->Text()->textFormat(), Qt::PlainText);
            EXPECT_EQ(p->Text()->text(), "Printing... <i>a</i>.mwx");
        }
    }
    pWindow->Close();
}

// A selection removed from the start of one piece on into a later piece,
// by Delete, by typing over it or by Cut, keeps the line break (or the
// join) that lay before it: the block left there took the mark of the
// later piece, and a line break still shown was lost from the text, or one
// not shown was added. Undo and Redo take the removal back and redo it whole.
TEST_F(MainFrameTest, SelectionRemovedFromAPieceStartKeepsTheBreakBeforeIt)
{
    CMidwireEdit* pEdit = ShowFocusedEditor();
    QTextDocument* pDoc = pEdit->document();
    // A line of four pieces (4096, 4096, 4096 and 100 characters) between
    // two short lines.
    const std::string strLine = AlphabetLine(3 * CMidwireEdit::kPieceLength + 100);
    const std::string strText = "short\n" + strLine + "\nnext";
    const std::size_t nPiece = CMidwireEdit::kPieceLength;

    struct Case {
        int nFromBlock, nFromOffset, nToBlock, nToOffset;  // in the document
        std::size_t nFrom, nTo;                            // in the text
    };
    const Case cases[] = {
        // From the line's first piece into its second: the line break before stays.
        {1, 0, 2, 10, 6, 6 + nPiece + 10},
        // From the third piece into the next line: the join before stays.
        {3, 0, 5, 2, 6 + 2 * nPiece, 6 + 3 * nPiece + 100 + 1 + 2},
    };
    auto select = [&](const Case& c) {
        QTextCursor cursor(pDoc);
        cursor.setPosition(pDoc->findBlockByNumber(c.nFromBlock).position() + c.nFromOffset);
        cursor.setPosition(pDoc->findBlockByNumber(c.nToBlock).position() + c.nToOffset, QTextCursor::KeepAnchor);
        pEdit->setTextCursor(cursor);
    };
    for (const Case& c : cases) {
        std::string strExpected = strText;
        strExpected.erase(c.nFrom, c.nTo - c.nFrom);

        m_pFrame->SetEditorText(strText);
        select(c);
        PressKey(pEdit, Qt::Key_Delete);
        EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), strExpected)) << c.nFrom;
        EXPECT_EQ(m_pFrame->GetEditorTextLength(), strExpected.size());
        pDoc->undo();
        EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), strText)) << c.nFrom;
        pDoc->redo();
        EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), strExpected)) << c.nFrom;

        m_pFrame->SetEditorText(strText);
        select(c);
        QKeyEvent typed(QEvent::KeyPress, Qt::Key_X, Qt::NoModifier, QStringLiteral("x"));
        QApplication::sendEvent(pEdit, &typed);
        std::string strTyped = strExpected;
        strTyped.insert(c.nFrom, "x");
        EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), strTyped)) << c.nFrom;

        // Cut from the Edit menu, read back at once.
        m_pFrame->SetEditorText(strText);
        select(c);
        ASSERT_TRUE(m_pFrame->RunCommand(ID_EDIT_CUT));
        EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), strExpected)) << c.nFrom;
    }
}

// A paragraph separator in pasted text is a line break wherever it lands;
// pasted into a piece that continues a long line it was shown as a break
// but left out of the text.
TEST_F(MainFrameTest, PastedParagraphSeparatorIsALineBreakInsideALongLine)
{
    CMidwireEdit* pEdit = ShowFocusedEditor();
    const std::string strLine(2 * CMidwireEdit::kPieceLength, 'a');
    m_pFrame->SetEditorText(strLine);
    QTextDocument* pDoc = pEdit->document();
    ASSERT_TRUE(CMidwireEdit::IsContinuation(pDoc->findBlockByNumber(1)));
    QTextCursor cursor(pDoc->findBlockByNumber(1));
    cursor.movePosition(QTextCursor::NextCharacter, QTextCursor::MoveAnchor, 10);
    pEdit->setTextCursor(cursor);
    QGuiApplication::clipboard()->setText(QStringLiteral("x") + QChar(QChar::ParagraphSeparator) + QStringLiteral("y"));
    Settle();
    if (!Enabled(ID_EDIT_PASTE))
        GTEST_SKIP() << "no clipboard on this platform";
    ASSERT_TRUE(m_pFrame->RunCommand(ID_EDIT_PASTE));
    std::string strExpected = strLine;
    strExpected.insert(CMidwireEdit::kPieceLength + 10, "x\ny");
    EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), strExpected));
    EXPECT_EQ(m_pFrame->GetEditorTextLength(), strExpected.size());
}

// A piece of a long line emptied by the user: Delete in it, or Backspace at
// the start of the line after it, joins that line to the long one, as at
// the end of any line. The keys took only the join before the empty piece.
TEST_F(MainFrameTest, DeleteOrBackspaceBesideAnEmptiedPieceJoinsTheLines)
{
    CMidwireEdit* pEdit = m_pFrame->Editor();
    QTextDocument* pDoc = pEdit->document();
    const std::string strLine(2 * CMidwireEdit::kPieceLength, 'a');
    const std::string strText = strLine + "\nnext";
    for (const int nKey : {Qt::Key_Delete, Qt::Key_Backspace}) {
        m_pFrame->SetEditorText(strText);
        // Empty the second piece by selecting its text alone.
        QTextCursor cursor(pDoc->findBlockByNumber(1));
        ASSERT_TRUE(CMidwireEdit::IsContinuation(cursor.block()));
        cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
        pEdit->setTextCursor(cursor);
        PressKey(pEdit, Qt::Key_Delete);
        const std::string strEmptied = std::string(CMidwireEdit::kPieceLength, 'a') + "\nnext";
        ASSERT_TRUE(SameText(m_pFrame->GetEditorText(), strEmptied));
        if (nKey == Qt::Key_Backspace)
            pEdit->setTextCursor(QTextCursor(pDoc->findBlockByNumber(2)));
        PressKey(pEdit, nKey);
        EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), std::string(CMidwireEdit::kPieceLength, 'a') + "next")) << nKey;
        pDoc->undo();
        EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), strEmptied)) << nKey;
    }
}

// At a join between two pieces of a long line, Left and Right move by one
// character of the line, and Ctrl+Backspace and Ctrl+Delete take a word:
// they took a key press for the join alone.
TEST_F(MainFrameTest, ArrowAndWordKeysAtAJoinActOnTheLine)
{
    CMidwireEdit* pEdit = m_pFrame->Editor();
    QTextDocument* pDoc = pEdit->document();
    std::string strLine;
    for (int i = 0; strLine.size() < 2 * CMidwireEdit::kPieceLength; ++i)
        strLine += "abc ";
    const std::size_t nJoin = CMidwireEdit::kPieceLength;  // where the second piece starts in the text
    auto atSecondPiece = [&] {
        m_pFrame->SetEditorText(strLine);
        EXPECT_TRUE(CMidwireEdit::IsContinuation(pDoc->findBlockByNumber(1)));
        pEdit->setTextCursor(QTextCursor(pDoc->findBlockByNumber(1)));
    };
    auto atFirstPieceEnd = [&] {
        m_pFrame->SetEditorText(strLine);
        QTextCursor cursor(pDoc->findBlockByNumber(0));
        cursor.movePosition(QTextCursor::EndOfBlock);
        pEdit->setTextCursor(cursor);
    };
    auto typed = [&](std::size_t nAt) {
        std::string s = strLine;
        return s.insert(nAt, "x");
    };

    atSecondPiece();
    PressKey(pEdit, Qt::Key_Left);
    pEdit->insertPlainText("x");
    EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), typed(nJoin - 1)));

    atFirstPieceEnd();
    PressKey(pEdit, Qt::Key_Right);
    pEdit->insertPlainText("x");
    EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), typed(nJoin + 1)));

    // Shift+Left selects the character before the join.
    atSecondPiece();
    PressKey(pEdit, Qt::Key_Left, Qt::ShiftModifier);
    PressKey(pEdit, Qt::Key_Delete);
    std::string strExpected = strLine;
    EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), strExpected.erase(nJoin - 1, 1)));

    // In overwrite mode a character typed at the join replaces the one after it.
    atFirstPieceEnd();
    pEdit->setOverwriteMode(true);
    QKeyEvent typedY(QEvent::KeyPress, Qt::Key_Y, Qt::NoModifier, QStringLiteral("y"));
    QApplication::sendEvent(pEdit, &typedY);
    pEdit->setOverwriteMode(false);
    strExpected = strLine;
    EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), strExpected.replace(nJoin, 1, "y")));

    // The word before the join ("abc " ends the first piece) and the word after it.
    atSecondPiece();
    PressKey(pEdit, Qt::Key_Backspace, Qt::ControlModifier);
    EXPECT_LT(m_pFrame->GetEditorText().size(), strLine.size());
    EXPECT_EQ(m_pFrame->GetEditorText().substr(nJoin - 4, 4), strLine.substr(nJoin, 4));
    atFirstPieceEnd();
    PressKey(pEdit, Qt::Key_Delete, Qt::ControlModifier);
    EXPECT_LT(m_pFrame->GetEditorText().size(), strLine.size());
    EXPECT_EQ(m_pFrame->GetEditorText().substr(0, nJoin), strLine.substr(0, nJoin));
}

// The editor with its drop step open to tests: a drag on the offscreen
// platform ends before anything is dropped.
class DropTestEdit : public CMidwireEdit {
public:
    using CMidwireEdit::MoveSelectionTo;
};

// A selection dragged to another place in the editor is moved as Cut then
// Paste at the drop point would move it, in one Undo step. Taken from the
// start of a piece, it kept the mark of a later block when dropped before
// it or at its own start: a line break shown was lost from the text, or one
// not shown was added.
TEST_F(MainFrameTest, SelectionMovedFromAPieceStartKeepsTheLineBreaks)
{
    DropTestEdit edit;
    QTextDocument* pDoc = edit.document();
    const std::string strLine = AlphabetLine(3 * CMidwireEdit::kPieceLength + 100);
    const std::string strText = "short\n" + strLine + "\nnext";
    const std::size_t nPiece = CMidwireEdit::kPieceLength;

    struct Case {
        int nFromBlock, nFromOffset, nToBlock, nToOffset, nDropBlock, nDropOffset;  // in the document
        std::size_t nFrom, nTo, nDrop;  // in the text, the drop point before the move
    };
    const std::size_t nNextLine = 6 + 3 * nPiece + 100 + 1;
    const Case cases[] = {
        // From the third piece into the next line, dropped where it started,
        // at the start of the text, at the end of the first piece (before
        // the join) and at the end of the text.
        {3, 0, 5, 2, 3, 0, 6 + 2 * nPiece, nNextLine + 2, 6 + 2 * nPiece},
        {3, 0, 5, 2, 0, 0, 6 + 2 * nPiece, nNextLine + 2, 0},
        {3, 0, 5, 2, 1, static_cast<int>(nPiece), 6 + 2 * nPiece, nNextLine + 2, 6 + nPiece},
        {3, 0, 5, 2, 5, 4, 6 + 2 * nPiece, nNextLine + 2, strText.size()},
        // From the line's first piece into its second, dropped inside the
        // selection, at the join after it and on the next line.
        {1, 0, 2, 10, 2, 5, 6, 6 + nPiece + 10, 6 + nPiece + 5},
        {1, 0, 2, 10, 2, static_cast<int>(nPiece), 6, 6 + nPiece + 10, 6 + 2 * nPiece},
        {1, 0, 5, 0, 0, 2, 6, nNextLine, 2},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(edit.SetText(strText));
        QTextCursor selection(pDoc);
        selection.setPosition(pDoc->findBlockByNumber(c.nFromBlock).position() + c.nFromOffset);
        selection.setPosition(pDoc->findBlockByNumber(c.nToBlock).position() + c.nToOffset, QTextCursor::KeepAnchor);
        edit.setTextCursor(selection);
        const std::string strMoved = strText.substr(c.nFrom, c.nTo - c.nFrom);
        QMimeData data;
        data.setText(QString::fromStdString(strMoved));
        std::string strExpected = strText;
        strExpected.erase(c.nFrom, c.nTo - c.nFrom);
        const std::size_t nDrop =
            c.nDrop <= c.nFrom ? c.nDrop : c.nDrop <= c.nTo ? c.nFrom : c.nDrop - strMoved.size();
        strExpected.insert(nDrop, strMoved);

        QTextCursor target(pDoc);
        target.setPosition(pDoc->findBlockByNumber(c.nDropBlock).position() + c.nDropOffset);
        edit.MoveSelectionTo(target, &data);
        Settle();
        EXPECT_TRUE(SameText(edit.GetText(), strExpected)) << c.nFrom << " to " << c.nDrop;
        EXPECT_EQ(edit.GetTextLength(), strExpected.size());
        pDoc->undo();
        EXPECT_TRUE(SameText(edit.GetText(), strText)) << c.nFrom << " to " << c.nDrop;
        pDoc->redo();
        EXPECT_TRUE(SameText(edit.GetText(), strExpected)) << c.nFrom << " to " << c.nDrop;
    }
}

// Text dropped from elsewhere (or copied with Ctrl held) on either side of
// the join between two pieces lands at that place of the line, its line
// break kept, in one Undo step.
TEST_F(MainFrameTest, TextDroppedAtAJoinLandsInTheLine)
{
    CMidwireEdit* pEdit = m_pFrame->Editor();
    m_pFrame->resize(800, 600);
    m_pFrame->show();
    Settle();
    QTextDocument* pDoc = pEdit->document();
    const std::string strLine(2 * CMidwireEdit::kPieceLength, 'a');
    const std::string strText = strLine + "\nnext";
    for (const bool bBeforeJoin : {false, true}) {
        m_pFrame->SetEditorText(strText);
        QTextCursor at(pDoc->findBlockByNumber(1));
        ASSERT_TRUE(CMidwireEdit::IsContinuation(at.block()));
        if (bBeforeJoin)
            at.movePosition(QTextCursor::PreviousCharacter);
        pEdit->setTextCursor(at);
        pEdit->ensureCursorVisible();
        Settle();
        const QPoint point = pEdit->cursorRect().center();
        ASSERT_EQ(pEdit->cursorForPosition(point).position(), at.position()) << bBeforeJoin;

        QMimeData data;
        data.setText(QStringLiteral("x\ny"));
        QDragEnterEvent enter(point, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(pEdit->viewport(), &enter);
        QDragMoveEvent move(point, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(pEdit->viewport(), &move);
        QDropEvent drop(QPointF(point), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(pEdit->viewport(), &drop);
        Settle();
        std::string strExpected = strText;
        strExpected.insert(CMidwireEdit::kPieceLength, "x\ny");
        EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), strExpected)) << bBeforeJoin;
        EXPECT_EQ(m_pFrame->GetEditorTextLength(), strExpected.size());
        pDoc->undo();
        EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), strText)) << bBeforeJoin;
    }
}

// Input method text at the join between two pieces of a long line counts
// the line's characters: a replacement range took the join for a
// character, and one from a line start on into a later piece lost the line
// break before it; a committed line break within a piece was lost from the
// text. Each input is one Undo step.
TEST_F(MainFrameTest, InputMethodTextAtAJoinActsOnTheLine)
{
    CMidwireEdit* pEdit = m_pFrame->Editor();
    m_pFrame->show();
    pEdit->setFocus();
    Settle();
    QTextDocument* pDoc = pEdit->document();
    const std::string strLine = AlphabetLine(2 * CMidwireEdit::kPieceLength);
    const std::string strText = "ab\n" + strLine + "\nnext";
    const std::size_t nJoin = 3 + CMidwireEdit::kPieceLength;  // where the second piece starts in the text

    struct Case {
        const char* pszWhat;
        int nBlock, nOffset;                      // where the cursor is
        int nReplaceFrom, nReplaceLength;         // the input method's range
        const char* pszCommit;
        std::size_t nFrom, nLength;               // what is replaced in the text
    };
    const int nPiece = CMidwireEdit::kPieceLength;
    const Case cases[] = {
        {"the character before the join", 2, 0, -1, 1, "Z", nJoin - 1, 1},
        {"the character after the join", 1, nPiece, 0, 1, "Z", nJoin, 1},
        {"from the line start over the join", 1, 0, 0, nPiece + 1, "Z", 3, CMidwireEdit::kPieceLength + 1},
        {"a line break committed in a piece", 2, 10, 0, 0, "x\ny", nJoin + 10, 0},
        {"a character inside a piece", 2, 10, -1, 1, "Z", nJoin + 9, 1},
    };
    auto input = [&](const Case& c) {
        m_pFrame->SetEditorText(strText);
        QTextCursor cursor(pDoc->findBlockByNumber(c.nBlock));
        cursor.movePosition(QTextCursor::NextCharacter, QTextCursor::MoveAnchor, c.nOffset);
        pEdit->setTextCursor(cursor);
        // Composed text shown first, which the committed text takes the place of.
        QInputMethodEvent preedit(QStringLiteral("p"), {});
        QApplication::sendEvent(pEdit, &preedit);
        QInputMethodEvent event(QString(), {});
        event.setCommitString(QString::fromLatin1(c.pszCommit), c.nReplaceFrom, c.nReplaceLength);
        QApplication::sendEvent(pEdit, &event);
        Settle();
        for (QTextBlock block = pDoc->begin(); block.isValid(); block = block.next())
            EXPECT_TRUE(block.layout()->preeditAreaText().isEmpty()) << c.pszWhat;
    };
    for (const Case& c : cases) {
        std::string strExpected = strText;
        strExpected.replace(c.nFrom, c.nLength, c.pszCommit);
        input(c);
        EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), strExpected)) << c.pszWhat;
        EXPECT_EQ(m_pFrame->GetEditorTextLength(), strExpected.size()) << c.pszWhat;
        pDoc->undo();
        EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), strText)) << c.pszWhat;
        pDoc->redo();
        EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), strExpected)) << c.pszWhat;

        // Typing goes on after the committed text.
        input(c);
        pEdit->insertPlainText(QStringLiteral("t"));
        EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), strExpected.insert(c.nFrom + std::strlen(c.pszCommit), "t")))
            << c.pszWhat;
    }
}

// Delete to the end of the line (Ctrl+K on X11 desktops), in a piece of a
// long line or at the end of one, takes the rest of the line: it took the
// rest of the piece, or nothing at a piece's end.
TEST_F(MainFrameTest, DeleteToEndOfLineTakesTheRestOfALongLine)
{
    const QList<QKeySequence> keys = QKeySequence::keyBindings(QKeySequence::DeleteEndOfLine);
    if (keys.isEmpty())
        GTEST_SKIP() << "no key deletes to the end of the line on this platform";
    const QKeyCombination key = keys.first()[0];
    CMidwireEdit* pEdit = m_pFrame->Editor();
    QTextDocument* pDoc = pEdit->document();
    const std::string strLine(3 * CMidwireEdit::kPieceLength, 'a');
    const std::string strText = "ab\n" + strLine + "\nnext";
    // Where the cursor is: in the document and in the text.
    const struct {
        int nBlock, nOffset;
        std::size_t nAt;
    } cases[] = {
        {1, 10, 3 + 10},                                                      // in the first piece
        {2, 0, 3 + CMidwireEdit::kPieceLength},                               // at the second piece's start
        {1, CMidwireEdit::kPieceLength, 3 + CMidwireEdit::kPieceLength},      // at the first piece's end
        {1, 0, 3},                                                            // at the line's start
    };
    for (const auto& c : cases) {
        m_pFrame->SetEditorText(strText);
        QTextCursor cursor(pDoc->findBlockByNumber(c.nBlock));
        cursor.movePosition(QTextCursor::NextCharacter, QTextCursor::MoveAnchor, c.nOffset);
        pEdit->setTextCursor(cursor);
        PressKey(pEdit, key.key(), key.keyboardModifiers());
        std::string strExpected = strText;
        strExpected.erase(c.nAt, 3 + strLine.size() - c.nAt);
        EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), strExpected)) << c.nAt;
        EXPECT_EQ(m_pFrame->GetEditorTextLength(), strExpected.size());
        pDoc->undo();
        EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), strText)) << c.nAt;
    }
    // At the end of the line there is nothing more to take.
    m_pFrame->SetEditorText(strText);
    QTextCursor cursor(pDoc->findBlockByNumber(3));
    cursor.movePosition(QTextCursor::EndOfBlock);
    pEdit->setTextCursor(cursor);
    PressKey(pEdit, key.key(), key.keyboardModifiers());
    EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), strText));
}

// An edit from the start of the text on into a piece of a long line (Select
// All and Delete, typing over such a selection, Cut) left the text's first
// block marked as continuing a line: Left or Backspace at the start of the
// text then never returned, and the editor hung.
TEST_F(MainFrameTest, EditFromTheStartOfTheTextLeavesItsFirstLineWhole)
{
    CMidwireEdit* pEdit = ShowFocusedEditor();
    QTextDocument* pDoc = pEdit->document();
    const std::string strLine(2 * CMidwireEdit::kPieceLength + 10, 'a');
    const auto firstBlockMarked = [&] {
        Settle();
        return CMidwireEdit::IsContinuation(pDoc->firstBlock());
    };

    // Select All and Delete on a text that ends in a long line.
    m_pFrame->SetEditorText("ab\n" + strLine);
    pEdit->selectAll();
    PressKey(pEdit, Qt::Key_Delete);
    ASSERT_FALSE(firstBlockMarked());
    PressKey(pEdit, Qt::Key_Left);
    PressKey(pEdit, Qt::Key_Backspace);
    PressKey(pEdit, Qt::Key_Left, Qt::ControlModifier);
    pEdit->insertPlainText(QStringLiteral("x"));
    EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), "x"));
    EXPECT_EQ(m_pFrame->GetEditorTextLength(), 1u);

    // From the start of the text into the third piece, by Delete, by typing
    // over it and by Cut: the rest reads as the rest of the line; Undo
    // brings the first line back.
    for (const int nHow : {0, 1, 2}) {
        m_pFrame->SetEditorText("ab\n" + strLine);
        QTextCursor cursor(pDoc);
        cursor.setPosition(pDoc->findBlockByNumber(3).position() + 5, QTextCursor::KeepAnchor);
        pEdit->setTextCursor(cursor);
        std::string strExpected = strLine.substr(2 * CMidwireEdit::kPieceLength + 5);
        if (nHow == 0) {
            PressKey(pEdit, Qt::Key_Delete);
        } else if (nHow == 1) {
            QKeyEvent typed(QEvent::KeyPress, Qt::Key_X, Qt::NoModifier, QStringLiteral("x"));
            QApplication::sendEvent(pEdit, &typed);
            strExpected.insert(0, "x");
        } else {
            ASSERT_TRUE(m_pFrame->RunCommand(ID_EDIT_CUT));
        }
        ASSERT_FALSE(firstBlockMarked()) << nHow;
        pEdit->moveCursor(QTextCursor::Start);
        PressKey(pEdit, Qt::Key_Left);
        PressKey(pEdit, Qt::Key_Backspace);
        EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), strExpected)) << nHow;
        EXPECT_EQ(m_pFrame->GetEditorTextLength(), strExpected.size()) << nHow;
        pDoc->undo();
        EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), "ab\n" + strLine)) << nHow;
        EXPECT_FALSE(CMidwireEdit::IsContinuation(pDoc->firstBlock())) << nHow;
        EXPECT_TRUE(CMidwireEdit::IsContinuation(pDoc->findBlockByNumber(2))) << nHow;
    }
}

// A triple click on a long line selects the whole line and its line break,
// as on any line, and dragging on extends by lines; it selected only the
// piece clicked.
TEST_F(MainFrameTest, TripleClickSelectsAWholeLongLine)
{
    CMidwireEdit* pEdit = ShowFocusedEditor(1000);
    QTextDocument* pDoc = pEdit->document();
    const std::string strLine = AlphabetLine(3 * CMidwireEdit::kPieceLength);
    m_pFrame->SetEditorText("ab\n" + strLine + "\nnext\nlast");
    const auto send = [&](QEvent::Type type, QPoint point, Qt::MouseButtons buttons) {
        SendMouse(pEdit, type, point, buttons);
    };
    // A point in the line's second piece, and one on the line after it.
    QTextCursor at(pDoc->findBlockByNumber(2));
    at.movePosition(QTextCursor::NextCharacter, QTextCursor::MoveAnchor, 12);
    pEdit->setTextCursor(at);
    pEdit->centerCursor();
    Settle();
    const QPoint point = pEdit->cursorRect().center();

    HoldTripleClick(pEdit, point);
    EXPECT_EQ(pEdit->textCursor().selectionStart(), pDoc->findBlockByNumber(1).position());
    EXPECT_EQ(pEdit->textCursor().selectionEnd(), pDoc->findBlockByNumber(4).position());
    // A small move of the held button keeps the line selected.
    send(QEvent::MouseMove, point + QPoint(1, 0), Qt::LeftButton);
    send(QEvent::MouseButtonRelease, point + QPoint(1, 0), Qt::NoButton);
    EXPECT_EQ(pEdit->textCursor().selectionStart(), pDoc->findBlockByNumber(1).position());
    EXPECT_EQ(pEdit->textCursor().selectionEnd(), pDoc->findBlockByNumber(4).position());
    PressKey(pEdit, Qt::Key_Delete);
    EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), "ab\nnext\nlast"));

    // A later single click only places the cursor.
    pEdit->undo();
    send(QEvent::MouseButtonPress, point, Qt::LeftButton);
    send(QEvent::MouseButtonRelease, point, Qt::NoButton);
    EXPECT_FALSE(pEdit->textCursor().hasSelection());
}

namespace {

// Words of two letters and a space, over and over, nLength long.
std::string WordFiller(std::size_t nLength)
{
    std::string strText;
    while (strText.size() < nLength)
        strText += "uv ";
    strText.resize(nLength);
    return strText;
}

// Where a document position of the editor's first line is in the line's
// text: each join between pieces before it is a position of its own.
int LinePosition(QTextDocument* pDoc, int nPosition)
{
    return nPosition - pDoc->findBlock(nPosition).blockNumber();
}

}  // namespace

// A double click on a word that runs over the join between two pieces of a
// long line selects the whole word, clicked in either piece, and typing then
// replaces all of it; it selected the part in the piece clicked. Dragging on
// with the button held extends the selection by whole words of the line.
TEST_F(MainFrameTest, DoubleClickSelectsAWholeWordOverAJoin)
{
    CMidwireEdit* pEdit = ShowFocusedEditor(1000);
    QTextDocument* pDoc = pEdit->document();
    const int nJoin = CMidwireEdit::kPieceLength;
    // "some" ends 5 characters before the join, "wordspan" runs from 4
    // before it to 4 after it, then comes "more".
    const std::string strLine = WordFiller(nJoin - 10) + " some wordspan more " + WordFiller(nJoin);
    m_pFrame->SetEditorText(strLine);
    ASSERT_TRUE(CMidwireEdit::IsContinuation(pDoc->findBlockByNumber(1)));
    QWidget* pViewport = pEdit->viewport();
    const auto send = [&](QEvent::Type type, QPoint point, Qt::MouseButtons buttons) {
        SendMouse(pEdit, type, point, buttons);
    };
    // The join in the middle of the pane, where each click below can reach.
    const auto centerJoin = [&] {
        pEdit->setTextCursor(QTextCursor(pDoc->findBlockByNumber(1)));
        pEdit->centerCursor();
        Settle();
    };
    // The point between the characters before and at nAt in the line.
    const auto pointAt = [&](int nAt) {
        QTextCursor at(pDoc);
        at.setPosition(nAt < nJoin ? nAt : nAt + 1);
        return pEdit->cursorRect(at).center();
    };
    const auto doubleClick = [&](int nAt) {
        centerJoin();
        const QPoint point = pointAt(nAt);
        send(QEvent::MouseButtonPress, point, Qt::LeftButton);
        send(QEvent::MouseButtonRelease, point, Qt::NoButton);
        send(QEvent::MouseButtonDblClick, point, Qt::LeftButton);
    };
    const auto selection = [&] {
        const QTextCursor cursor = pEdit->textCursor();
        return std::make_pair(LinePosition(pDoc, cursor.anchor()), LinePosition(pDoc, cursor.position()));
    };
    const auto release = [&](int nAt) { send(QEvent::MouseButtonRelease, pointAt(nAt), Qt::NoButton); };
    // A double click away from the word: the next press, at once and near
    // where the last case clicked, would be taken for a triple click.
    const auto clickAway = [&] {
        doubleClick(nJoin + 12);
        release(nJoin + 12);
    };

    for (const int nAt : {nJoin - 2, nJoin + 2}) {
        doubleClick(nAt);
        release(nAt);
        EXPECT_EQ(selection(), std::make_pair(nJoin - 4, nJoin + 4)) << nAt;
        // The whole word is what a middle click pastes, where the desktop has
        // a selection clipboard.
        if (QGuiApplication::clipboard()->supportsSelection()) {
            EXPECT_EQ(QGuiApplication::clipboard()->text(QClipboard::Selection).toStdString(),
                      strLine.substr(nJoin - 4, 8))
                << nAt;
        }
        QKeyEvent typed(QEvent::KeyPress, Qt::Key_Y, Qt::NoModifier, QStringLiteral("y"));
        QApplication::sendEvent(pEdit, &typed);
        std::string strExpected = strLine;
        EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), strExpected.replace(nJoin - 4, 8, "y"))) << nAt;
        pEdit->undo();
        EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), strLine)) << nAt;
        clickAway();
    }

    // Dragged on from the word's second part to the end of "more", from its
    // first part back to the start of "some", and from "some" on into the
    // first part of the word, near the join.
    struct Drag {
        int nClick, nTo, nAnchor, nPosition;
    };
    const Drag drags[] = {
        {nJoin + 2, nJoin + 8, nJoin - 4, nJoin + 9},
        {nJoin - 2, nJoin - 8, nJoin + 4, nJoin - 9},
        {nJoin - 8, nJoin - 1, nJoin - 9, nJoin + 4},
    };
    for (const Drag& d : drags) {
        doubleClick(d.nClick);
        send(QEvent::MouseMove, pointAt(d.nTo), Qt::LeftButton);
        release(d.nTo);
        EXPECT_EQ(selection(), std::make_pair(d.nAnchor, d.nPosition)) << d.nClick << " to " << d.nTo;
        clickAway();
    }
    // A Shift+click after the double click extends the selection as the
    // drag does.
    for (const Drag& d : drags) {
        doubleClick(d.nClick);
        release(d.nClick);
        const QPoint to = pointAt(d.nTo);
        QMouseEvent press(QEvent::MouseButtonPress, QPointF(to), QPointF(pViewport->mapToGlobal(to)), Qt::LeftButton,
                          Qt::LeftButton, Qt::ShiftModifier);
        QApplication::sendEvent(pViewport, &press);
        release(d.nTo);
        EXPECT_EQ(selection(), std::make_pair(d.nAnchor, d.nPosition)) << "Shift+click " << d.nClick << " to " << d.nTo;
        clickAway();
    }
    EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), strLine));
}

// Ctrl+Left and Ctrl+Right (with Shift too), Ctrl+Backspace and Ctrl+Delete
// near the join between two pieces of a long line act on the words of the
// line as the text control does on the same line held in one block: a word
// step stopped at a join inside a word, and a word deletion took only the
// part of the word up to the join. Undo brings the line back exactly.
TEST_F(MainFrameTest, WordKeysNearAJoinActOnTheWordsOfTheLine)
{
    CMidwireEdit* pEdit = m_pFrame->Editor();
    QTextDocument* pDoc = pEdit->document();
    const int nJoin = CMidwireEdit::kPieceLength;
    const std::string strAround = "ab cd..ef  gh,ij k\tl!";
    struct Key {
        int nKey;
        Qt::KeyboardModifiers modifiers;
        QTextCursor::MoveOperation op;
    };
    const Key keys[] = {
        {Qt::Key_Right, Qt::ControlModifier, QTextCursor::NextWord},
        {Qt::Key_Left, Qt::ControlModifier, QTextCursor::PreviousWord},
        {Qt::Key_Right, Qt::ControlModifier | Qt::ShiftModifier, QTextCursor::NextWord},
        {Qt::Key_Left, Qt::ControlModifier | Qt::ShiftModifier, QTextCursor::PreviousWord},
        {Qt::Key_Delete, Qt::ControlModifier, QTextCursor::NextWord},
        {Qt::Key_Backspace, Qt::ControlModifier, QTextCursor::PreviousWord},
    };
    for (int nShift = 0; nShift <= static_cast<int>(strAround.size()); ++nShift) {
        // The join falls nShift characters into strAround.
        const std::string strLine = WordFiller(nJoin - nShift) + strAround + WordFiller(nJoin);
        m_pFrame->SetEditorText(strLine);
        ASSERT_TRUE(CMidwireEdit::IsContinuation(pDoc->findBlockByNumber(1)));
        QTextDocument reference;
        reference.setPlainText(QString::fromStdString(strLine));
        for (int nAt = nJoin - nShift - 2; nAt <= nJoin - nShift + static_cast<int>(strAround.size()) + 2; ++nAt) {
            // From both sides of the join when the cursor is at it.
            for (const int nPosition : {nAt <= nJoin ? nAt : nAt + 1, nAt == nJoin ? nAt + 1 : -1}) {
                if (nPosition < 0)
                    continue;
                for (const Key& key : keys) {
                    QTextCursor expected(&reference);
                    expected.setPosition(nAt);
                    expected.movePosition(key.op);
                    const int nExpected = expected.position();
                    const std::string strWhere = "join at " + std::to_string(nShift) + ", from " +
                                                 std::to_string(nAt - nJoin) + " (position " +
                                                 std::to_string(nPosition - nJoin) + "), key " +
                                                 std::to_string(key.nKey) + " " +
                                                 std::to_string(static_cast<int>(key.modifiers));
                    // The steps go from the cursor, with a selection
                    // from the line's start to it too.
                    const bool bStep = key.nKey == Qt::Key_Left || key.nKey == Qt::Key_Right;
                    for (const int nAnchor : {nPosition, bStep ? 0 : -1}) {
                        if (nAnchor < 0)
                            continue;
                        QTextCursor cursor(pDoc);
                        cursor.setPosition(nAnchor);
                        cursor.setPosition(nPosition, QTextCursor::KeepAnchor);
                        pEdit->setTextCursor(cursor);
                        PressKey(pEdit, key.nKey, key.modifiers);
                        if (!bStep)
                            continue;
                        const QTextCursor after = pEdit->textCursor();
                        EXPECT_EQ(LinePosition(pDoc, after.position()), nExpected) << strWhere << " " << nAnchor;
                        EXPECT_EQ(LinePosition(pDoc, after.anchor()),
                                  (key.modifiers & Qt::ShiftModifier) ? LinePosition(pDoc, nAnchor) : nExpected)
                            << strWhere << " " << nAnchor;
                    }
                    if (bStep)
                        continue;
                    std::string strExpected = strLine;
                    strExpected.erase(std::min(nAt, nExpected), std::abs(nAt - nExpected));
                    EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), strExpected)) << strWhere;
                    EXPECT_EQ(LinePosition(pDoc, pEdit->textCursor().position()), std::min(nAt, nExpected))
                        << strWhere;
                    pEdit->undo();
                    ASSERT_TRUE(SameText(m_pFrame->GetEditorText(), strLine)) << strWhere;
                }
            }
        }
        // The steps left the text as it was.
        EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), strLine));
    }

    // A word from the start of a line on over the join, taken whole from
    // either end: the line keeps its line break before it.
    const std::string strWord(nJoin + 3, 'w');
    const std::string strText = "ab\n" + strWord + " end\nlast";
    for (const bool bForward : {true, false}) {
        m_pFrame->SetEditorText(strText);
        QTextCursor cursor(pDoc->findBlockByNumber(bForward ? 1 : 2));
        if (!bForward)
            cursor.movePosition(QTextCursor::NextCharacter, QTextCursor::MoveAnchor, 3);
        pEdit->setTextCursor(cursor);
        PressKey(pEdit, bForward ? Qt::Key_Delete : Qt::Key_Backspace, Qt::ControlModifier);
        EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), bForward ? "ab\nend\nlast" : "ab\n end\nlast")) << bForward;
        pEdit->undo();
        EXPECT_TRUE(SameText(m_pFrame->GetEditorText(), strText)) << bForward;
        EXPECT_TRUE(CMidwireEdit::IsContinuation(pDoc->findBlockByNumber(2))) << bForward;
    }
}

// A Shift+click after a triple click on a long line extends the selection
// by whole lines from that line: it went from the piece clicked, dropping
// the rest of the line on the other side of the click.
TEST_F(MainFrameTest, ShiftClickAfterATripleClickExtendsByWholeLines)
{
    CMidwireEdit* pEdit = ShowFocusedEditor(1000);
    QTextDocument* pDoc = pEdit->document();
    // Blocks: "ab", the long line's two pieces, "next", "last".
    m_pFrame->SetEditorText("ab\n" + WordFiller(CMidwireEdit::kPieceLength + 200) + "\nnext\nlast");
    ASSERT_TRUE(CMidwireEdit::IsContinuation(pDoc->findBlockByNumber(2)));
    const auto send = [&](QEvent::Type type, int nBlock, Qt::MouseButtons buttons,
                          Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QTextCursor at(pDoc->findBlockByNumber(nBlock));
        at.movePosition(QTextCursor::NextCharacter, QTextCursor::MoveAnchor, 1);
        SendMouse(pEdit, type, pEdit->cursorRect(at).center(), buttons, modifiers);
    };
    struct Case {
        int nTripleBlock, nShiftBlock, nAnchorBlock, nPositionBlock;
    };
    const Case cases[] = {
        {2, 3, 1, 4},  // from the line's second piece on to "next"
        {1, 0, 3, 0},  // from its first piece back to "ab"
    };
    for (const Case& c : cases) {
        pEdit->moveCursor(QTextCursor::Start);
        pEdit->verticalScrollBar()->setValue(0);
        Settle();
        send(QEvent::MouseButtonPress, c.nTripleBlock, Qt::LeftButton);
        send(QEvent::MouseButtonRelease, c.nTripleBlock, Qt::NoButton);
        send(QEvent::MouseButtonDblClick, c.nTripleBlock, Qt::LeftButton);
        send(QEvent::MouseButtonRelease, c.nTripleBlock, Qt::NoButton);
        send(QEvent::MouseButtonPress, c.nTripleBlock, Qt::LeftButton);
        send(QEvent::MouseButtonRelease, c.nTripleBlock, Qt::NoButton);
        send(QEvent::MouseButtonPress, c.nShiftBlock, Qt::LeftButton, Qt::ShiftModifier);
        send(QEvent::MouseButtonRelease, c.nShiftBlock, Qt::NoButton, Qt::ShiftModifier);
        EXPECT_EQ(pEdit->textCursor().anchor(), pDoc->findBlockByNumber(c.nAnchorBlock).position()) << c.nTripleBlock;
        EXPECT_EQ(pEdit->textCursor().position(), pDoc->findBlockByNumber(c.nPositionBlock).position())
            << c.nTripleBlock;
        // A later click without Shift only places the cursor.
        send(QEvent::MouseButtonPress, 4, Qt::LeftButton);
        send(QEvent::MouseButtonRelease, 4, Qt::NoButton);
        EXPECT_FALSE(pEdit->textCursor().hasSelection());
    }
}

// Lines selected by a triple click and extended by holding the pointer
// below the pane, which scrolls on a timer, are still whole lines: the
// control's scrolling extended them by pieces, to the end of the piece then
// under the pointer.
TEST_F(MainFrameTest, TripleClickHeldBelowThePaneSelectsWholeLines)
{
    CMidwireEdit* pEdit = ShowFocusedEditor(700);
    QTextDocument* pDoc = pEdit->document();
    m_pFrame->SetEditorText("ab\n" + WordFiller(20 * CMidwireEdit::kPieceLength) + "\nnext");
    QWidget* pViewport = pEdit->viewport();
    const auto send = [&](QEvent::Type type, QPoint point, Qt::MouseButtons buttons) {
        SendMouse(pEdit, type, point, buttons);
    };
    const QPoint point = pEdit->cursorRect(QTextCursor(pDoc->findBlockByNumber(0))).center() + QPoint(2, 0);
    HoldTripleClick(pEdit, point);
    ASSERT_EQ(pEdit->textCursor().selectionEnd(), pDoc->findBlockByNumber(1).position());
    // Held below the pane until it has scrolled a few times.
    const QPoint below(point.x(), pViewport->height() + 30);
    QCursor::setPos(pViewport->mapToGlobal(below));
    send(QEvent::MouseMove, below, Qt::LeftButton);
    const int nStartScroll = pEdit->verticalScrollBar()->value();
    for (int i = 0; i < 300 && pEdit->verticalScrollBar()->value() < nStartScroll + 5; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (pEdit->verticalScrollBar()->value() == nStartScroll)
        GTEST_SKIP() << "the pane does not scroll while the pointer is held below it on this platform";
    // Whole lines while the button is held, and once it is let go.
    for (const bool bHeld : {true, false}) {
        if (!bHeld)
            send(QEvent::MouseButtonRelease, below, Qt::NoButton);
        const QTextCursor selection = pEdit->textCursor();
        EXPECT_EQ(selection.selectionStart(), 0) << bHeld;
        const QTextBlock end = pDoc->findBlock(selection.selectionEnd());
        EXPECT_EQ(end.position(), selection.selectionEnd()) << bHeld;
        EXPECT_FALSE(CMidwireEdit::IsContinuation(end)) << "ends at piece " << end.blockNumber() << ", " << bHeld;
    }
}

namespace {

// What assistive technology cannot tell about the controls of a window: a
// control the keyboard reaches (or a toolbar button) without a name or
// with no role of its own, and two controls of one group that share their
// name. Each finding reads "role name (object)".
std::vector<std::string> UnnamedControls(QWidget* pWindow)
{
    std::vector<std::string> problems;
    std::set<QString> seen;
    for (QWidget* w : pWindow->findChildren<QWidget*>()) {
        const bool bReached = (w->focusPolicy() & Qt::TabFocus) || qobject_cast<QToolButton*>(w);
        if (!bReached || !w->isVisibleTo(pWindow))
            continue;
        QAccessibleInterface* pIface = QAccessible::queryAccessibleInterface(w);
        const QString strName = pIface ? pIface->text(QAccessible::Name) : QString();
        const QAccessible::Role role = pIface ? pIface->role() : QAccessible::NoRole;
        const std::string strWhat = std::to_string(role) + " \"" + strName.toStdString() + "\" (" +
                                    w->metaObject()->className() + " " + w->objectName().toStdString() + ")";
        if (strName.trimmed().isEmpty() || role == QAccessible::NoRole || role == QAccessible::Client)
            problems.push_back("unnamed " + strWhat);
        // The names of the groups around the control tell it apart from its
        // namesake in another group.
        QString strPath = strName;
        for (QWidget* p = w->parentWidget(); p && p != pWindow; p = p->parentWidget()) {
            if (QAccessibleInterface* pGroup = QAccessible::queryAccessibleInterface(p);
                pGroup && pGroup->role() == QAccessible::Grouping)
                strPath = pGroup->text(QAccessible::Name) + QLatin1Char('/') + strPath;
        }
        if (!strName.isEmpty() && !seen.insert(strPath).second)
            problems.push_back("ambiguous " + strWhat + " in " + strPath.toStdString());
    }
    return problems;
}

}  // namespace

// Every control of the main window and of each dialog the program opens has
// a name and a role that screen readers and GUI test tools can use.
TEST_F(MainFrameTest, EveryControlOfTheWindowAndItsDialogsHasAName)
{
    CConnectDlgData connect;
    CConnectionOptionsData options;
    CPlayBackDlgData playback;
    SaveSpecialOptions special;
    std::vector<std::unique_ptr<QWidget>> windows;
    windows.emplace_back(new CConnectDlg(connect));
    windows.emplace_back(new CConnectionOptionsDlg(options));
    windows.emplace_back(new CWaitAcceptWnd(*m_pDoc));
    windows.emplace_back(new CBindDlg(*m_pDoc));
    windows.emplace_back(new CSendDlg(*m_pDoc));
    windows.emplace_back(new CDatagramOptionsDlg(*m_pDoc));
    windows.emplace_back(new CPlayBackDlg(nullptr, playback));
    windows.emplace_back(new CSaveSpecialDlg(nullptr, special));
    windows.emplace_back(new CPleaseWaitDlg());
    windows.emplace_back(new CLoadingEventListDlg(nullptr));
    windows.emplace_back(new CAboutDlg(nullptr));
    for (const auto& pWindow : windows)
        EXPECT_EQ(UnnamedControls(pWindow.get()), std::vector<std::string>()) << pWindow->windowTitle().toStdString();
    m_pFrame->show();  // the toolbar lays out its buttons
    Settle();
    EXPECT_EQ(UnnamedControls(m_pFrame.get()), std::vector<std::string>());

    // The panes by what they are, the toolbar's buttons by their tooltips.
    QAccessibleInterface* pList = QAccessible::queryAccessibleInterface(m_pFrame->ListView());
    EXPECT_EQ(pList->role(), QAccessible::Table);
    EXPECT_EQ(pList->text(QAccessible::Name), "History list");
    QAccessibleInterface* pEditor = QAccessible::queryAccessibleInterface(m_pFrame->Editor());
    EXPECT_EQ(pEditor->role(), QAccessible::EditableText);
    EXPECT_EQ(pEditor->text(QAccessible::Name), "Data editor");
    QWidget* pStart = m_pFrame->ToolBar()->widgetForAction(m_pFrame->Action(ID_CONNECTION_START));
    EXPECT_EQ(QAccessible::queryAccessibleInterface(pStart)->text(QAccessible::Name), "Start Connection");
}

// The history list reads as a table: its headings, the text of each cell,
// and the row the keyboard moves to; the status bar's prompts are read too.
TEST_F(MainFrameTest, HistoryListTellsItsCellsAndCurrentRow)
{
    Record(MakeEvent(EK_RECEIVED_FROM_CLIENT, "ab[c"));
    for (int i = 1; i < 100; ++i)
        Record(MakeEvent(EK_MESSAGE, "", "m" + std::to_string(i)));
    m_pFrame->show();
    QApplication::setActiveWindow(m_pFrame.get());
    Settle();
    CMidwireListView* pList = m_pFrame->ListView();
    QAccessibleTableInterface* pTable = QAccessible::queryAccessibleInterface(pList)->tableInterface();
    ASSERT_NE(pTable, nullptr);
    EXPECT_EQ(pTable->rowCount(), 100);
    EXPECT_EQ(pTable->columnCount(), 4);
    EXPECT_EQ(pTable->columnDescription(3), "Data");
    QStringList first;
    for (int nColumn = 0; nColumn < 4; ++nColumn)
        first << pTable->cellAt(0, nColumn)->text(QAccessible::Name);
    EXPECT_EQ(first[0], "Received from:");
    EXPECT_EQ(first[1], "client.example");
    EXPECT_EQ(first[3], "ab[[c");
    EXPECT_EQ(pTable->cellAt(99, 3)->text(QAccessible::Name), "m99");

    // The row the keyboard reaches is the table's focused cell (End went to
    // the last row's Data cell).
    pList->setFocus();
    pList->setCurrentIndex(Model().index(40, 0));
    Settle();
    QAccessibleInterface* pListIface = QAccessible::queryAccessibleInterface(pList);
    for (const auto& [key, nRow] : {std::pair{Qt::Key_End, 99}, std::pair{Qt::Key_Up, 98}}) {
        PressKey(pList, key);
        QAccessibleInterface* pFocus = pListIface->focusChild();
        ASSERT_NE(pFocus, nullptr);
        ASSERT_NE(pFocus->tableCellInterface(), nullptr);
        EXPECT_EQ(pFocus->tableCellInterface()->rowIndex(), nRow);
        EXPECT_TRUE(pFocus->state().focused);
        EXPECT_EQ(pFocus->text(QAccessible::Name), QStringLiteral("m%1").arg(nRow));
    }

    // The side that the row's picture shows by its colour is told too.
    Record(MakeEvent(EK_RECEIVED_FROM_SERVER, "x"));
    Settle();
    EXPECT_EQ(pTable->cellAt(0, 0)->text(QAccessible::Description), "Client");
    EXPECT_EQ(pTable->cellAt(100, 0)->text(QAccessible::Description), "Server");
    EXPECT_EQ(pTable->cellAt(99, 0)->text(QAccessible::Description), "");

    // The status bar reads as its prompt.
    m_pFrame->statusBar()->showMessage(QStringLiteral("End Connection"));
    QAccessibleInterface* pStatus = QAccessible::queryAccessibleInterface(m_pFrame->statusBar());
    EXPECT_EQ(pStatus->text(QAccessible::Name), "End Connection");
}


// After a command's window (a dialog, a progress window) has gone, the
// keyboard focus is back in the pane it was in.
TEST_F(MainFrameTest, FocusReturnsToThePaneAfterACommandsWindow)
{
    testutil::TempDir dir;
    for (int i = 0; i < 120; ++i)
        Record(MakeEvent(EK_MESSAGE, "", "e" + std::to_string(i)));
    m_pFrame->show();
    QApplication::setActiveWindow(m_pFrame.get());
    Settle();
    m_pFrame->m_onPromptFileName = [&](std::string& strChosen, bool) {
        strChosen = dir.Path("focus.mwx");
        return true;
    };
    struct Step {
        const char* pszWhat;
        QWidget* pPane;
        std::function<void()> run;
    };
    const Step steps[] = {
        {"About from the list", m_pFrame->ListView(),
         [&] {
             QTimer::singleShot(0, [] {
                 if (QWidget* pModal = QApplication::activeModalWidget())
                     pModal->close();
             });
             m_pFrame->RunCommand(ID_APP_ABOUT);
         }},
        {"Save As from the editor", m_pFrame->Editor(), [&] { m_pFrame->RunCommand(ID_FILE_SAVE_AS); }},
        {"Reload from the list", m_pFrame->ListView(), [&] { m_pFrame->RunCommand(ID_VIEW_RELOAD); }},
        {"Save from the list", m_pFrame->ListView(), [&] { m_pFrame->RunCommand(ID_FILE_SAVE); }},
    };
    for (const Step& step : steps) {
        step.pPane->setFocus();
        Settle();
        ASSERT_EQ(QApplication::focusWidget(), step.pPane) << step.pszWhat;
        step.run();
        Settle();
        EXPECT_EQ(QApplication::activeWindow(), m_pFrame.get()) << step.pszWhat;
        EXPECT_EQ(QApplication::focusWidget(), step.pPane) << step.pszWhat;
    }
    m_pFrame->m_onPromptFileName = nullptr;
}
