// Save Special from the main window: the dialog answered as a user would,
// the rows selected in the history list, and Cancel in "Please Wait".

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QItemSelectionModel>
#include <QPushButton>
#include <QStandardPaths>
#include <QTimer>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "GuiTestUtil.h"
#include "app/CommandTable.h"
#include "app/gui/DialogRegistry.h"
#include "app/gui/MainFrame.h"
#include "app/gui/ProgressDlg.h"
#include "export/gui/ExportDlg.h"
#include "session/MidwireDoc.h"
#include "views/gui/MidwireListView.h"

namespace fs = std::filesystem;

namespace {

void Settle()
{
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
}

std::string Slurp(const std::string& strPath)
{
    std::ifstream in(strPath, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class ExportDesktopTest : public ::testing::Test {
protected:
    ExportDesktopTest()
    {
        guitest::EnsureApplication();
        RegisterAllDialogs();
        std::string strTemplate = (fs::temp_directory_path() / "midwire-export-gui-XXXXXX").string();
        if (::mkdtemp(strTemplate.data()))
            m_strDir = strTemplate;
        m_pDoc = std::make_unique<CMidwireDoc>();
        m_pFrame = std::make_unique<CMainFrame>(*m_pDoc);
        m_pFrame->m_onMessageBox = [this](const std::string& s, UINT) {
            m_messages.push_back(s);
            return IDOK;
        };
        m_pDoc->OnNewDocument();
        RegisterAllCommands(*m_pDoc);
        m_pFrame->RegisterWindowCommands();
    }
    ~ExportDesktopTest() override
    {
        m_pFrame.reset();
        m_pDoc.reset();
        GetCommandTable().Clear();
        Settle();
        std::error_code ec;
        if (!m_strDir.empty())
            fs::remove_all(m_strDir, ec);
    }

    void Record(std::uint32_t kind, const std::string& strBytes)
    {
        auto* p = new HistoryEvent;
        p->m_kind = kind;
        auto* pBlock = static_cast<unsigned char*>(std::malloc(strBytes.size()));
        std::memcpy(pBlock, strBytes.data(), strBytes.size());
        p->AdoptData(pBlock, static_cast<std::int32_t>(strBytes.size()));
        m_pDoc->RecordEvent(p, FALSE);
    }

    // Answers the next "Save As Special" dialog: the caller sets the options
    // panel, then the path is chosen and the dialog accepted. The timer looks
    // for the dialog on every turn of the event loop, for a bounded number of
    // turns.
    void AnswerDialog(const std::string& strPath, std::function<void(CSaveSpecialDlg&)> fnPanel = {})
    {
        m_nAnswerTurns = 0;
        m_answerTimer.disconnect();
        QObject::connect(&m_answerTimer, &QTimer::timeout, [this, strPath, fnPanel] {
            auto* pDlg = qobject_cast<CSaveSpecialDlg*>(QApplication::activeModalWidget());
            if (!pDlg) {
                if (++m_nAnswerTurns > 100000)
                    m_answerTimer.stop();
                return;
            }
            m_answerTimer.stop();
            if (fnPanel)
                fnPanel(*pDlg);
            pDlg->selectFile(QString::fromStdString(strPath));
            static_cast<QDialog*>(pDlg)->accept();
            m_bAnswered = true;
        });
        m_answerTimer.start(0);
    }

    std::string m_strDir;
    std::unique_ptr<CMidwireDoc> m_pDoc;
    std::unique_ptr<CMainFrame> m_pFrame;
    std::vector<std::string> m_messages;
    bool m_bAnswered = false;
    QTimer m_answerTimer;
    int m_nAnswerTurns = 0;
};

}  // namespace

TEST_F(ExportDesktopTest, SelectedRowsOfTheListAreExported)
{
    ASSERT_FALSE(m_strDir.empty());
    for (const char* psz : {"one ", "two ", "three ", "four "})
        Record(EK_MOVED_TO_SERVER, psz);
    Settle();
    CMidwireListView* pList = m_pFrame->ListView();
    auto& model = pList->Model();
    ASSERT_EQ(model.rowCount(), 4);
    pList->selectionModel()->select(model.index(3, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    pList->selectionModel()->select(model.index(1, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);

    const std::string strPath = m_strDir + "/picked.bin";
    AnswerDialog(strPath, [](CSaveSpecialDlg& dlg) { dlg.Control(IDC_SAVE_SELECTION_SELECTED)->click(); });
    ASSERT_TRUE(m_pFrame->RunCommand(ID_FILE_SAVE_SPECIAL));
    Settle();
    ASSERT_TRUE(m_bAnswered);
    EXPECT_EQ(Slurp(strPath), "two four ");
    EXPECT_TRUE(m_messages.empty());
    ASSERT_FALSE(m_pFrame->ProgressLog().empty());
    EXPECT_EQ(m_pFrame->ProgressLog().back().strText, "Please wait while saving binary");
    EXPECT_EQ(m_pFrame->ProgressLog().back().nHigh, 4);

    // The next use starts from the defaults again: all rows.
    m_bAnswered = false;
    const std::string strAll = m_strDir + "/all.bin";
    AnswerDialog(strAll, [](CSaveSpecialDlg& dlg) {
        EXPECT_TRUE(dlg.Control(IDC_SAVE_SELECTION_ALL)->isChecked());
    });
    ASSERT_TRUE(m_pFrame->RunCommand(ID_FILE_SAVE_SPECIAL));
    Settle();
    ASSERT_TRUE(m_bAnswered);
    EXPECT_EQ(Slurp(strAll), "one two three four ");
}

TEST_F(ExportDesktopTest, CancelInPleaseWaitKeepsThePartialFile)
{
    ASSERT_FALSE(m_strDir.empty());
    constexpr int kEvents = 200000;
    for (int i = 0; i < kEvents; ++i) {
        auto* p = new HistoryEvent;
        p->m_kind = EK_MESSAGE;
        p->m_strText = "status";
        m_pDoc->AddToHistory(p);  // no rows: the list plays no part here
    }
    const std::string strPath = m_strDir + "/cancelled.txt";
    AnswerDialog(strPath, [](CSaveSpecialDlg& dlg) {
        for (UINT nID : {IDC_SAVE_FORMAT_DIRECTION, IDC_SAVE_FORMAT_DATE, IDC_SAVE_FORMAT_HOST, IDC_SAVE_FORMAT_ACTION})
            dlg.Control(nID)->click();
    });
    // Cancel is pressed as soon as the walk lets "Please Wait" handle its
    // messages; the timer looks for the window on every turn of the loop.
    guitest::CCancelWhenShown<CPleaseWaitDlg> canceller;
    ASSERT_TRUE(m_pFrame->RunCommand(ID_FILE_SAVE_SPECIAL));
    Settle();
    ASSERT_TRUE(m_bAnswered);
    ASSERT_TRUE(canceller.Clicked());
    const std::string strText = Slurp(strPath);
    EXPECT_FALSE(strText.empty());
    EXPECT_LT(strText.size(), static_cast<std::size_t>(kEvents) * 8);
    EXPECT_EQ(strText.size() % 8, 0u);  // whole "status\r\n" lines only
    EXPECT_FALSE(m_pDoc->IsWalking());
    for (QWidget* w : QApplication::topLevelWidgets())
        EXPECT_FALSE(qobject_cast<CPleaseWaitDlg*>(w) && w->isVisible());
}
