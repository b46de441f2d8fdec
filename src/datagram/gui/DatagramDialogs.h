// The three dialogs of the datagram relay: Bind (port and move rules), Send
// (destination) and Datagram Options. Each is filled from the document when
// it opens and writes back into it only on OK.
#pragma once

#include <QDialog>

class CMidwireDoc;
class QCheckBox;
class QLineEdit;

// Bind (149).
class CBindDlg : public QDialog {
public:
    CBindDlg(CMidwireDoc& doc, QWidget* pParent = nullptr);
    // Copies every field into the document (what OK does).
    void SaveToDocument();

    struct RuleControls {
        QCheckBox* pMove;
        QLineEdit* pFromHost;
        QCheckBox* pEveryone;
        QLineEdit* pToPort;
        QLineEdit* pToHost;
        QCheckBox* pBroadcast;
    };
    QLineEdit* m_pPort;
    RuleControls m_rules[2];

private:
    void ApplyRule(int nRule);
    CMidwireDoc& m_doc;
};

// Send (150).
class CSendDlg : public QDialog {
public:
    CSendDlg(CMidwireDoc& doc, QWidget* pParent = nullptr);
    void SaveToDocument();

    QLineEdit* m_pPort;
    QLineEdit* m_pHost;
    QCheckBox* m_pBroadcast;

private:
    CMidwireDoc& m_doc;
};

// Datagram Options (151).
class CDatagramOptionsDlg : public QDialog {
public:
    CDatagramOptionsDlg(CMidwireDoc& doc, QWidget* pParent = nullptr);
    void SaveToDocument();

    QCheckBox* m_pQuiet;
    QCheckBox* m_pVerbose;
    QCheckBox* m_pVisibleScroll;
    QCheckBox* m_pResolve;

private:
    CMidwireDoc& m_doc;
};

// Registers the three dialogs with the dialog registry.
void RegisterDatagramDialogs();
