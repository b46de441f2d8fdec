// The progress windows of long walks over the history: "Please Wait" and
// the list's "Loading Event List", both behind CProgressWindow.
#pragma once

#include <QDialog>
#include <QPointer>
#include <functional>
#include <string>

#include "session/FrontEnd.h"

class QLabel;
class QProgressBar;

// "Please Wait": a line of text, a progress bar and Cancel. Modeless and
// without an owner; Cancel closes and destroys it at once.
class CPleaseWaitDlg : public QDialog {
    Q_OBJECT
public:
    CPleaseWaitDlg();
    void Create(const QString& text, int nLow, int nHigh);
    QProgressBar* Progress() const { return m_pProgress; }
    QLabel* Text() const { return m_pText; }

private:
    QLabel* m_pText;
    QProgressBar* m_pProgress;
};

// A progress dialog as the core sees it. The window is open until Cancel
// destroys it or the owner closes it; every position set is reported to the
// observer (tests follow the bar through it).
class CDialogProgress : public CProgressWindow {
public:
    CDialogProgress(QDialog* pDialog, QProgressBar* pBar, std::function<void(std::int64_t)> onPos);
    ~CDialogProgress() override;
    void SetPos(std::int64_t nPos) override;
    bool IsOpen() const override;
    void Close() override;

private:
    QPointer<QDialog> m_pDialog;
    QPointer<QProgressBar> m_pBar;
    std::function<void(std::int64_t)> m_onPos;
};
