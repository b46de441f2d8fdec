#include "playback/gui/PlayBackDlg.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "app/gui/DialogControls.h"
#include "app/gui/DialogRegistry.h"
#include "relay/RelayDialogs.h"

namespace {

QString ControlName(UINT nID)
{
    switch (nID) {
    case IDOK: return QStringLiteral("idok");
    case IDCANCEL: return QStringLiteral("idcancel");
    default: return QStringLiteral("idc%1").arg(nID);
    }
}

const UINT kControlIds[] = {IDC_PLAY_CLIENT,
                            IDC_PLAY_SERVER,
                            IDC_CLIENT_CHECK_REPLY,
                            IDC_SERVER_CHECK_REPLY,
                            IDC_CLIENT_CONTROLLED_CHARS,
                            IDC_SERVER_CONTROLLED_CHARS,
                            IDC_SERVER_WAIT_ALL,
                            IDC_CLIENT_WAIT_ALL,
                            IDC_CLIENT_END_CONNECTION,
                            IDC_SERVER_END_CONNECTION,
                            IDC_ERASE_HISTORY,
                            IDOK,
                            IDCANCEL};

}  // namespace

CPlayBackDlg::CPlayBackDlg(QWidget* pParent, CPlayBackDlgData& dlgData)
    : QDialog(pParent), m_data(dlgData), m_state(dlgData)
{
    setWindowTitle(QStringLiteral("PlayBack"));
    setObjectName(QStringLiteral("idd%1").arg(IDD_PLAYBACK));

    auto makeCheck = [this](const char* pszText, UINT nID, BOOL bValue) {
        auto* pCheck = new QCheckBox(QString::fromLatin1(pszText), this);
        pCheck->setObjectName(ControlName(nID));
        pCheck->setChecked(bValue != 0);
        return pCheck;
    };
    auto makeCount = [this](UINT nID, int nValue) {
        auto* pEdit = new QLineEdit(QString::number(nValue), this);
        pEdit->setObjectName(ControlName(nID));
        dlg::KeepRoomForNumber(pEdit);
        return pEdit;
    };
    m_pClientCheckReply = makeCheck("Check Reply", IDC_CLIENT_CHECK_REPLY, m_data.m_bClientCheckReply);
    m_pServerCheckReply = makeCheck("Check Reply", IDC_SERVER_CHECK_REPLY, m_data.m_bServerCheckReply);
    m_pClientCount = makeCount(IDC_CLIENT_CONTROLLED_CHARS, m_data.m_nClientControlledChars);
    m_pServerCount = makeCount(IDC_SERVER_CONTROLLED_CHARS, m_data.m_nServerControlledChars);
    m_pClientWaitAll = makeCheck("Wait for all responses", IDC_CLIENT_WAIT_ALL, m_data.m_bClientWaitAllResponses);
    m_pServerWaitAll = makeCheck("Wait for all responses", IDC_SERVER_WAIT_ALL, m_data.m_bServerWaitAllResponses);
    m_pClientEnd = makeCheck("End connection", IDC_CLIENT_END_CONNECTION, m_data.m_bClientEndConnection);
    m_pServerEnd = makeCheck("End connection", IDC_SERVER_END_CONNECTION, m_data.m_bServerEndConnection);
    m_pEraseHistory = makeCheck("Erase history before starting play back", IDC_ERASE_HISTORY, m_data.m_bEraseHistory);

    // The two groups, each headed by its radio; the radios exclude each
    // other and start unchecked.
    auto* pRadios = new QButtonGroup(this);
    pRadios->setExclusive(true);
    auto makeGroup = [&](const char* pszRadio, UINT nRadioID, QCheckBox* pCheck, QLineEdit* pCount,
                         QCheckBox* pWaitAll, QCheckBox* pEnd) {
        // Headed by its radio, not a title: the box takes the radio's text as
        // its name, which tells the two groups' like-named controls apart.
        auto* pBox = new QGroupBox(this);
        pBox->setAccessibleName(QString::fromLatin1(pszRadio));
        auto* pGrid = new QGridLayout(pBox);
        auto* pRadio = new QRadioButton(QString::fromLatin1(pszRadio), pBox);
        pRadio->setObjectName(ControlName(nRadioID));
        pRadios->addButton(pRadio);
        pGrid->addWidget(pRadio, 0, 0, 1, 2);
        pGrid->addWidget(pCheck, 1, 0, 1, 2);
        pGrid->addWidget(dlg::MakeLabel("Number of controlled characters", pCount), 2, 0);
        pGrid->addWidget(pCount, 2, 1);
        pGrid->addWidget(pWaitAll, 3, 0, 1, 2);
        pGrid->addWidget(pEnd, 4, 0, 1, 2);
        return std::make_pair(pBox, pRadio);
    };
    auto [pClientBox, pClientRadio] = makeGroup("Client", IDC_PLAY_CLIENT, m_pClientCheckReply, m_pClientCount,
                                                m_pClientWaitAll, m_pClientEnd);
    auto [pServerBox, pServerRadio] = makeGroup("Server", IDC_PLAY_SERVER, m_pServerCheckReply, m_pServerCount,
                                                m_pServerWaitAll, m_pServerEnd);

    auto* pOk = new QPushButton(QStringLiteral("OK"), this);
    pOk->setObjectName(ControlName(IDOK));
    pOk->setDefault(true);
    auto* pCancel = new QPushButton(QStringLiteral("Cancel"), this);
    pCancel->setObjectName(ControlName(IDCANCEL));

    auto* pLeft = new QVBoxLayout;
    pLeft->addWidget(pClientBox);
    pLeft->addWidget(pServerBox);
    pLeft->addWidget(m_pEraseHistory);
    auto* pRight = new QVBoxLayout;
    pRight->addWidget(pOk);
    pRight->addWidget(pCancel);
    pRight->addStretch(1);
    auto* pMain = new QHBoxLayout(this);
    pMain->addLayout(pLeft);
    pMain->addLayout(pRight);

    // The focus moves down each group, from its radio through its controls,
    // then to the erase box and the buttons, as they stand on screen; the
    // order the controls were made in would jump between the two groups.
    QWidget* const order[] = {pClientRadio, m_pClientCheckReply, m_pClientCount, m_pClientWaitAll, m_pClientEnd,
                              pServerRadio, m_pServerCheckReply, m_pServerCount, m_pServerWaitAll, m_pServerEnd,
                              m_pEraseHistory, pOk, pCancel};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i)
        QWidget::setTabOrder(order[i], order[i + 1]);

    connect(pClientRadio, &QRadioButton::clicked, this, [this] {
        m_state.OnClientRadio();
        ApplyEnableRules();
    });
    connect(pServerRadio, &QRadioButton::clicked, this, [this] {
        m_state.OnServerRadio();
        ApplyEnableRules();
    });
    for (QCheckBox* pCheck : {m_pClientCheckReply, m_pServerCheckReply}) {
        connect(pCheck, &QCheckBox::clicked, this, [this] {
            ReadCheckBoxes();
            ApplyEnableRules();
        });
    }
    connect(pOk, &QPushButton::clicked, this, &CPlayBackDlg::accept);
    connect(pCancel, &QPushButton::clicked, this, &CPlayBackDlg::reject);

    m_onInvalidCount = [this](const QString& strPrompt) {
        QMessageBox::warning(this, QStringLiteral("PlayBack"), strPrompt);
    };
    ApplyEnableRules();
}

