// The Bind, Send and Datagram Options dialogs: enable rules, OK and Cancel.

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QTimer>

#include "GuiTestUtil.h"
#include "app/gui/DialogRegistry.h"
#include "datagram/DatagramRelay.h"
#include "datagram/gui/DatagramDialogs.h"
#include "session/MidwireDoc.h"

namespace {

// Enabled states of a rule's group: From host, Everyone, To Port, To Host, Broadcast.
std::vector<bool> States(const CBindDlg::RuleControls& r)
{
    return {r.pFromHost->isEnabled(), r.pEveryone->isEnabled(), r.pToPort->isEnabled(), r.pToHost->isEnabled(),
            r.pBroadcast->isEnabled()};
}

// Runs a registered dialog, pressing OK or Cancel as soon as it shows.
int RunAndAnswer(UINT nIDD, CMidwireDoc& doc, bool bAccept, const std::function<void(QDialog*)>& edit = {})
{
    QTimer::singleShot(0, [bAccept, edit] {
        auto* pDlg = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(pDlg, nullptr);
        if (edit)
            edit(pDlg);
        if (bAccept)
            pDlg->accept();
        else
            pDlg->reject();
    });
    return RunRegisteredDialog(nIDD, nullptr, doc, nullptr);
}

class DatagramDialogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        guitest::EnsureApplication();
        m_doc.OnNewDocument();
        RegisterDatagramDialogs();
    }
    CMidwireDoc m_doc;
};

TEST_F(DatagramDialogTest, BindEnableRulesFollowTheCheckBoxes)
{
    m_doc.m_bMove2 = TRUE;
    m_doc.m_bMoveEveryone2 = TRUE;
    CBindDlg dlg(m_doc);
    const std::vector<bool> allOff(5, false);
    EXPECT_EQ(States(dlg.m_rules[0]), allOff);
    EXPECT_EQ(States(dlg.m_rules[1]), (std::vector<bool>{false, true, true, true, true}));
    EXPECT_TRUE(dlg.m_pPort->isEnabled());

    CBindDlg::RuleControls& r = dlg.m_rules[0];
    r.pMove->click();
    EXPECT_EQ(States(r), std::vector<bool>(5, true));
    r.pEveryone->click();
    EXPECT_FALSE(r.pFromHost->isEnabled());
    r.pBroadcast->click();
    EXPECT_FALSE(r.pToHost->isEnabled());
    EXPECT_TRUE(r.pToPort->isEnabled());
    r.pBroadcast->click();
    EXPECT_TRUE(r.pToHost->isEnabled());
    r.pMove->click();
    EXPECT_EQ(States(r), allOff);
    // Rule 2 is untouched by rule 1's clicks.
    EXPECT_EQ(States(dlg.m_rules[1]), (std::vector<bool>{false, true, true, true, true}));
}

TEST_F(DatagramDialogTest, BindWritesBackOnlyOnOk)
{
    m_doc.m_strDgramPort = "5000";
    auto edit = [](QDialog* p) {
        auto* pDlg = static_cast<CBindDlg*>(p);
        pDlg->m_pPort->setText("6000");
        pDlg->m_rules[1].pMove->click();
        pDlg->m_rules[1].pFromHost->setText("10.0.0.5");
        pDlg->m_rules[1].pToPort->setText("7000");
        pDlg->m_rules[1].pBroadcast->click();
    };
    EXPECT_EQ(RunAndAnswer(IDD_BIND, m_doc, false, edit), IDCANCEL);
    EXPECT_EQ(m_doc.m_strDgramPort, "5000");
    EXPECT_FALSE(m_doc.m_bMove2);

    EXPECT_EQ(RunAndAnswer(IDD_BIND, m_doc, true, edit), IDOK);
    EXPECT_EQ(m_doc.m_strDgramPort, "6000");
    EXPECT_TRUE(m_doc.m_bMove2);
    EXPECT_EQ(m_doc.m_strMoveFromHost2, "10.0.0.5");
    EXPECT_EQ(m_doc.m_strMoveToPort2, "7000");
    EXPECT_TRUE(m_doc.m_bMoveBroadcast2);
    EXPECT_FALSE(m_doc.m_bMove1);
}

TEST_F(DatagramDialogTest, SendHostFollowsBroadcastAndOptionsCopyFourValues)
{
    {
        CSendDlg dlg(m_doc);  // a new session sends by broadcast
        EXPECT_TRUE(dlg.m_pBroadcast->isChecked());
        EXPECT_FALSE(dlg.m_pHost->isEnabled());
        dlg.m_pBroadcast->click();
        EXPECT_TRUE(dlg.m_pHost->isEnabled());
    }
    auto editSend = [](QDialog* p) {
        auto* pDlg = static_cast<CSendDlg*>(p);
        pDlg->m_pBroadcast->click();
        pDlg->m_pHost->setText("peer");
        pDlg->m_pPort->setText("9999");
    };
    EXPECT_EQ(RunAndAnswer(IDD_SEND, m_doc, true, editSend), IDOK);
    EXPECT_EQ(m_doc.m_strSendHost, "peer");
    EXPECT_EQ(m_doc.m_strSendPort, "9999");
    EXPECT_FALSE(m_doc.m_bSendBroadcast);

    auto editOptions = [](QDialog* p) {
        auto* pDlg = static_cast<CDatagramOptionsDlg*>(p);
        pDlg->m_pQuiet->click();
        pDlg->m_pVerbose->click();
        pDlg->m_pVisibleScroll->click();
        pDlg->m_pResolve->click();
    };
    EXPECT_EQ(RunAndAnswer(IDD_DATAGRAM_OPTIONS, m_doc, false, editOptions), IDCANCEL);
    EXPECT_FALSE(m_doc.m_bDgramQuiet);
    EXPECT_TRUE(m_doc.m_bResolveNames);
    EXPECT_EQ(RunAndAnswer(IDD_DATAGRAM_OPTIONS, m_doc, true, editOptions), IDOK);
    EXPECT_TRUE(m_doc.m_bDgramQuiet);
    EXPECT_TRUE(m_doc.m_bDgramVerbose);
    EXPECT_FALSE(m_doc.m_bVisibleScroll);
    EXPECT_FALSE(m_doc.m_bResolveNames);
}

}  // namespace
