// The history list: one row per recorded event, in the upper pane.
//
// The model keeps one event pointer per row and renders the columns when a
// row is shown, so the list stays fluid with millions of rows. Rows are
// added from any thread: AddEventRow appends to a pending batch under a short
// lock and never waits for the window thread, which moves the batch into the
// model (in call order) the next time it handles its messages.
#pragma once

#include <QAbstractTableModel>
#include <QDialog>
#include <QTableView>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/gui/ProgressDlg.h"
#include "app/resource.h"

class CMidwireDoc;
class HistoryEvent;
class QProgressBar;

class CEventListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum { COL_ACTION, COL_HOST, COL_TIME, COL_DATA, COL_COUNT };

    explicit CEventListModel(QObject* pParent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int nSection, Qt::Orientation orientation, int role) const override;

    // Any thread: queues a row. Always succeeds.
    BOOL AddEventRow(HistoryEvent* pEvent);
    // Window thread: drops every row, shown or pending.
    void DeleteAllRows();
    // Window thread: moves a batch of pending rows into the model; returns
    // how many. A large backlog goes in over several turns of the event
    // loop, so the window never stalls on it.
    std::size_t Flush();
    // Window thread: moves every pending row into the model.
    void FlushAll();

    HistoryEvent* EventAt(int nRow) const;
    // Rows in the model plus rows still pending.
    std::size_t GetRowCounter() const;
    // Bytes the list holds per row beyond the events themselves.
    std::size_t GetBytesHeld() const;

signals:
    // Emitted after a flush that added rows.
    void rowsFlushed(int nFirst, int nLast);

private:
    void ScheduleFlush();
    // Window thread: when the session's host names differ from those of the
    // last rows, the rows from nFirstRow on show the new ones.
    void NoteHostNames(std::size_t nFirstRow);
    // The host column of a row, as the session named the hosts when the
    // row was made.
    std::string HostTextAt(int nRow, const HistoryEvent& event) const;
    std::string TimeTextAt(int nRow, const HistoryEvent& event) const;

    // The client and server host names from one row on, up to the next
    // entry; kept in row order. Host names change only between connections,
    // so there are few entries however many rows there are.
    struct HostNames {
        std::size_t nFirstRow;
        std::string strClient;
        std::string strServer;
    };
    std::vector<HostNames> m_hostNames;  // window thread only
    // The row after the last one the window thread added: rows before it
    // have their names noted.
    std::size_t m_nNextUnpinnedRow = 0;  // window thread only
    // Rows of an unknown kind show the time they were made.
    std::unordered_map<std::size_t, std::int64_t> m_unknownKindTimes;  // window thread only

    std::vector<HistoryEvent*> m_rows;  // window thread only
    mutable std::mutex m_pendingLock;
    std::vector<HistoryEvent*> m_pending;  // under m_pendingLock
    std::vector<HistoryEvent*> m_batch;    // window thread: rows taken from m_pending
    std::size_t m_nBatchDone = 0;          // rows of m_batch already in the model
    std::atomic<bool> m_bFlushScheduled{false};
};

class CMidwireListView : public QTableView {
    Q_OBJECT
public:
    explicit CMidwireListView(QWidget* pParent = nullptr);

    CEventListModel& Model() { return m_model; }
    BOOL AddEventRow(HistoryEvent* pEvent) { return m_model.AddEventRow(pEvent); }
    void DeleteAllRows();
    // The events of the selected rows, in row order.
    std::vector<HistoryEvent*> GetSelectedEvents();
    // The double click: the row's text or translated data into the editor.
    void OpenRowInEditor(int nRow);
    // Rows are shown whole: bringing a row into view scrolls up or down only,
    // and leaves the columns where the user scrolled them.
    void scrollTo(const QModelIndex& index, ScrollHint hint = EnsureVisible) override;

protected:
    // Enter on the focused row, when it is selected, does what a double
    // click does: the keyboard has no other way to bring a row to the editor.
    // Left and Right scroll the columns sideways, as the list has no cell of
    // its own to move to.
    void keyPressEvent(QKeyEvent* pEvent) override;
    // Home and End go to the first and the last row.
    QModelIndex moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers) override;
    // A double click opens the row it leaves focused and selected, also when
    // new rows scrolled the list between its two clicks.
    void mouseDoubleClickEvent(QMouseEvent* pEvent) override;
    // While a mouse button is held on the rows, new rows do not scroll the
    // list under the pointer; it catches up when the button is released.
    void mousePressEvent(QMouseEvent* pEvent) override;
    void mouseReleaseEvent(QMouseEvent* pEvent) override;
    void focusOutEvent(QFocusEvent* pEvent) override;
    // A font changed while the list is shown (the desktop's text size, say)
    // fits the rows and columns to it.
    void changeEvent(QEvent* pEvent) override;

private:
    void OnRowsFlushed(int nFirst, int nLast);
    // Brings the newest row into view.
    void ScrollToNewestRow();
    // Ends a hold of the scrolling; the list catches up when rows came.
    void ReleaseScrollHold();
    // The width a cell needs to show the text (and a row icon) whole.
    int CellWidth(const QString& strText, bool bIcon) const;
    // Sets the row height for the view's font.
    void FitRowHeight();
    // Sets the four column widths for the view's font; with bKeepWider a
    // column already wider (one the user widened) keeps its width.
    void FitColumnWidths(bool bKeepWider = false);

    CEventListModel m_model;
    // Set when the table reports a double click on a row.
    bool m_bDoubleClickReported = false;
    // A mouse button is held on the rows: Visible Scroll waits.
    bool m_bScrollHeld = false;
    // Rows came while the scrolling waited.
    bool m_bScrollPending = false;
};

// "Loading Event List": the progress window of Reload Event List.
class CLoadingEventListDlg : public CProgressBarDlg {
    Q_OBJECT
public:
    explicit CLoadingEventListDlg(QWidget* pParent);
};
