// The main window: menus, toolbar, status bar and the two panes (history
// list above, data editor below). It is the window side of the session
// (CFrontEnd) and runs every command through the command table.
#pragma once

#include <QDialog>
#include <QMainWindow>
#include <QPrinter>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "session/FrontEnd.h"

class CMidwireDoc;
class CMidwireEdit;
class CMidwireListView;
class QAction;
class QLabel;
class QMenu;
class QMimeData;
class QSplitter;
class QTimer;
class QToolBar;

class CMainFrame : public QMainWindow, public CFrontEnd {
    Q_OBJECT
public:
    explicit CMainFrame(CMidwireDoc& doc);
    ~CMainFrame() override;

    // --- CFrontEnd ---
    BOOL AddEventRow(HistoryEvent* pEvent) override;
    void DeleteAllRows() override;
    std::vector<HistoryEvent*> GetSelectedEvents() override;
    std::string GetEditorText() override;
    bool SetEditorText(const std::string& strText) override;
    std::size_t GetEditorTextLength() override;
    int MessageBox(const std::string& strText, UINT nType = MB_OK) override;
    void WarningBox(const std::string& strText) override;
    std::unique_ptr<CProgressWindow> CreateProgress(EProgressKind kind, const std::string& strText,
                                                    std::int64_t nLow, std::int64_t nHigh) override;
    void PumpMessages() override;
    std::unique_ptr<CStreamWait> CreateStreamWait(const std::string& strText) override;
    int DoModal(UINT nIDD, void* pData = nullptr) override;
    bool PromptFileName(std::string& strPath, bool bOpenFileDialog, const std::string& strFilter,
                        const std::string& strDefaultExt = std::string()) override;

    // Registers the commands the window carries out itself (editing, print,
    // exit, about, panes, bars, recent files). Call after RegisterAllCommands.
    void RegisterWindowCommands();

    // Runs a command as a menu item would; false when it is disabled.
    bool RunCommand(UINT nID);
    // Evaluates every enable rule into the menus and the toolbar.
    void UpdateCommandStates();
    // Opens a session file as Open does, adding it to the recent files.
    bool OpenSessionFile(const QString& strPath);

    CMidwireListView* ListView() const { return m_pList; }
    CMidwireEdit* Editor() const { return m_pEditor; }
    QAction* Action(UINT nID) const;
    QToolBar* ToolBar() const { return m_pToolBar; }
    QStringList RecentFiles() const { return m_recent; }
    QString CaptionText() const;

    // The last progress windows shown (newest last), with the positions
    // their bars were set to.
    struct ProgressRecord {
        EProgressKind kind;
        std::string strText;
        std::int64_t nLow, nHigh;
        std::vector<std::int64_t> positions;
    };
    std::vector<ProgressRecord> ProgressLog() const;

    // Answers for message boxes and file prompts instead of showing them
    // (scripted use and tests). Unset: the real dialogs are shown.
    std::function<int(const std::string& strText, UINT nType)> m_onMessageBox;
    std::function<bool(std::string& strPath, bool bOpen)> m_onPromptFileName;

protected:
    void closeEvent(QCloseEvent* pEvent) override;
    void dragEnterEvent(QDragEnterEvent* pEvent) override;
    void dropEvent(QDropEvent* pEvent) override;
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override;
    // A font changed while the window is open sizes the toolbar's pictures
    // for it.
    void changeEvent(QEvent* pEvent) override;

private:
    void CreateActions();
    void CreateMenus();
    void CreateToolBar();
    void FitToolBarIcons();
    void CreateStatusBar();
    void UpdateMenu(QMenu* pMenu);
    void UpdateAction(QAction* pAction);
    void OnIdle();
    void AddRecentFile(const QString& strPath);
    void UpdateRecentMenu();
    void SwitchPane(bool bNext);
    QString SessionFileOf(const QMimeData* pData) const;

    CMidwireDoc& m_doc;
    CFrontEnd* m_pPreviousFrontEnd;
    QSplitter* m_pSplitter;
    CMidwireListView* m_pList;
    CMidwireEdit* m_pEditor;
    QToolBar* m_pToolBar = nullptr;
    QLabel* m_pReady = nullptr;
    QTimer* m_pIdleTimer;
    std::map<UINT, QAction*> m_actions;
    QAction* m_pRecentPlaceholder = nullptr;
    QStringList m_recent;
    std::string m_strLastPath;
    QPrinter m_printer;
    std::deque<std::shared_ptr<ProgressRecord>> m_progressLog;
    bool m_bSocketsStarted = false;
    // The window was asked to close while a walk over the history ran: it
    // closes once the walk has ended.
    bool m_bCloseAfterWalk = false;
    // Waits for a pipe in progress (CreateStreamWait): a close asked for
    // meanwhile cancels them and is carried out after.
    int m_nStreamWaits = 0;
    // A walk over the history, or a wait for a pipe, is in progress: the
    // window's events are handled meanwhile, but only the commands that may
    // run during a walk are taken, so that no command starts inside another.
    bool IsBusy() const;
    friend class CWindowStreamWait;
    // The active pane: commands go to its view first. Undo, Cut, Copy and
    // Paste belong to the editor, so they act (and are enabled) only while
    // the editor is the active pane. The history list is active at first.
    bool m_bEditorActive = false;
};

// The About box.
class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* pParent);
};
