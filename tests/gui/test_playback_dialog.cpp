// The "PlayBack" dialog: its controls as it opens, the enable rules of the
// radios and Check Reply boxes, the count validation on OK, and its
// registration under the dialog id.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QTimer>

#include "GuiTestUtil.h"
#include "app/gui/DialogRegistry.h"
#include "playback/gui/PlayBackDlg.h"
#include "session/MidwireDoc.h"

namespace {

class PlayBackDlgTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        guitest::EnsureApplication();
        data.m_bClientAvailable = TRUE;
        data.m_bServerAvailable = TRUE;
        data.m_bClientWaitAllResponses = TRUE;
        data.m_bServerWaitAllResponses = TRUE;
        data.m_bEraseHistory = TRUE;
        data.m_nServerControlledChars = 12;
    }
    QAbstractButton* Button(CPlayBackDlg& dlg, UINT nID) { return qobject_cast<QAbstractButton*>(dlg.Control(nID)); }
    QLineEdit* Edit(CPlayBackDlg& dlg, UINT nID) { return qobject_cast<QLineEdit*>(dlg.Control(nID)); }

    CPlayBackDlgData data;
};

TEST_F(PlayBackDlgTest, OpensWithNoSideChosenAndFollowsTheRadios)
{
    CPlayBackDlg dlg(nullptr, data);
    EXPECT_EQ(dlg.windowTitle(), "PlayBack");
    ASSERT_NE(Button(dlg, IDC_PLAY_CLIENT), nullptr);
    EXPECT_FALSE(Button(dlg, IDC_PLAY_CLIENT)->isChecked());
    EXPECT_FALSE(Button(dlg, IDC_PLAY_SERVER)->isChecked());
    EXPECT_TRUE(Button(dlg, IDC_PLAY_CLIENT)->isEnabled());
    for (UINT nID = IDC_CLIENT_CHECK_REPLY; nID <= IDC_SERVER_END_CONNECTION; ++nID)
        EXPECT_FALSE(dlg.Control(nID)->isEnabled()) << nID;
    EXPECT_FALSE(Button(dlg, IDOK)->isEnabled());
    EXPECT_TRUE(Button(dlg, IDCANCEL)->isEnabled());
    EXPECT_TRUE(Button(dlg, IDC_ERASE_HISTORY)->isChecked());
    EXPECT_EQ(Edit(dlg, IDC_SERVER_CONTROLLED_CHARS)->text(), "12");

    Button(dlg, IDC_PLAY_SERVER)->click();
    EXPECT_TRUE(data.m_bServerChosen && !data.m_bClientChosen);
    EXPECT_TRUE(Button(dlg, IDC_SERVER_CHECK_REPLY)->isEnabled());
    EXPECT_FALSE(Edit(dlg, IDC_SERVER_CONTROLLED_CHARS)->isEnabled());
    EXPECT_FALSE(Button(dlg, IDC_CLIENT_CHECK_REPLY)->isEnabled());
    EXPECT_TRUE(Button(dlg, IDOK)->isEnabled());

    Button(dlg, IDC_SERVER_CHECK_REPLY)->click();
    EXPECT_TRUE(Edit(dlg, IDC_SERVER_CONTROLLED_CHARS)->isEnabled());
    Button(dlg, IDC_SERVER_CHECK_REPLY)->click();
    EXPECT_FALSE(Edit(dlg, IDC_SERVER_CONTROLLED_CHARS)->isEnabled());

    Button(dlg, IDC_PLAY_CLIENT)->click();
    EXPECT_TRUE(data.m_bClientChosen && !data.m_bServerChosen);
    EXPECT_FALSE(Button(dlg, IDC_PLAY_SERVER)->isChecked());
    EXPECT_TRUE(Button(dlg, IDC_CLIENT_END_CONNECTION)->isEnabled());
    EXPECT_FALSE(Button(dlg, IDC_SERVER_END_CONNECTION)->isEnabled());
}

