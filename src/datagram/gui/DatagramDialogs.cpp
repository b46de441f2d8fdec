#include "datagram/gui/DatagramDialogs.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/gui/DialogControls.h"
#include "app/gui/DialogRegistry.h"
#include "datagram/DatagramRelay.h"
#include "session/MidwireDoc.h"

namespace {

using dlg::Checked;
using dlg::FinishLayout;
using dlg::FromQ;
using dlg::MakeCheck;
using dlg::MakeEdit;
using dlg::MakeLabel;
using dlg::ToQ;

template <class Dlg>
DialogFactory MakeFactory()
{
    return [](QWidget* pParent, CMidwireDoc& doc, void*) {
        Dlg dlg(doc, pParent);
        if (dlg.exec() != QDialog::Accepted)
            return static_cast<int>(IDCANCEL);
        dlg.SaveToDocument();
        return static_cast<int>(IDOK);
    };
}

}  // namespace

CBindDlg::CBindDlg(CMidwireDoc& doc, QWidget* pParent) : QDialog(pParent), m_doc(doc)
{
    setWindowTitle(QStringLiteral("Bind"));
    auto* pContent = new QVBoxLayout;

    auto* pReceiver = new QGroupBox(QStringLiteral("Binded receiver"));
    auto* pReceiverForm = new QFormLayout(pReceiver);
    m_pPort = MakeEdit(doc.m_strDgramPort, 1063);
    pReceiverForm->addRow(QStringLiteral("Port:"), m_pPort);
    pContent->addWidget(pReceiver);

    struct RuleIds {
        int nMove, nFrom, nEveryone, nToPort, nToHost, nBroadcast;
    };
    const RuleIds ids[2] = {{1070, 1069, 1071, 1072, 1073, 1074}, {1077, 1076, 1075, 1078, 1079, 1080}};
    const BOOL bMove[2] = {doc.m_bMove1, doc.m_bMove2};
    const std::string* pFrom[2] = {&doc.m_strMoveFromHost1, &doc.m_strMoveFromHost2};
    const BOOL bEveryone[2] = {doc.m_bMoveEveryone1, doc.m_bMoveEveryone2};
    const std::string* pToPort[2] = {&doc.m_strMoveToPort1, &doc.m_strMoveToPort2};
    const std::string* pToHost[2] = {&doc.m_strMoveToHost1, &doc.m_strMoveToHost2};
    const BOOL bBroadcast[2] = {doc.m_bMoveBroadcast1, doc.m_bMoveBroadcast2};

    for (int i = 0; i < 2; ++i) {
        RuleControls& r = m_rules[i];
        r.pMove = MakeCheck("Move", bMove[i], ids[i].nMove);
        r.pFromHost = MakeEdit(*pFrom[i], ids[i].nFrom);
        r.pEveryone = MakeCheck("Everyone", bEveryone[i], ids[i].nEveryone);
        r.pToPort = MakeEdit(*pToPort[i], ids[i].nToPort);
        r.pToHost = MakeEdit(*pToHost[i], ids[i].nToHost);
        r.pBroadcast = MakeCheck("Broadcast", bBroadcast[i], ids[i].nBroadcast);

        // The two rules' boxes have no title: assistive technology tells
        // their like-named controls apart by the box's name.
        auto* pGroup = new QGroupBox;
        pGroup->setAccessibleName(QStringLiteral("Move %1").arg(i + 1));
        auto* pGroupLayout = new QVBoxLayout(pGroup);
        pGroupLayout->addWidget(r.pMove);
        auto* pFromRow = new QHBoxLayout;
        pFromRow->addWidget(new QLabel(QStringLiteral("From")));
        pFromRow->addWidget(MakeLabel("Host:", r.pFromHost, QStringLiteral("From Host:")));
        pFromRow->addWidget(r.pFromHost, 1);
        pFromRow->addWidget(r.pEveryone);
        pGroupLayout->addLayout(pFromRow);
        auto* pToRow = new QHBoxLayout;
        pToRow->addWidget(MakeLabel("To Port:", r.pToPort));
        pToRow->addWidget(r.pToPort);
        pToRow->addWidget(MakeLabel("Host:", r.pToHost, QStringLiteral("To Host:")));
        pToRow->addWidget(r.pToHost, 1);
        pToRow->addWidget(r.pBroadcast);
        pGroupLayout->addLayout(pToRow);
        pContent->addWidget(pGroup);

        connect(r.pMove, &QCheckBox::clicked, this, [this, i] { ApplyRule(i); });
        // Everyone and Broadcast each govern only their own host field.
        connect(r.pEveryone, &QCheckBox::clicked, this,
                [&r] { r.pFromHost->setEnabled(r.pMove->isChecked() && !r.pEveryone->isChecked()); });
        connect(r.pBroadcast, &QCheckBox::clicked, this,
                [&r] { r.pToHost->setEnabled(r.pMove->isChecked() && !r.pBroadcast->isChecked()); });
        ApplyRule(i);
    }
    FinishLayout(this, pContent);
}

