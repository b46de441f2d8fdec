// The Connect, Connection Options and wait dialogs: enable rules, integer
// validation, and the wait dialog's timer.

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "GuiTestUtil.h"
#include "app/HeadlessFrontEnd.h"
#include "app/gui/DialogRegistry.h"
#include "app/gui/MainFrame.h"
#include "datagram/DatagramRelay.h"
#include "relay/gui/RelayGui.h"
#include "session/MidwireDoc.h"

TEST(RelayDialogsTest, ConnectEnableRulesFollowTheHeadingBoxes)
{
    guitest::EnsureApplication();
    CConnectDlgData data;
    data.m_strServerHost = "host";
    CConnectDlg dlg(data);
    EXPECT_FALSE(dlg.m_pConnectButton->isEnabled());
    EXPECT_FALSE(dlg.m_pHost->isEnabled());
    EXPECT_FALSE(dlg.m_pListenPort->isEnabled());
    dlg.m_pAccept->click();
    EXPECT_TRUE(dlg.m_pConnectButton->isEnabled());
    EXPECT_TRUE(dlg.m_pListenPort->isEnabled());
    EXPECT_TRUE(dlg.m_pKeepAlive->isEnabled());
    EXPECT_FALSE(dlg.m_pHoldClient->isEnabled());
    dlg.m_pConnect->click();
    EXPECT_TRUE(dlg.m_pHost->isEnabled());
    EXPECT_TRUE(dlg.m_pHoldClient->isEnabled());
    EXPECT_TRUE(dlg.m_pHoldServer->isEnabled());
    dlg.m_pListenPort->setText("8080");
    dlg.reject();  // Cancel reads the controls too; the caller ignores them
    EXPECT_EQ(data.m_strListenPort, "8080");
    EXPECT_TRUE(data.m_bAcceptConnections);
    EXPECT_EQ(dlg.m_pHost->maxLength(), 1024);
}

TEST(RelayDialogsTest, ConfirmedSettingsKeepBytesThatAreNotUtf8)
{
    // Confirming the dialog without a change gives back the bytes it was
    // shown, a Latin-1 byte included; text typed in is taken as UTF-8.
    guitest::EnsureApplication();
    CConnectDlgData data;
    data.m_bConnectToHost = TRUE;
    data.m_strServerHost = "h\xE9te.example";
    data.m_strServerPort = "p\xFF";
    {
        CConnectDlg dlg(data);
        dlg.accept();
    }
    EXPECT_EQ(data.m_strServerHost, "h\xE9te.example");
    EXPECT_EQ(data.m_strServerPort, "p\xFF");
    {
        CConnectDlg dlg(data);
        dlg.m_pHost->setText(QString::fromUtf8("h\xC3\xB4te"));
        dlg.accept();
    }
    EXPECT_EQ(data.m_strServerHost, "h\xC3\xB4te");
}

TEST(RelayDialogsTest, LongHostIsCutBetweenCharacters)
{
    // The host keeps at most 1024 bytes; a character outside ASCII that
    // crosses the limit is left out whole rather than cut in two.
    guitest::EnsureApplication();
    CMidwireDoc doc;
    CConnectDlgData data;
    data.m_bConnectToHost = TRUE;
    {
        CConnectDlg dlg(data);
        dlg.m_pHost->setText(QString(1023, QLatin1Char('a')) + QString::fromUtf8("\xC3\xA9z"));
        dlg.accept();
    }
    data.StoreTo(doc);
    EXPECT_EQ(doc.m_strServerHost, std::string(1023, 'a'));
    {
        // 1024 characters of three bytes each: 341 of them fit.
        CConnectDlg dlg(data);
        dlg.m_pHost->setText(QString(1024, QChar(0x20AC)));
        dlg.accept();
    }
    data.StoreTo(doc);
    std::string strEuros;
    for (int i = 0; i < 341; ++i)
        strEuros += "\xE2\x82\xAC";
    EXPECT_EQ(doc.m_strServerHost, strEuros);
    // ASCII, and bytes that are not UTF-8, are cut at the limit.
    data.m_strServerHost = std::string(1030, 'b');
    data.StoreTo(doc);
    EXPECT_EQ(doc.m_strServerHost, std::string(1024, 'b'));
    data.m_strServerHost = std::string(1023, 'b') + "\xE9\xE9\xE9";
    data.StoreTo(doc);
    EXPECT_EQ(doc.m_strServerHost, std::string(1023, 'b') + "\xE9");
}

