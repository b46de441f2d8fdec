// Desktop commands that read or write a named pipe whose other end has it
// open but stops reading or writing: the window waits for the pipe with its
// events handled, so that Cancel (or closing the window) ends the command
// instead of the window hanging for good.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDropEvent>
#include <QMimeData>
#include <QPrinter>
#include <QTimer>
#include <QUrl>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <mutex>
#include <poll.h>
#include <thread>
#include <unistd.h>

#include "../core/TestUtil.h"
#include "GuiTestUtil.h"
#include "app/CommandTable.h"
#include "app/gui/MainFrame.h"
#include "app/gui/ProgressDlg.h"
#include "editor/EditorCommands.h"
#include "export/HistoryExport.h"
#include "session/FileInput.h"
#include "session/MidwireDoc.h"
#include "views/Print.h"
#include "views/gui/PrintDevice.h"

namespace {

using testutil::MakeEvent;

// Whether the bytes waiting in the pipe whose reading end is fdReader fill it.
bool PipeIsFull(int fdReader)
{
    int nQueued = 0;
    return ::ioctl(fdReader, FIONREAD, &nQueued) == 0 && nQueued >= ::fcntl(fdReader, F_GETPIPE_SZ);
}

class PipeWaitTest : public ::testing::Test {
protected:
    PipeWaitTest() : m_frame(m_doc)
    {
        m_frame.m_onMessageBox = [this](const std::string& s, UINT) {
            m_messages.push_back(s);
            return IDOK;
        };
        m_doc.OnNewDocument();
        m_strPipe = m_dir.Path("pipe");
    }
    void SetUp() override { ASSERT_EQ(::mkfifo(m_strPipe.c_str(), 0600), 0); }
    void TearDown() override
    {
        for (QWidget* w : QApplication::topLevelWidgets())
            EXPECT_FALSE(qobject_cast<CPleaseWaitDlg*>(w) && w->isVisible());
        struct stat st {};
        ASSERT_EQ(::lstat(m_strPipe.c_str(), &st), 0);
        EXPECT_TRUE(S_ISFIFO(st.st_mode));  // never removed nor replaced
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_dir.Root()), {}), 1);
    }
    // The reading end of the pipe, held open and never read, with the pipe
    // made small so that it fills soon.
    int OpenIdleReader()
    {
        const int fd = ::open(m_strPipe.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0)
            ::fcntl(fd, F_SETPIPE_SZ, 4096);
        return fd;
    }

    const bool m_bApplication = (guitest::EnsureApplication(), true);  // before any widget
    testutil::TempDir m_dir;
    CMidwireDoc m_doc;
    CMainFrame m_frame;
    std::vector<std::string> m_messages;
    std::string m_strPipe;
};

}  // namespace

// A print whose pipe fills, during the printout (a long history) or at its
// end (a short one, written whole once the pages are done): Cancel ends it
// as Cancel of any print does, without a message.
TEST_F(PipeWaitTest, PrintToAPipeNobodyReadsIsCancelled)
{
    QPrinter printer(QPrinter::HighResolution);
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(QString::fromStdString(m_strPipe));
    for (const int nEvents : {3000, 1}) {
        m_doc.OnNewDocument();
        for (int i = 0; i < nEvents; ++i)
            m_doc.AddToHistory(MakeEvent(EK_MESSAGE, "", "status line " + std::to_string(i)));
        m_messages.clear();
        const int fdReader = OpenIdleReader();
        ASSERT_GE(fdReader, 0);
        testutil::CPipeRescue rescue(m_strPipe);
        guitest::CCancelWhenShown<CPleaseWaitDlg> canceller([fdReader] { return PipeIsFull(fdReader); });
        bool bPrinted = true;
        {
            CPainterPrintDevice device(&printer, &printer);
            bPrinted = PrintHistoryList(device, m_doc, false, {});
        }
        rescue.Returned();
        ::close(fdReader);
        EXPECT_FALSE(rescue.Rescued()) << nEvents;
        EXPECT_TRUE(canceller.Clicked()) << nEvents;
        EXPECT_FALSE(bPrinted) << nEvents;
        EXPECT_TRUE(m_messages.empty()) << nEvents;
        EXPECT_FALSE(m_doc.IsWalking());
        QCoreApplication::processEvents();
    }
}

