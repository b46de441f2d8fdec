// "PlayBack": the dialog of Start PlayBack. It chooses the side to replay and
// the checks of each side.
#pragma once

#include <QDialog>
#include <functional>

#include "playback/Playback.h"

class QAbstractButton;
class QCheckBox;
class QLineEdit;

class CPlayBackDlg : public QDialog {
    Q_OBJECT
public:
    // The controls start from the data; OK writes them back (after checking
    // the two counts), Cancel leaves the settings as they were. The chosen
    // side is written at once when a radio is clicked.
    CPlayBackDlg(QWidget* pParent, CPlayBackDlgData& dlgData);

    void accept() override;

    // The control of an id (tests reach the controls through it).
    QWidget* Control(UINT nID) const;
    // Shows the prompt for a count that is no integer from 0 to 2147483647;
    // a message box unless replaced (tests).
    std::function<void(const QString& strPrompt)> m_onInvalidCount;

private:
    void ReadCheckBoxes();
    void ApplyEnableRules();
    // Reads a count field; false (with the prompt shown and the field
    // focused) when it is no integer in range.
    bool ReadCount(QLineEdit* pEdit, int& nValue);

    CPlayBackDlgData& m_data;
    CPlayBackDlgState m_state;
    QCheckBox* m_pClientCheckReply;
    QCheckBox* m_pServerCheckReply;
    QLineEdit* m_pClientCount;
    QLineEdit* m_pServerCount;
    QCheckBox* m_pClientWaitAll;
    QCheckBox* m_pServerWaitAll;
    QCheckBox* m_pClientEnd;
    QCheckBox* m_pServerEnd;
    QCheckBox* m_pEraseHistory;
};

// Registers the dialog under IDD_PLAYBACK; pData is a CPlayBackDlgData.
void RegisterPlaybackDialogs();
