#include "relay/gui/RelayGui.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "app/gui/DialogControls.h"
#include "app/gui/DialogRegistry.h"
#include "session/MidwireDoc.h"

namespace {

using dlg::Checked;
using dlg::FromQ;
using dlg::MakeCheck;
using dlg::MakeEdit;
using dlg::ToQ;

}  // namespace

// --- Connect ---

CConnectDlg::CConnectDlg(CConnectDlgData& dlgData, QWidget* pParent) : QDialog(pParent), m_data(dlgData)
{
    setWindowTitle(QStringLiteral("Connect"));
    m_pAccept = MakeCheck("Accept connections", m_data.m_bAcceptConnections, 1010);
    m_pListenPort = MakeEdit(ToQ(m_data.m_strListenPort), 1013);
    m_pHoldClient = MakeCheck("Wait before sending", m_data.m_bHoldClientData, 1014);
    m_pKeepAlive = MakeCheck("Keep alive after disconnect", m_data.m_bKeepAlive, 1016);
    m_pConnect = MakeCheck("Connect to host", m_data.m_bConnectToHost, 1009);
    m_pHost = MakeEdit(ToQ(m_data.m_strServerHost), 1011, CONNECT_HOST_MAX);
    m_pServerPort = MakeEdit(ToQ(m_data.m_strServerPort), 1012);
    m_pHoldServer = MakeCheck("Wait before sending", m_data.m_bHoldServerData, 1015);

    // The boxes are headed by their check boxes rather than titles; their
    // names tell the two "Port:" fields apart for assistive technology.
    auto* pAcceptBox = new QGroupBox;
    pAcceptBox->setAccessibleName(m_pAccept->text());
    auto* pAcceptLayout = new QFormLayout(pAcceptBox);
    pAcceptLayout->addRow(m_pAccept);
    pAcceptLayout->addRow(QStringLiteral("Port:"), m_pListenPort);
    pAcceptLayout->addRow(m_pHoldClient);
    pAcceptLayout->addRow(m_pKeepAlive);
    auto* pConnectBox = new QGroupBox;
    pConnectBox->setAccessibleName(m_pConnect->text());
    auto* pConnectLayout = new QFormLayout(pConnectBox);
    pConnectLayout->addRow(m_pConnect);
    pConnectLayout->addRow(QStringLiteral("Host:"), m_pHost);
    pConnectLayout->addRow(QStringLiteral("Port:"), m_pServerPort);
    pConnectLayout->addRow(m_pHoldServer);

    auto* pButtons = new QDialogButtonBox(Qt::Vertical);
    m_pConnectButton = pButtons->addButton(QStringLiteral("Connect"), QDialogButtonBox::AcceptRole);
    m_pConnectButton->setObjectName(QStringLiteral("1001"));
    pButtons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole)->setObjectName(QStringLiteral("1002"));
    QObject::connect(pButtons, &QDialogButtonBox::accepted, this, &CConnectDlg::accept);
    QObject::connect(pButtons, &QDialogButtonBox::rejected, this, &CConnectDlg::reject);
    QObject::connect(m_pAccept, &QCheckBox::clicked, this, [this] {
        ReadControls();
        ApplyEnableRules();
    });
    QObject::connect(m_pConnect, &QCheckBox::clicked, this, [this] {
        ReadControls();
        ApplyEnableRules();
    });

    auto* pGroups = new QVBoxLayout;
    pGroups->addWidget(pAcceptBox);
    pGroups->addWidget(pConnectBox);
    auto* pMain = new QHBoxLayout(this);
    pMain->addLayout(pGroups, 1);
    pMain->addWidget(pButtons, 0, Qt::AlignTop);
    // The default once the button is in the dialog (see dlg::FinishLayout):
    // Enter connects wherever the focus has been.
    m_pConnectButton->setDefault(true);
    ApplyEnableRules();
}

void CConnectDlg::ReadControls()
{
    m_data.m_bAcceptConnections = Checked(m_pAccept);
    m_data.m_strListenPort = FromQ(m_pListenPort);
    m_data.m_bHoldClientData = Checked(m_pHoldClient);
    m_data.m_bKeepAlive = Checked(m_pKeepAlive);
    m_data.m_bConnectToHost = Checked(m_pConnect);
    m_data.m_strServerHost = FromQ(m_pHost);
    m_data.m_strServerPort = FromQ(m_pServerPort);
    m_data.m_bHoldServerData = Checked(m_pHoldServer);
}

void CConnectDlg::accept()
{
    ReadControls();
    QDialog::accept();
}

void CConnectDlg::reject()
{
    ReadControls();
    QDialog::reject();
}