// Load to Editor from a pipe whose writer stops without closing it: Cancel
// leaves the editor as it was; a writer that goes on later is waited for
// and its bytes are loaded whole.
TEST_F(PipeWaitTest, LoadToEditorFromAPipeThatStopsIsCancelled)
{
    ASSERT_TRUE(m_frame.SetEditorText("before"));
    {
        // Both ends in one descriptor: the pipe has a writer that does not
        // write after its first bytes.
        const int fdWriter = ::open(m_strPipe.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(fdWriter, 0);
        ASSERT_EQ(::write(fdWriter, "partial", 7), 7);
        testutil::CWriterRescue rescue(fdWriter);
        guitest::CCancelWhenShown<CPleaseWaitDlg> canceller;
        EXPECT_FALSE(LoadFileToEditor(m_strPipe));
        rescue.Returned();
        EXPECT_FALSE(rescue.Rescued());
        if (!rescue.Rescued())
            ::close(fdWriter);
        EXPECT_TRUE(canceller.Clicked());
        EXPECT_EQ(m_frame.GetEditorText(), "before");
        EXPECT_TRUE(m_messages.empty());
    }
    {
        const int fdWriter = ::open(m_strPipe.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(fdWriter, 0);
        ASSERT_EQ(::write(fdWriter, "abc", 3), 3);
        testutil::CWriterRescue rescue(fdWriter);
        bool bWrote = false;
        QTimer::singleShot(200, [&] {
            bWrote = ::write(fdWriter, "def", 3) == 3;
            rescue.Returned();
            if (!rescue.Rescued())
                ::close(fdWriter);
        });
        EXPECT_TRUE(LoadFileToEditor(m_strPipe));
        rescue.Returned();
        EXPECT_TRUE(bWrote);
        EXPECT_EQ(m_frame.GetEditorText(), "abcdef");
        EXPECT_TRUE(m_messages.empty());
    }
    {
        // Closing the window during the wait ends it; the window closes
        // once the command is over.
        m_frame.show();
        const int fdWriter = ::open(m_strPipe.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(fdWriter, 0);
        testutil::CWriterRescue rescue(fdWriter);
        bool bClosedAtOnce = true;
        QTimer::singleShot(100, [&] { bClosedAtOnce = m_frame.close(); });
        EXPECT_FALSE(LoadFileToEditor(m_strPipe));
        rescue.Returned();
        EXPECT_FALSE(rescue.Rescued());
        if (!rescue.Rescued())
            ::close(fdWriter);
        EXPECT_FALSE(bClosedAtOnce);
        EXPECT_EQ(m_frame.GetEditorText(), "abcdef");
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (m_frame.isVisible() && std::chrono::steady_clock::now() < end)
            QApplication::processEvents(QEventLoop::AllEvents, 20);
        EXPECT_FALSE(m_frame.isVisible());
    }
}

// MIME analysis and decoding of a file read the same way.
TEST_F(PipeWaitTest, MimeSourceFromAPipeThatStopsIsCancelled)
{
    RegisterAllCommands(m_doc);
    ASSERT_TRUE(m_frame.SetEditorText("before"));
    m_frame.m_onPromptFileName = [this](std::string& strPath, bool) {
        strPath = m_strPipe;
        return true;
    };
    for (const UINT nCommand : {ID_MIME_FILE_ANALISYS, ID_MIME_FILE_DECODING}) {
        const int fdWriter = ::open(m_strPipe.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(fdWriter, 0);
        ASSERT_EQ(::write(fdWriter, "Subject: x\r\n", 12), 12);
        testutil::CWriterRescue rescue(fdWriter);
        guitest::CCancelWhenShown<CPleaseWaitDlg> canceller;
        // No command starts inside the wait (the window's events are handled
        // meanwhile): the erase of the editor is refused, and so is a session
        // file dropped on the window, without a message.
        bool bRanInside = true;
        bool bDropTaken = true;
        QTimer::singleShot(100, [&] {
            bRanInside = m_frame.RunCommand(ID_EDIT_ERASE_EDITOR);
            QMimeData mime;
            mime.setUrls({QUrl::fromLocalFile(QStringLiteral("/nonexistent/dropped.mwx"))});
            QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
            static_cast<QObject*>(&m_frame)->event(&drop);
            bDropTaken = drop.isAccepted();
        });
        EXPECT_TRUE(m_frame.RunCommand(nCommand));
        rescue.Returned();
        EXPECT_FALSE(rescue.Rescued()) << nCommand;
        EXPECT_FALSE(bRanInside) << nCommand;
        EXPECT_FALSE(bDropTaken) << nCommand;
        if (!rescue.Rescued())
            ::close(fdWriter);
        EXPECT_TRUE(canceller.Clicked()) << nCommand;
        EXPECT_EQ(m_frame.GetEditorText(), "before");
        EXPECT_TRUE(m_messages.empty());
    }
}

// Save from Editor to a pipe whose reader stops reading: Cancel ends the
// save without a message; a reader that reads gets the whole text.
TEST_F(PipeWaitTest, SaveFromEditorToAPipeNobodyReadsIsCancelled)
{
    ASSERT_TRUE(m_frame.SetEditorText(std::string(20000, 'x')));
    const int fdReader = OpenIdleReader();
    ASSERT_GE(fdReader, 0);
    {
        testutil::CPipeRescue rescue(m_strPipe);
        guitest::CCancelWhenShown<CPleaseWaitDlg> canceller([fdReader] { return PipeIsFull(fdReader); });
        EXPECT_FALSE(SaveEditorToFile(m_strPipe, true));
        rescue.Returned();
        EXPECT_FALSE(rescue.Rescued());
        EXPECT_TRUE(canceller.Clicked());
        EXPECT_TRUE(m_messages.empty());
    }
    // What the cancelled save left in the pipe, then a reader at work.
    char buf[4096];
    while (::read(fdReader, buf, sizeof buf) > 0) {
    }
    std::string strRead;
    QTimer drain;
    QObject::connect(&drain, &QTimer::timeout, [&] {
        for (ssize_t n; (n = ::read(fdReader, buf, sizeof buf)) > 0;)
            strRead.append(buf, static_cast<std::size_t>(n));
    });
    drain.start(5);
    testutil::CPipeRescue rescue(m_strPipe);
    EXPECT_TRUE(SaveEditorToFile(m_strPipe, true));
    rescue.Returned();
    EXPECT_FALSE(rescue.Rescued());
    drain.stop();
    for (ssize_t n; (n = ::read(fdReader, buf, sizeof buf)) > 0;)
        strRead.append(buf, static_cast<std::size_t>(n));
    ::close(fdReader);
    EXPECT_EQ(strRead, std::string(20000, 'x'));
    EXPECT_TRUE(m_messages.empty());
}

// Save Special to a pipe whose reader stops reading, during the walk (the
// binary form of large events) or once it is over (the text form of a short
// history, written when the file is closed): Cancel ends it as Cancel of an
// export does, without a message.
TEST_F(PipeWaitTest, SaveSpecialToAPipeNobodyReadsIsCancelled)
{
    for (const bool bBinary : {true, false}) {
        m_doc.OnNewDocument();
        for (int i = 0; i < 20; ++i)
            m_doc.AddToHistory(MakeEvent(EK_RECEIVED_FROM_CLIENT, std::string(bBinary ? 100000 : 1000, 'd')));
        m_messages.clear();
        const int fdReader = OpenIdleReader();
        ASSERT_GE(fdReader, 0);
        SaveSpecialOptions options;
        options.strPath = m_strPipe;
        options.bNoWaitForReader = true;
        testutil::CPipeRescue rescue(m_strPipe);
        guitest::CCancelWhenShown<CPleaseWaitDlg> canceller([fdReader] { return PipeIsFull(fdReader); });
        if (bBinary)
            SaveSpecialBinary(m_doc, options);
        else
            SaveSpecialText(m_doc, options);
        rescue.Returned();
        ::close(fdReader);
        EXPECT_FALSE(rescue.Rescued()) << bBinary;
        EXPECT_TRUE(canceller.Clicked()) << bBinary;
        EXPECT_TRUE(m_messages.empty()) << bBinary;
        EXPECT_FALSE(m_doc.IsWalking());
        QCoreApplication::processEvents();
    }
}

// File Save As to a pipe whose reader stops reading, during the walk (large
// events) or once it is over (a short session, written at its end): Cancel
// ends the save as its Cancel does for a pipe, without a message, and the
// session keeps its name.
TEST_F(PipeWaitTest, SessionSavedToAPipeNobodyReadsIsCancelled)
{
    for (const std::size_t nSize : {std::size_t{1000000}, std::size_t{20000}}) {
        m_doc.OnNewDocument();
        for (int i = 0; i < 3; ++i)
            m_doc.AddToHistory(MakeEvent(EK_RECEIVED_FROM_CLIENT, std::string(nSize, 'd')));
        m_messages.clear();
        const int fdReader = OpenIdleReader();
        ASSERT_GE(fdReader, 0);
        testutil::CPipeRescue rescue(m_strPipe);
        guitest::CCancelWhenShown<CPleaseWaitDlg> canceller([fdReader] { return PipeIsFull(fdReader); });
        EXPECT_FALSE(m_doc.OnSaveDocument(m_strPipe, true)) << nSize;
        rescue.Returned();
        ::close(fdReader);
        EXPECT_FALSE(rescue.Rescued()) << nSize;
        EXPECT_TRUE(canceller.Clicked()) << nSize;
        EXPECT_TRUE(m_messages.empty()) << nSize;
        EXPECT_NE(m_doc.m_strPathName, m_strPipe);
        EXPECT_FALSE(m_doc.IsWalking());
        QCoreApplication::processEvents();
    }
}

namespace {

// Reads the pipe from fdReader on a thread of its own: nothing for the first
// nStallMs, then a little at a time until the writer closes (20 s at most).
class CStallingReader {
public:
    CStallingReader(int fdReader, int nStallMs)
        : m_thread([this, fdReader, nStallMs] {
              std::this_thread::sleep_for(std::chrono::milliseconds(nStallMs));
              const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
              char buf[4096];
              while (std::chrono::steady_clock::now() < end) {
                  pollfd pfd{fdReader, POLLIN, 0};
                  ::poll(&pfd, 1, 100);
                  const ssize_t n = ::read(fdReader, buf, sizeof buf);
                  if (n == 0)
                      break;
                  if (n > 0) {
                      std::lock_guard<std::mutex> lock(m_mutex);
                      m_strRead.append(buf, static_cast<std::size_t>(n));
                  }
                  std::this_thread::sleep_for(std::chrono::milliseconds(1));
              }
              ::close(fdReader);
          })
    {
    }
    ~CStallingReader() { Join(); }
    std::size_t Size()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_strRead.size();
    }
    std::string Join()
    {
        if (m_thread.joinable())
            m_thread.join();
        return m_strRead;
    }

private:
    std::mutex m_mutex;
    std::string m_strRead;
    std::thread m_thread;
};

// The most "Please Wait" windows seen at once while it lives.
class CWindowCounter {
public:
    CWindowCounter()
    {
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            int n = 0;
            for (QWidget* w : QApplication::topLevelWidgets())
                n += qobject_cast<CPleaseWaitDlg*>(w) && w->isVisible() ? 1 : 0;
            m_nMax = std::max(m_nMax, n);
        });
        m_timer.start(5);
    }
    int Max() const { return m_nMax; }

private:
    QTimer m_timer;
    int m_nMax = 0;
};

}  // namespace

// A session saved to a pipe whose reader is slow to start, while the header
// (which holds the editor text) is written, then reads steadily: one window
// stands for the save throughout, the session arrives whole, and Cancel in
// that window, once the history is being written, ends the save.
TEST_F(PipeWaitTest, SessionSaveToAPipeSlowToStartShowsOneWindowThatCancels)
{
    ASSERT_TRUE(m_frame.SetEditorText(std::string(300000, 'e')));
    for (int i = 0; i < 400; ++i)
        m_doc.AddToHistory(MakeEvent(EK_RECEIVED_FROM_CLIENT, std::string(1000, 'd')));
    testutil::TempDir other;
    const std::string strCopy = other.Path("copy.mwx");
    ASSERT_TRUE(m_doc.OnSaveDocument(strCopy, true));
    std::string strWhole;
    ASSERT_EQ(ReadWholeFile(strCopy, strWhole, std::size_t{1} << 30), 0);
    {
        const int fdReader = OpenIdleReader();
        ASSERT_GE(fdReader, 0);
        CStallingReader reader(fdReader, 1000);
        const CWindowCounter windows;
        EXPECT_TRUE(m_doc.OnSaveDocument(m_strPipe, true));
        EXPECT_EQ(reader.Join(), strWhole);
        EXPECT_EQ(windows.Max(), 1);
        EXPECT_TRUE(m_messages.empty());
    }
    {
        const int fdReader = OpenIdleReader();
        ASSERT_GE(fdReader, 0);
        CStallingReader reader(fdReader, 1000);
        const CWindowCounter windows;
        guitest::CCancelWhenShown<CPleaseWaitDlg> canceller([&reader] { return reader.Size() > 400000; });
        EXPECT_FALSE(m_doc.OnSaveDocument(m_strPipe, true));
        EXPECT_TRUE(canceller.Clicked());
        EXPECT_LT(reader.Join().size(), strWhole.size());
        EXPECT_EQ(windows.Max(), 1);
        EXPECT_TRUE(m_messages.empty());
    }
    EXPECT_EQ(m_doc.m_strPathName, m_strPipe);
    EXPECT_FALSE(m_doc.IsWalking());
}
