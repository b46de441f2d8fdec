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

// A progress window: a centred line of text, a bar without text and Cancel
// (named "cancel"). Cancel closes and destroys it at once.
class CProgressBarDlg : public QDialog {
    Q_OBJECT
public:
    CProgressBarDlg(QWidget* pParent, const QString& title, const QString& text);
    QProgressBar* Progress() const { return m_pProgress; }
    QLabel* Text() const { return m_pText; }

private:
    QLabel* m_pText;
    QProgressBar* m_pProgress;
};

// "Please Wait": modeless and without an owner.
class CPleaseWaitDlg : public CProgressBarDlg {
    Q_OBJECT
public:
    CPleaseWaitDlg();
    void Create(const QString& text, int nLow, int nHigh);
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