TEST(RelayDialogsTest, OptionsValidateIntegersAndBreakCharacterBox)
{
    guitest::EnsureApplication();
    CHeadlessFrontEnd frontEnd;
    frontEnd.SetEcho(false);
    CMidwireDoc doc;
    doc.OnNewDocument();
    CConnectionOptionsData data;
    data.LoadFrom(doc);
    {
        CConnectionOptionsDlg dlg(data);
        dlg.m_bShowPrompts = false;
        EXPECT_EQ(dlg.m_pBreakChar->text(), "[10]");
        EXPECT_EQ(dlg.m_pDisplayBreak->text(), "[10]");
        EXPECT_EQ(dlg.m_pClientTimeWait->text(), "300");
        dlg.m_pClientTimeWait->setText("-1");
        dlg.accept();
        EXPECT_FALSE(dlg.m_strLastPrompt.isEmpty());
        EXPECT_EQ(dlg.result(), 0);  // still open
        // The box reads the controls back when clicked: the wrong number is
        // flagged at once, and the edit still follows the box.
        dlg.m_pUseBreakChar->click();
        EXPECT_FALSE(dlg.m_strLastPrompt.isEmpty());
        EXPECT_FALSE(dlg.m_pBreakChar->isEnabled());
        dlg.m_pClientTimeWait->setText("25");
        dlg.m_pUseBreakChar->click();
        dlg.m_pUseBreakChar->click();
        EXPECT_TRUE(dlg.m_strLastPrompt.isEmpty());
        EXPECT_FALSE(dlg.m_pBreakChar->isEnabled());
        dlg.accept();
        EXPECT_TRUE(dlg.m_strLastPrompt.isEmpty());
        EXPECT_EQ(dlg.result(), QDialog::Accepted);
    }
    // "Client time wait:" sets the server side's value.
    EXPECT_EQ(data.m_nServerTimeWait, 25);
    EXPECT_EQ(data.m_nClientTimeWait, 300);
    ApplyConnectionOptions(doc, data);
    EXPECT_FALSE(doc.m_bUseBreakChar);
    CConnectionOptionsData again;
    again.LoadFrom(doc);
    CConnectionOptionsDlg reopened(again);
    EXPECT_FALSE(reopened.m_pUseBreakChar->isChecked());
    EXPECT_TRUE(reopened.m_pBreakChar->isEnabled());
}

TEST(RelayDialogsTest, EditsShowTheWidestNumberWhole)
{
    // A dialog opens at most two thirds of the screen wide; on a small or
    // highly scaled screen the edits were what gave way.
    guitest::EnsureApplication();
    CConnectionOptionsData data;
    data.m_strBreakChar = "[255]";
    data.m_strDisplayBreak = "[255]";
    data.m_nServerWaitRetries = data.m_nClientWaitRetries = 2147483647;
    data.m_nServerTimeWait = data.m_nClientTimeWait = 2147483647;
    data.m_nMaxLineLength = 2147483647;
    CConnectionOptionsDlg options(data);
    options.show();
    QApplication::processEvents();
    const QList<QLineEdit*> edits = options.findChildren<QLineEdit*>();
    ASSERT_EQ(edits.size(), 7);
    for (const QLineEdit* pEdit : edits)
        EXPECT_TRUE(guitest::ShowsWholeText(pEdit)) << pEdit->objectName().toStdString() << " "
                                                   << pEdit->text().toStdString() << " in " << pEdit->width();

    CConnectDlgData connect;
    connect.m_strListenPort = connect.m_strServerPort = "65535";
    connect.m_strServerHost = "192.168.100.200";
    CConnectDlg dlg(connect);
    dlg.show();
    QApplication::processEvents();
    for (const QLineEdit* pEdit : dlg.findChildren<QLineEdit*>())
        EXPECT_TRUE(guitest::ShowsWholeText(pEdit)) << pEdit->objectName().toStdString();
}

TEST(RelayDialogsTest, WaitDialogSweepsAndEndsOnCancel)
{
    guitest::EnsureApplication();
    CHeadlessFrontEnd frontEnd;
    frontEnd.SetEcho(false);
    CMidwireDoc doc;
    doc.OnNewDocument();
    CWaitAcceptWnd dlg(doc);
    EXPECT_EQ(g_pWaitAcceptDlg, &dlg);
    EXPECT_EQ(dlg.windowTitle(), "Waiting for connection accept");
    EXPECT_FALSE(dlg.m_pBar->isTextVisible());
    for (int i = 0; i < 101; ++i)
        dlg.OnTimer();
    EXPECT_EQ(dlg.m_pBar->value(), 100);
    dlg.OnTimer();
    EXPECT_EQ(dlg.m_pBar->value(), 0);  // starts over after 101 ticks
    QTimer::singleShot(250, [&dlg] { dlg.EndDialog(IDCANCEL); });
    EXPECT_EQ(dlg.exec(), QDialog::Rejected);
}

