// The relay's dialogs on the desktop: "Connect", "Connection Options" and
// "Waiting for connection accept".
#pragma once

#include <QDialog>

#include "relay/RelayDialogs.h"

class QCheckBox;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTimer;

// Dialog 130. Edits a CConnectDlgData; the caller stores it on OK.
class CConnectDlg : public QDialog {
public:
    CConnectDlg(CConnectDlgData& dlgData, QWidget* pParent = nullptr);
    // Reads the controls back into the data (both buttons do).
    void ReadControls();
    // The enable rules, after the heading boxes.
    void ApplyEnableRules();
    void accept() override;
    void reject() override;

    QCheckBox* m_pAccept;
    QLineEdit* m_pListenPort;
    QCheckBox* m_pHoldClient;
    QCheckBox* m_pKeepAlive;
    QCheckBox* m_pConnect;
    QLineEdit* m_pHost;
    QLineEdit* m_pServerPort;
    QCheckBox* m_pHoldServer;
    QPushButton* m_pConnectButton;

private:
    CConnectDlgData& m_data;
};

// Dialog 141. Edits a CConnectionOptionsData; integers are checked on OK,
// which keeps the dialog open with the range prompt when one is wrong.
class CConnectionOptionsDlg : public QDialog {
public:
    CConnectionOptionsDlg(CConnectionOptionsData& dlgData, QWidget* pParent = nullptr);
    // Validates and reads the controls; false (after the prompt) when an
    // integer field is wrong.
    bool ReadControls();
    void accept() override;

    QCheckBox* m_pUseBreakChar;
    QLineEdit* m_pBreakChar;
    QLineEdit* m_pClientRetries;  // "Client wait retry times:" (server side)
    QLineEdit* m_pServerRetries;  // "Server wait retry times:" (client side)
    QLineEdit* m_pClientTimeWait; // "Client time wait:" (server side)
    QLineEdit* m_pServerTimeWait; // "Server time wait:" (client side)
    QLineEdit* m_pDisplayBreak;
    QLineEdit* m_pMaxLineLength;
    QCheckBox* m_pKeepBreaks;
    QCheckBox* m_pQuiet;
    QCheckBox* m_pVerbose;
    QCheckBox* m_pVisibleScroll;
    // The prompt of the last wrong integer (empty when none).
    QString m_strLastPrompt;
    // Shows prompts in message boxes; off in tests.
    bool m_bShowPrompts = true;

private:
    CConnectionOptionsData& m_data;
};

// Dialog 131: the sweeping bar with its 100 ms timer, and Cancel.
class CWaitAcceptWnd : public QDialog, public CWaitAcceptDlg {
public:
    CWaitAcceptWnd(CMidwireDoc& doc, QWidget* pParent = nullptr);
    void EndDialog(int nResult) override;
    void SetProgressPos(int nPos) override;

    QProgressBar* m_pBar;

private:
    QTimer* m_pTimer;
};

void RegisterRelayDialogs();