void CConnectDlg::ApplyEnableRules()
{
    const CConnectEnableState state = ConnectEnableRules(m_data.m_bAcceptConnections, m_data.m_bConnectToHost);
    m_pHost->setEnabled(state.bServerHost);
    m_pServerPort->setEnabled(state.bServerPort);
    m_pListenPort->setEnabled(state.bListenPort);
    m_pKeepAlive->setEnabled(state.bKeepAlive);
    m_pHoldClient->setEnabled(state.bHoldClient);
    m_pHoldServer->setEnabled(state.bHoldServer);
    m_pConnectButton->setEnabled(state.bConnect);
}

// --- Connection Options ---

CConnectionOptionsDlg::CConnectionOptionsDlg(CConnectionOptionsData& dlgData, QWidget* pParent)
    : QDialog(pParent), m_data(dlgData)
{
    setWindowTitle(QStringLiteral("Connection Options"));
    m_pUseBreakChar = MakeCheck("Use Break Character", m_data.m_bUseBreakChar, 1027);
    m_pBreakChar = MakeEdit(ToQ(m_data.m_strBreakChar), 1023, BREAK_CHAR_TEXT_MAX);
    m_pClientRetries = MakeEdit(QString::number(m_data.m_nServerWaitRetries), 1024);
    m_pServerRetries = MakeEdit(QString::number(m_data.m_nClientWaitRetries), 1026);
    m_pClientTimeWait = MakeEdit(QString::number(m_data.m_nServerTimeWait), 1028);
    m_pServerTimeWait = MakeEdit(QString::number(m_data.m_nClientTimeWait), 1029);
    m_pDisplayBreak = MakeEdit(ToQ(m_data.m_strDisplayBreak), 1020, BREAK_CHAR_TEXT_MAX);
    m_pMaxLineLength = MakeEdit(QString::number(m_data.m_nMaxLineLength), 1021);
    m_pKeepBreaks = MakeCheck("Keep breaks", m_data.m_bKeepBreaks, 1025);
    m_pQuiet = MakeCheck("Quiet", m_data.m_bQuiet, 1019);
    m_pVerbose = MakeCheck("Verbose", m_data.m_bVerbose, 1018);
    m_pVisibleScroll = MakeCheck("Visible Scroll", m_data.m_bVisibleScroll, 1022);

    auto* pThreads = new QGroupBox(QStringLiteral("Connection threads"));
    auto* pThreadsLayout = new QFormLayout(pThreads);
    pThreadsLayout->addRow(m_pUseBreakChar);
    pThreadsLayout->addRow(QStringLiteral("Break Character:"), m_pBreakChar);
    pThreadsLayout->addRow(QStringLiteral("Client wait retry times:"), m_pClientRetries);
    pThreadsLayout->addRow(QStringLiteral("Server wait retry times:"), m_pServerRetries);
    pThreadsLayout->addRow(QStringLiteral("Client time wait:"), m_pClientTimeWait);
    pThreadsLayout->addRow(QStringLiteral("Server time wait:"), m_pServerTimeWait);
    auto* pTranslation = new QGroupBox(QStringLiteral("Translation"));
    auto* pTranslationLayout = new QFormLayout(pTranslation);
    pTranslationLayout->addRow(QStringLiteral("Break Character:"), m_pDisplayBreak);
    pTranslationLayout->addRow(QStringLiteral("Max Line Length:"), m_pMaxLineLength);
    pTranslationLayout->addRow(m_pKeepBreaks);
    auto* pDisplay = new QGroupBox(QStringLiteral("Display"));
    auto* pDisplayLayout = new QVBoxLayout(pDisplay);
    pDisplayLayout->addWidget(m_pQuiet);
    pDisplayLayout->addWidget(m_pVerbose);
    pDisplayLayout->addWidget(m_pVisibleScroll);

    // The thread break character follows its box only when the box is
    // clicked; on opening the edit is enabled whatever the box shows. A click
    // reads the controls back first, which flags a wrong number at once.
    QObject::connect(m_pUseBreakChar, &QCheckBox::clicked, this, [this] {
        ReadControls();
        m_pBreakChar->setEnabled(m_pUseBreakChar->isChecked());
    });

    auto* pRight = new QVBoxLayout;
    pRight->addWidget(pTranslation);
    pRight->addWidget(pDisplay);
    auto* pGroups = new QHBoxLayout;
    pGroups->addWidget(pThreads);
    pGroups->addLayout(pRight);
    dlg::FinishLayout(this, pGroups);
}