// A break character typed outside ASCII yields no byte: the message box names
// the text exactly as it was typed, and the character stays as it was.
TEST(RelayDialogsTest, UntranslatableBreakCharacterIsNamedAsTyped)
{
    guitest::EnsureApplication();
    CMidwireDoc doc;
    CMainFrame frame(doc);
    doc.OnNewDocument();
    CConnectionOptionsData data;
    data.LoadFrom(doc);
    const QString strTyped = QString::fromUtf8("\xC3\xA9\xE2\x82\xAC");  // e acute, euro sign
    {
        CConnectionOptionsDlg dlg(data);
        dlg.m_pBreakChar->setText(strTyped);
        dlg.accept();
        ASSERT_EQ(dlg.result(), QDialog::Accepted);
    }
    QStringList shown;
    QTimer answer;
    answer.setInterval(10);
    QObject::connect(&answer, &QTimer::timeout, [&shown] {
        if (auto* pBox = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            shown << pBox->text();
            pBox->accept();
        }
    });
    answer.start();
    ApplyConnectionOptions(doc, data);
    answer.stop();
    ASSERT_EQ(shown.size(), 1);
    EXPECT_EQ(shown[0], "String '" + strTyped + "' can't be translated to a correct char.");
    EXPECT_EQ(doc.m_chBreakChar, '\n');
}

// The option dialogs with the keyboard alone: the focus starts on the first
// control, Tab visits the controls in the order they are laid out and comes
// back round, Escape cancels and Enter confirms (the document keeps its
// settings on Escape and takes the dialog's on Enter).
TEST(RelayDialogsTest, OptionDialogsWorkFromTheKeyboard)
{
    guitest::EnsureApplication();
    RegisterAllDialogs();
    CMidwireDoc doc;
    doc.OnNewDocument();
    CConnectDlgData connect;
    connect.m_bAcceptConnections = TRUE;
    connect.m_strListenPort = "8080";
    CConnectionOptionsData options;
    options.LoadFrom(doc);
    struct Case {
        UINT nIDD;
        void* pData;
        const char* pszFirst;  // the control the focus starts on
        int nStops;            // controls Tab visits before it comes round
    } cases[] = {
        {IDD_CONNECT, &connect, "Accept connections", 6},
        {IDD_CONNECTION_OPTIONS, &options, "Use Break Character", 14},
        {IDD_BIND, nullptr, "1063", 5},
        {IDD_SEND, nullptr, "1067", 4},
        {IDD_DATAGRAM_OPTIONS, nullptr, "Quiet", 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.nIDD);
        for (const bool bEnter : {false, true}) {
            std::string strFirst, strWalk, strFocusAfterWalk;
            QTimer::singleShot(0, [&] {
                QWidget* pDlg = QApplication::activeModalWidget();
                ASSERT_NE(pDlg, nullptr);
                QApplication::processEvents();
                strFirst = guitest::ControlName(QApplication::focusWidget()).toStdString();
                strWalk = guitest::TabWalk(pDlg, c.nStops + 1);
                QTest::keyClick(QApplication::focusWidget(), bEnter ? Qt::Key_Return : Qt::Key_Escape);
                // A dialog that refused the key is closed here, and the test fails.
                if (QApplication::activeModalWidget() == pDlg) {
                    ADD_FAILURE() << "still open";
                    pDlg->close();
                }
            });
            // Enter on a Cancel the walk came round to would cancel: the walk
            // ends where it began, on the first control.
            const int nResult = RunRegisteredDialog(c.nIDD, nullptr, doc, c.pData);
            EXPECT_EQ(strFirst, c.pszFirst);
            const std::string strFirstQuoted = c.pszFirst;
            EXPECT_EQ(strWalk.substr(0, strFirstQuoted.size()), strFirstQuoted) << strWalk;
            EXPECT_EQ(strWalk.substr(strWalk.size() - strFirstQuoted.size()), strFirstQuoted) << strWalk;
            EXPECT_EQ(nResult, bEnter ? IDOK : IDCANCEL) << strWalk;
        }
    }
}