QWidget* CPlayBackDlg::Control(UINT nID) const
{
    return findChild<QWidget*>(ControlName(nID));
}

void CPlayBackDlg::ReadCheckBoxes()
{
    m_data.m_bClientCheckReply = m_pClientCheckReply->isChecked();
    m_data.m_bServerCheckReply = m_pServerCheckReply->isChecked();
    m_data.m_bClientWaitAllResponses = m_pClientWaitAll->isChecked();
    m_data.m_bServerWaitAllResponses = m_pServerWaitAll->isChecked();
    m_data.m_bClientEndConnection = m_pClientEnd->isChecked();
    m_data.m_bServerEndConnection = m_pServerEnd->isChecked();
    m_data.m_bEraseHistory = m_pEraseHistory->isChecked();
}

void CPlayBackDlg::ApplyEnableRules()
{
    for (const UINT nID : kControlIds) {
        if (QWidget* pControl = Control(nID))
            pControl->setEnabled(m_state.IsEnabled(nID));
    }
}

bool CPlayBackDlg::ReadCount(QLineEdit* pEdit, int& nValue)
{
    if (ParseDialogInt(pEdit->text().toLocal8Bit().toStdString(), nValue))
        return true;
    if (m_onInvalidCount)
        m_onInvalidCount(QString::fromLatin1(DialogIntPrompt()));
    pEdit->setFocus();
    pEdit->selectAll();
    return false;
}

void CPlayBackDlg::accept()
{
    // The counts are checked in the order of the controls before anything is
    // stored, so that a wrong count keeps the dialog open with the settings
    // unchanged.
    int nClient = 0;
    int nServer = 0;
    if (!ReadCount(m_pClientCount, nClient) || !ReadCount(m_pServerCount, nServer))
        return;
    ReadCheckBoxes();
    m_data.m_nClientControlledChars = nClient;
    m_data.m_nServerControlledChars = nServer;
    QDialog::accept();
}

void RegisterPlaybackDialogs()
{
    RegisterDialog(IDD_PLAYBACK, [](QWidget* pParent, CMidwireDoc&, void* pData) {
        if (!pData)
            return static_cast<int>(IDCANCEL);
        CPlayBackDlg dlg(pParent, *static_cast<CPlayBackDlgData*>(pData));
        return dlg.exec() == QDialog::Accepted ? static_cast<int>(IDOK) : static_cast<int>(IDCANCEL);
    });
}