bool CConnectionOptionsDlg::ReadControls()
{
    struct Field {
        QLineEdit* pEdit;
        int* pValue;
    } fields[] = {
        {m_pClientRetries, &m_data.m_nServerWaitRetries}, {m_pServerRetries, &m_data.m_nClientWaitRetries},
        {m_pClientTimeWait, &m_data.m_nServerTimeWait},   {m_pServerTimeWait, &m_data.m_nClientTimeWait},
        {m_pMaxLineLength, &m_data.m_nMaxLineLength},
    };
    int values[5];
    for (int i = 0; i < 5; ++i) {
        if (!ParseDialogInt(FromQ(fields[i].pEdit), values[i])) {
            m_strLastPrompt = QString::fromLatin1(DialogIntPrompt());
            if (m_bShowPrompts)
                QMessageBox::warning(this, windowTitle(), m_strLastPrompt);
            fields[i].pEdit->setFocus();
            fields[i].pEdit->selectAll();
            return false;
        }
    }
    for (int i = 0; i < 5; ++i)
        *fields[i].pValue = values[i];
    m_strLastPrompt.clear();
    m_data.m_bUseBreakChar = Checked(m_pUseBreakChar);
    m_data.m_strBreakChar = FromQ(m_pBreakChar);
    m_data.m_strDisplayBreak = FromQ(m_pDisplayBreak);
    m_data.m_bKeepBreaks = Checked(m_pKeepBreaks);
    m_data.m_bQuiet = Checked(m_pQuiet);
    m_data.m_bVerbose = Checked(m_pVerbose);
    m_data.m_bVisibleScroll = Checked(m_pVisibleScroll);
    return true;
}

void CConnectionOptionsDlg::accept()
{
    if (ReadControls())
        QDialog::accept();
}

// --- Waiting for connection accept ---

CWaitAcceptWnd::CWaitAcceptWnd(CMidwireDoc& doc, QWidget* pParent) : QDialog(pParent), CWaitAcceptDlg(doc)
{
    setWindowTitle(QStringLiteral("Waiting for connection accept"));
    auto* pLabel = new QLabel(QStringLiteral("Listening for connections"));
    pLabel->setAlignment(Qt::AlignCenter);
    m_pBar = new QProgressBar;
    m_pBar->setObjectName(QStringLiteral("1015"));
    m_pBar->setRange(0, 100);
    m_pBar->setValue(0);
    // The bar only sweeps while the wait lasts; a percentage would suggest
    // progress that does not exist.
    m_pBar->setTextVisible(false);
    auto* pCancel = new QPushButton(QStringLiteral("Cancel"));
    pCancel->setObjectName(QStringLiteral("1016"));
    QObject::connect(pCancel, &QPushButton::clicked, this, [this] { EndDialog(IDCANCEL); });
    auto* pLayout = new QVBoxLayout(this);
    pLayout->addWidget(pLabel);
    pLayout->addWidget(m_pBar);
    pLayout->addWidget(pCancel, 0, Qt::AlignCenter);
    m_pTimer = new QTimer(this);
    QObject::connect(m_pTimer, &QTimer::timeout, this, [this] { OnTimer(); });
    m_pTimer->start(TIMER_PERIOD_MS);
}

void CWaitAcceptWnd::EndDialog(int nResult)
{
    m_pTimer->stop();
    done(nResult == IDOK ? QDialog::Accepted : QDialog::Rejected);
}

void CWaitAcceptWnd::SetProgressPos(int nPos)
{
    CWaitAcceptDlg::SetProgressPos(nPos);
    m_pBar->setValue(nPos);
}

void RegisterRelayDialogs()
{
    RegisterDialog(IDD_CONNECT, [](QWidget* pParent, CMidwireDoc&, void* pData) {
        auto* pConnect = static_cast<CConnectDlgData*>(pData);
        if (!pConnect)
            return static_cast<int>(IDCANCEL);
        CConnectDlg dlg(*pConnect, pParent);
        return dlg.exec() == QDialog::Accepted ? static_cast<int>(IDOK) : static_cast<int>(IDCANCEL);
    });
    RegisterDialog(IDD_CONNECTION_OPTIONS, [](QWidget* pParent, CMidwireDoc&, void* pData) {
        auto* pOptions = static_cast<CConnectionOptionsData*>(pData);
        if (!pOptions)
            return static_cast<int>(IDCANCEL);
        CConnectionOptionsDlg dlg(*pOptions, pParent);
        return dlg.exec() == QDialog::Accepted ? static_cast<int>(IDOK) : static_cast<int>(IDCANCEL);
    });
    RegisterDialog(IDD_WAIT_ACCEPT, [](QWidget* pParent, CMidwireDoc& doc, void*) {
        CWaitAcceptWnd dlg(doc, pParent);
        return dlg.exec() == QDialog::Accepted ? static_cast<int>(IDOK) : static_cast<int>(IDCANCEL);
    });
}