TEST_F(PlayBackDlgTest, NoSideAvailableLeavesOnlyCancel)
{
    data.m_bClientAvailable = FALSE;
    data.m_bServerAvailable = FALSE;
    CPlayBackDlg dlg(nullptr, data);
    EXPECT_FALSE(Button(dlg, IDC_PLAY_CLIENT)->isEnabled());
    EXPECT_FALSE(Button(dlg, IDC_PLAY_SERVER)->isEnabled());
    EXPECT_FALSE(Button(dlg, IDOK)->isEnabled());
    EXPECT_TRUE(Button(dlg, IDCANCEL)->isEnabled());
}

TEST_F(PlayBackDlgTest, OkChecksTheCountsBeforeStoringAnything)
{
    CPlayBackDlg dlg(nullptr, data);
    QStringList prompts;
    dlg.m_onInvalidCount = [&prompts](const QString& s) { prompts << s; };
    Button(dlg, IDC_PLAY_CLIENT)->click();
    Button(dlg, IDC_CLIENT_CHECK_REPLY)->click();
    Button(dlg, IDC_CLIENT_WAIT_ALL)->click();
    Button(dlg, IDC_CLIENT_END_CONNECTION)->click();

    for (const char* pszBad : {"abc", "-1", "2147483648", ""}) {
        Edit(dlg, IDC_CLIENT_CONTROLLED_CHARS)->setText(QString::fromLatin1(pszBad));
        dlg.accept();
        EXPECT_EQ(dlg.result(), QDialog::Rejected) << pszBad;
        EXPECT_EQ(data.m_nClientControlledChars, 0) << pszBad;
    }
    EXPECT_EQ(prompts.size(), 4);
    EXPECT_TRUE(prompts.first().contains("2147483647"));

    Edit(dlg, IDC_CLIENT_CONTROLLED_CHARS)->setText(" 2147483647");
    dlg.accept();
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_EQ(data.m_nClientControlledChars, 2147483647);
    EXPECT_EQ(data.m_nServerControlledChars, 12);
    EXPECT_TRUE(data.m_bClientCheckReply);
    EXPECT_FALSE(data.m_bClientWaitAllResponses);
    EXPECT_TRUE(data.m_bClientEndConnection);
    EXPECT_TRUE(data.m_bClientChosen);
}

TEST_F(PlayBackDlgTest, TabGoesDownEachGroupThenToTheButtons)
{
    CPlayBackDlg dlg(nullptr, data);
    Button(dlg, IDC_PLAY_CLIENT)->click();
    Button(dlg, IDC_CLIENT_CHECK_REPLY)->click();
    Button(dlg, IDC_PLAY_CLIENT)->setFocus();
    EXPECT_EQ(guitest::TabWalk(&dlg, 8),
              "Client > Check Reply > idc1054 > Wait for all responses > End connection > "
              "Erase history before starting play back > OK > Cancel");

    // The other side's group is walked the same way.
    Button(dlg, IDC_PLAY_SERVER)->click();
    Button(dlg, IDC_SERVER_CHECK_REPLY)->click();
    Button(dlg, IDC_PLAY_SERVER)->setFocus();
    EXPECT_EQ(guitest::TabWalk(&dlg, 7),
              "Server > Check Reply > idc1055 > Wait for all responses > End connection > "
              "Erase history before starting play back > OK");
}

TEST_F(PlayBackDlgTest, RegisteredUnderItsId)
{
    RegisterAllDialogs();
    ASSERT_TRUE(HasRegisteredDialog(IDD_PLAYBACK));
    CMidwireDoc doc;
    QTimer::singleShot(0, [] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* pDlg = qobject_cast<CPlayBackDlg*>(w)) {
                qobject_cast<QAbstractButton*>(pDlg->Control(IDC_PLAY_SERVER))->click();
                pDlg->accept();
            }
    });
    EXPECT_EQ(RunRegisteredDialog(IDD_PLAYBACK, nullptr, doc, &data), IDOK);
    EXPECT_TRUE(data.m_bServerChosen);
}

}  // namespace