void CBindDlg::ApplyRule(int nRule)
{
    const RuleControls& r = m_rules[nRule];
    const bool bMove = r.pMove->isChecked();
    r.pToPort->setEnabled(bMove);
    r.pEveryone->setEnabled(bMove);
    r.pBroadcast->setEnabled(bMove);
    r.pFromHost->setEnabled(bMove && !r.pEveryone->isChecked());
    r.pToHost->setEnabled(bMove && !r.pBroadcast->isChecked());
}

void CBindDlg::SaveToDocument()
{
    m_doc.m_strDgramPort = FromQ(m_pPort);
    m_doc.m_bMove1 = Checked(m_rules[0].pMove);
    m_doc.m_strMoveFromHost1 = FromQ(m_rules[0].pFromHost);
    m_doc.m_bMoveEveryone1 = Checked(m_rules[0].pEveryone);
    m_doc.m_strMoveToPort1 = FromQ(m_rules[0].pToPort);
    m_doc.m_strMoveToHost1 = FromQ(m_rules[0].pToHost);
    m_doc.m_bMoveBroadcast1 = Checked(m_rules[0].pBroadcast);
    m_doc.m_bMove2 = Checked(m_rules[1].pMove);
    m_doc.m_strMoveFromHost2 = FromQ(m_rules[1].pFromHost);
    m_doc.m_bMoveEveryone2 = Checked(m_rules[1].pEveryone);
    m_doc.m_strMoveToPort2 = FromQ(m_rules[1].pToPort);
    m_doc.m_strMoveToHost2 = FromQ(m_rules[1].pToHost);
    m_doc.m_bMoveBroadcast2 = Checked(m_rules[1].pBroadcast);
}

CSendDlg::CSendDlg(CMidwireDoc& doc, QWidget* pParent) : QDialog(pParent), m_doc(doc)
{
    setWindowTitle(QStringLiteral("Send"));
    auto* pContent = new QVBoxLayout;
    auto* pGroup = new QGroupBox(QStringLiteral("Destination"));
    auto* pForm = new QFormLayout(pGroup);
    m_pPort = MakeEdit(doc.m_strSendPort, 1067);
    m_pHost = MakeEdit(doc.m_strSendHost, 1065);
    m_pBroadcast = MakeCheck("Broadcast", doc.m_bSendBroadcast, 1066);
    pForm->addRow(QStringLiteral("Port:"), m_pPort);
    pForm->addRow(QStringLiteral("Host:"), m_pHost);
    pForm->addRow(m_pBroadcast);
    pContent->addWidget(pGroup);
    m_pHost->setEnabled(!m_pBroadcast->isChecked());
    connect(m_pBroadcast, &QCheckBox::clicked, this, [this] { m_pHost->setEnabled(!m_pBroadcast->isChecked()); });
    FinishLayout(this, pContent);
}

void CSendDlg::SaveToDocument()
{
    m_doc.m_strSendPort = FromQ(m_pPort);
    m_doc.m_strSendHost = FromQ(m_pHost);
    m_doc.m_bSendBroadcast = Checked(m_pBroadcast);
}

CDatagramOptionsDlg::CDatagramOptionsDlg(CMidwireDoc& doc, QWidget* pParent) : QDialog(pParent), m_doc(doc)
{
    setWindowTitle(QStringLiteral("Datagram Options"));
    auto* pContent = new QVBoxLayout;
    auto* pDisplay = new QGroupBox(QStringLiteral("Display"));
    auto* pDisplayLayout = new QVBoxLayout(pDisplay);
    m_pQuiet = MakeCheck("Quiet", doc.m_bDgramQuiet, 1019);
    m_pVerbose = MakeCheck("Verbose", doc.m_bDgramVerbose, 1018);
    m_pVisibleScroll = MakeCheck("Visible Scroll", doc.m_bVisibleScroll, 1022);
    pDisplayLayout->addWidget(m_pQuiet);
    pDisplayLayout->addWidget(m_pVerbose);
    pDisplayLayout->addWidget(m_pVisibleScroll);
    auto* pNames = new QGroupBox(QStringLiteral("Host Names"));
    auto* pNamesLayout = new QVBoxLayout(pNames);
    m_pResolve = MakeCheck("Resolve", doc.m_bResolveNames, 1073);
    pNamesLayout->addWidget(m_pResolve);
    pContent->addWidget(pDisplay);
    pContent->addWidget(pNames);
    FinishLayout(this, pContent);
}

void CDatagramOptionsDlg::SaveToDocument()
{
    m_doc.m_bDgramQuiet = Checked(m_pQuiet);
    m_doc.m_bDgramVerbose = Checked(m_pVerbose);
    m_doc.m_bVisibleScroll = Checked(m_pVisibleScroll);
    m_doc.m_bResolveNames = Checked(m_pResolve);
}

void RegisterDatagramDialogs()
{
    RegisterDialog(IDD_BIND, MakeFactory<CBindDlg>());
    RegisterDialog(IDD_SEND, MakeFactory<CSendDlg>());
    RegisterDialog(IDD_DATAGRAM_OPTIONS, MakeFactory<CDatagramOptionsDlg>());
}
