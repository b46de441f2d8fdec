#include "views/gui/MidwireListView.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QMetaObject>
#include <QProgressBar>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QThread>
#include <algorithm>
#include <ctime>
#include <limits>

#include "app/CliSupport.h"
#include "session/FrontEnd.h"
#include "session/HistoryEvent.h"
#include "session/MidwireDoc.h"
#include "views/EventRow.h"
#include "views/gui/Icons.h"

namespace {
constexpr std::size_t kMaxCellChars = 4096;
// Rows moved into the model in one turn of the window thread's event loop
// (at least; a quarter of the list when that is more).
constexpr std::size_t kMaxFlushRows = 65536;
}

CEventListModel::CEventListModel(QObject* pParent) : QAbstractTableModel(pParent) {}

int CEventListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int CEventListModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : COL_COUNT;
}

QVariant CEventListModel::headerData(int nSection, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal)
        return QVariant();
    if (role == Qt::DisplayRole) {
        static const char* const kHeadings[COL_COUNT] = {"Action", "Host", "Time", "Data"};
        return nSection >= 0 && nSection < COL_COUNT ? QString::fromLatin1(kHeadings[nSection]) : QVariant();
    }
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
    return QVariant();
}

HistoryEvent* CEventListModel::EventAt(int nRow) const
{
    return nRow >= 0 && static_cast<std::size_t>(nRow) < m_rows.size() ? m_rows[static_cast<std::size_t>(nRow)]
                                                                        : nullptr;
}

QVariant CEventListModel::data(const QModelIndex& index, int role) const
{
    const HistoryEvent* pEvent = EventAt(index.row());
    if (!pEvent)
        return QVariant();
    if (role == Qt::DisplayRole || role == Qt::ToolTipRole) {
        switch (index.column()) {
        case COL_ACTION: return QString::fromLatin1(RenderKind(pEvent->m_kind).pszLabel);
        // A host name as typed (in UTF-8 from the dialogs and the command
        // line), unlike the data column's 8-bit text.
        case COL_HOST: return DisplayText(HostTextAt(index.row(), *pEvent));
        case COL_TIME: return QString::fromLatin1(TimeTextAt(index.row(), *pEvent));
        case COL_DATA: {
            if (role == Qt::ToolTipRole)
                return QVariant();
            // A cell shows one line: long data is cut where no column could
            // show more, which keeps painting cheap for 64 KB pieces.
            // Data is 8-bit text; the message of a state change names hosts
            // and ports as typed (in UTF-8), as the host column does.
            const bool bText = !pEvent->m_strText.empty();
            const std::string strCell = EventDataText(*pEvent, " 1", kMaxCellChars);
            QString text = bText && (pEvent->m_kind & EK_DATA_KINDS) == 0 ? DisplayText(strCell)
                                                                           : QString::fromLatin1(strCell);
            // The cell draws only what fits its one line of height: after a
            // line break in a message ("...from port 80.\nListening has been
            // stopped. 3") the rest was hidden behind an ellipsis. A text's
            // line breaks show as spaces; the breaks that the display
            // options put into data are left out, as the editor's are.
            if (bText)
                text.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
            QString oneLine;
            oneLine.reserve(text.size());
            for (const QChar ch : text) {
                if (ch.unicode() >= 0x20)
                    oneLine += ch;
                else if (bText)
                    oneLine += QLatin1Char(' ');
            }
            return oneLine;
        }
        default: return QVariant();
        }
    }
    if (role == Qt::DecorationRole && index.column() == COL_ACTION)
        return EventIconPixmap(RenderKind(pEvent->m_kind).nIcon);
    // The picture's colour tells the side of a TCP event where the label
    // does not ("Received from:" either side), and the host column cannot
    // when both sides run on one host: assistive technology reads the side
    // as the label's description.
    if (role == Qt::AccessibleDescriptionRole && index.column() == COL_ACTION) {
        switch (RenderKind(pEvent->m_kind).host) {
        case EHostColumn::Client: return QStringLiteral("Client");
        case EHostColumn::Server: return QStringLiteral("Server");
        default: return QVariant();
        }
    }
    return QVariant();
}

std::string CEventListModel::HostTextAt(int nRow, const HistoryEvent& event) const
{
    const EHostColumn host = RenderKind(event.m_kind).host;
    if (host != EHostColumn::Client && host != EHostColumn::Server)
        return g_pDoc ? EventHostText(*g_pDoc, event) : std::string();
    // The last entry that starts at or before the row.
    const auto it = std::upper_bound(m_hostNames.begin(), m_hostNames.end(), static_cast<std::size_t>(nRow),
                                     [](std::size_t n, const HostNames& names) { return n < names.nFirstRow; });
    if (it == m_hostNames.begin())
        return g_pDoc ? EventHostText(*g_pDoc, event) : std::string();
    const HostNames& names = *(it - 1);
    return host == EHostColumn::Client ? names.strClient : names.strServer;
}

std::string CEventListModel::TimeTextAt(int nRow, const HistoryEvent& event) const
{
    if (IsKnownEventKind(event.m_kind))
        return EventTimeText(event);
    const auto it = m_unknownKindTimes.find(static_cast<std::size_t>(nRow));
    return it != m_unknownKindTimes.end() ? FormatEventTime(it->second) : EventTimeText(event);
}

void CEventListModel::NoteHostNames(std::size_t nFirstRow)
{
    static const std::string kNone;
    const std::string& strClient = g_pDoc ? g_pDoc->m_strClientHost : kNone;
    const std::string& strServer = g_pDoc ? g_pDoc->m_strServerHost : kNone;
    if (!m_hostNames.empty()) {
        HostNames& last = m_hostNames.back();
        if (last.strClient == strClient && last.strServer == strServer)
            return;
        if (last.nFirstRow >= nFirstRow) {
            // No row has been added under the last names: they are replaced.
            if (m_hostNames.size() >= 2) {
                const HostNames& before = m_hostNames[m_hostNames.size() - 2];
                if (before.strClient == strClient && before.strServer == strServer) {
                    m_hostNames.pop_back();
                    return;
                }
            }
            last.strClient = strClient;
            last.strServer = strServer;
            return;
        }
    }
    m_hostNames.push_back(HostNames{nFirstRow, strClient, strServer});
}

BOOL CEventListModel::AddEventRow(HistoryEvent* pEvent)
{
    {
        std::lock_guard<std::mutex> lock(m_pendingLock);
        // The host names are the session's, set on the window thread: a row
        // that thread adds takes the names in force now, even if they change
        // before the row reaches the view. A row from a relay worker takes
        // them when it reaches the view.
        if (QThread::currentThread() == thread()) {
            const std::size_t nRow = m_rows.size() + (m_batch.size() - m_nBatchDone) + m_pending.size();
            NoteHostNames(nRow);
            m_nNextUnpinnedRow = nRow + 1;
        }
        m_pending.push_back(pEvent);
    }
    ScheduleFlush();
    return TRUE;
}

void CEventListModel::ScheduleFlush()
{
    // One queued flush at a time; posting never waits for the window thread.
    if (!m_bFlushScheduled.exchange(true, std::memory_order_acq_rel))
        QMetaObject::invokeMethod(this, [this] { Flush(); }, Qt::QueuedConnection);
}

std::size_t CEventListModel::Flush()
{
    m_bFlushScheduled.store(false, std::memory_order_release);
    if (m_nBatchDone == m_batch.size()) {
        m_batch.clear();
        m_nBatchDone = 0;
        // A burst leaves a large buffer behind; the next one starts small.
        // Workers add to m_pending all the while, so it is only touched under
        // its lock; the large buffer is freed after.
        std::vector<HistoryEvent*> spent;
        {
            std::lock_guard<std::mutex> lock(m_pendingLock);
            m_batch.swap(m_pending);
            if (m_pending.capacity() > kMaxFlushRows)
                spent.swap(m_pending);
        }
    }
    const std::size_t nAvailable = m_batch.size() - m_nBatchDone;
    if (nAvailable == 0) {
        std::vector<HistoryEvent*>().swap(m_batch);
        return 0;
    }
    const std::size_t nFirst = m_rows.size();
    // The view counts rows in int; a history beyond that keeps its events
    // but not its rows.
    const std::size_t nRoom = static_cast<std::size_t>(std::numeric_limits<int>::max()) - nFirst;
    // Each insertion costs the view a pass over its rows, so the batch grows
    // with the list: few passes, each short.
    const std::size_t nAdd = std::min({nAvailable, nRoom, std::max(kMaxFlushRows, nFirst / 4)});
    if (nAdd > 0) {
        // Names changed since the window thread last added a row apply to
        // the rows made from now on.
        NoteHostNames(std::max(nFirst, m_nNextUnpinnedRow));
        const std::int64_t nNow = static_cast<std::int64_t>(std::time(nullptr));
        for (std::size_t i = 0; i < nAdd; ++i) {
            if (!IsKnownEventKind(m_batch[m_nBatchDone + i]->m_kind))
                m_unknownKindTimes[nFirst + i] = nNow;
        }
        // Grow by a quarter rather than double: a million rows cost at most
        // 10 bytes each.
        if (m_rows.capacity() < nFirst + nAdd)
            m_rows.reserve(std::max(nFirst + nAdd, nFirst + nFirst / 4));
        beginInsertRows(QModelIndex(), static_cast<int>(nFirst), static_cast<int>(nFirst + nAdd - 1));
        const auto from = m_batch.begin() + static_cast<std::ptrdiff_t>(m_nBatchDone);
        m_rows.insert(m_rows.end(), from, from + static_cast<std::ptrdiff_t>(nAdd));
        endInsertRows();
        emit rowsFlushed(static_cast<int>(nFirst), static_cast<int>(nFirst + nAdd - 1));
    }
    m_nBatchDone += nAdd;
    if (nAdd == 0) {
        m_nBatchDone = m_batch.size();  // no room: the rest is dropped
    }
    if (m_nBatchDone < m_batch.size()) {
        ScheduleFlush();
    } else {
        if (m_batch.capacity() > kMaxFlushRows) {
            std::vector<HistoryEvent*>().swap(m_batch);
            m_nBatchDone = 0;
        }
        std::lock_guard<std::mutex> lock(m_pendingLock);
        if (!m_pending.empty())
            ScheduleFlush();
    }
    return nAdd;
}

void CEventListModel::FlushAll()
{
    while (Flush() > 0) {
    }
}

void CEventListModel::DeleteAllRows()
{
    {
        std::lock_guard<std::mutex> lock(m_pendingLock);
        m_pending.clear();
    }
    m_batch.clear();
    m_nBatchDone = 0;
    beginResetModel();
    m_rows.clear();
    m_hostNames.clear();
    m_nNextUnpinnedRow = 0;
    m_unknownKindTimes.clear();
    // A history of millions of rows gives its memory back when it is emptied.
    if (m_rows.capacity() > 4096)
        std::vector<HistoryEvent*>().swap(m_rows);
    endResetModel();
}

std::size_t CEventListModel::GetRowCounter() const
{
    std::lock_guard<std::mutex> lock(m_pendingLock);
    return m_rows.size() + (m_batch.size() - m_nBatchDone) + m_pending.size();
}

std::size_t CEventListModel::GetBytesHeld() const
{
    std::lock_guard<std::mutex> lock(m_pendingLock);
    return (m_rows.capacity() + m_pending.capacity() + m_batch.capacity()) * sizeof(HistoryEvent*);
}

CMidwireListView::CMidwireListView(QWidget* pParent) : QTableView(pParent)
{
    setModel(&m_model);
    setAccessibleName(QStringLiteral("History list"));
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Tab leaves the list for the editor, as it leaves any other control:
    // the table's own Tab went from cell to cell, moving the selection down
    // a row every four presses, and never let the focus out.
    setTabKeyNavigation(false);
    setShowGrid(false);
    setWordWrap(false);
    setTextElideMode(Qt::ElideRight);
    setIconSize(QSize(16, 16));
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    setFrameShape(QFrame::Box);
    verticalHeader()->hide();
    // Fixed row heights keep scrolling through millions of rows cheap.
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    FitRowHeight();
    horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    horizontalHeader()->setStretchLastSection(false);
    horizontalHeader()->setHighlightSections(false);
    FitColumnWidths();
    connect(&m_model, &CEventListModel::rowsFlushed, this, &CMidwireListView::OnRowsFlushed);
    connect(this, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& index) {
        m_bDoubleClickReported = true;
        // The row under the pointer is the focused one; it must be selected too.
        if (index.isValid() && selectionModel()->isRowSelected(index.row(), QModelIndex()))
            OpenRowInEditor(index.row());
    });
}

int CMidwireListView::CellWidth(const QString& strText, bool bIcon) const
{
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    option.text = strText;
    option.features = QStyleOptionViewItem::HasDisplay;
    if (bIcon)
        option.features |= QStyleOptionViewItem::HasDecoration;
    return style()->sizeFromContents(QStyle::CT_ItemViewItem, &option, QSize(), this).width();
}

void CMidwireListView::FitRowHeight()
{
    verticalHeader()->setDefaultSectionSize(std::max(18, fontMetrics().height() + 2));
}

void CMidwireListView::changeEvent(QEvent* pEvent)
{
    QTableView::changeEvent(pEvent);
    // Rows kept the height of the font the list was made with: a larger
    // font chosen while the program ran had its text cut in half.
    if (pEvent->type() == QEvent::FontChange) {
        FitRowHeight();
        FitColumnWidths(true);
    }
}

void CMidwireListView::FitColumnWidths(bool bKeepWider)
{
    // 100, 120, 115 and 500 pixels suit a small dialog font. With a larger
    // font the labels and the time were cut short ("Received ...",
    // "2026;12;09 23:..."), hiding the time of day: the Action column is
    // widened to its longest label and the Time column to a time stamp, and
    // the Host and Data columns grow in the same proportion as the time.
    int nAction = 0;
    for (int nBit = 0; nBit < 32; ++nBit) {
        const std::uint32_t kind = 1u << nBit;
        if (IsKnownEventKind(kind))
            nAction = std::max(nAction, CellWidth(QString::fromLatin1(RenderKind(kind).pszLabel), true));
    }
    nAction = std::max(100, nAction);
    const int nTime = std::max(115, CellWidth(QString::fromLatin1(FormatEventTime(std::time(nullptr))), false));
    const double scale = nTime / 115.0;
    const int widths[] = {nAction, static_cast<int>(120 * scale + 0.5), nTime, static_cast<int>(500 * scale + 0.5)};
    const int columns[] = {CEventListModel::COL_ACTION, CEventListModel::COL_HOST, CEventListModel::COL_TIME,
                           CEventListModel::COL_DATA};
    for (int i = 0; i < 4; ++i)
        setColumnWidth(columns[i], bKeepWider ? std::max(widths[i], columnWidth(columns[i])) : widths[i]);
}

void CMidwireListView::DeleteAllRows()
{
    m_model.DeleteAllRows();
}

void CMidwireListView::OnRowsFlushed(int, int)
{
    if (!g_pDoc || !g_pDoc->m_bVisibleScroll)
        return;
    // A click or a double click picks the row under the pointer when its
    // button goes down: scrolled between press and release, the list would
    // take the slightest move of the mouse for a drag over every row it
    // moved by, and select them all.
    if (m_bScrollHeld) {
        m_bScrollPending = true;
        return;
    }
    ScrollToNewestRow();
}

void CMidwireListView::ScrollToNewestRow()
{
    const int nLast = m_model.rowCount() - 1;
    if (nLast < 0)
        return;
    // The scroll range follows the new rows only with the next layout;
    // bring it up to date so the new row can be scrolled to now.
    updateGeometries();
    scrollTo(m_model.index(nLast, 0), QAbstractItemView::EnsureVisible);
}

void CMidwireListView::ReleaseScrollHold()
{
    m_bScrollHeld = false;
    if (m_bScrollPending) {
        m_bScrollPending = false;
        if (g_pDoc && g_pDoc->m_bVisibleScroll)
            ScrollToNewestRow();
    }
}

void CMidwireListView::mousePressEvent(QMouseEvent* pEvent)
{
    m_bScrollHeld = pEvent->buttons() != Qt::NoButton;
    QTableView::mousePressEvent(pEvent);
}

void CMidwireListView::mouseReleaseEvent(QMouseEvent* pEvent)
{
    QTableView::mouseReleaseEvent(pEvent);
    if (pEvent->buttons() == Qt::NoButton)
        ReleaseScrollHold();
}

void CMidwireListView::focusOutEvent(QFocusEvent* pEvent)
{
    // A window that opens during the press takes the release with it.
    ReleaseScrollHold();
    QTableView::focusOutEvent(pEvent);
}

std::vector<HistoryEvent*> CMidwireListView::GetSelectedEvents()
{
    m_model.FlushAll();
    std::vector<int> rows;
    for (const QItemSelectionRange& range : selectionModel()->selection()) {
        if (!range.isValid())
            continue;
        for (int r = range.top(); r <= range.bottom(); ++r)
            rows.push_back(r);
    }
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    std::vector<HistoryEvent*> events;
    events.reserve(rows.size());
    for (int r : rows) {
        if (HistoryEvent* p = m_model.EventAt(r))
            events.push_back(p);
    }
    return events;
}

void CMidwireListView::keyPressEvent(QKeyEvent* pEvent)
{
    if ((pEvent->key() == Qt::Key_Return || pEvent->key() == Qt::Key_Enter) &&
        (pEvent->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        const QModelIndex current = currentIndex();
        if (current.isValid() && selectionModel()->isRowSelected(current.row(), QModelIndex())) {
            OpenRowInEditor(current.row());
            pEvent->accept();
            return;
        }
    }
    if ((pEvent->key() == Qt::Key_Left || pEvent->key() == Qt::Key_Right) &&
        (pEvent->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        horizontalScrollBar()->triggerAction(pEvent->key() == Qt::Key_Left ? QAbstractSlider::SliderSingleStepSub
                                                                           : QAbstractSlider::SliderSingleStepAdd);
        pEvent->accept();
        return;
    }
    QTableView::keyPressEvent(pEvent);
}

QModelIndex CMidwireListView::moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers)
{
    // The table takes Home and End to the first and last cell of the current
    // row, which for whole rows is no move at all: the keyboard could not
    // reach the newest event. They go to the first and the last row, as
    // Ctrl+Home and Ctrl+End do; Shift still extends the selection.
    if (cursorAction == MoveHome || cursorAction == MoveEnd)
        modifiers |= Qt::ControlModifier;
    return QTableView::moveCursor(cursorAction, modifiers);
}

void CMidwireListView::mouseDoubleClickEvent(QMouseEvent* pEvent)
{
    m_bScrollHeld = pEvent->buttons() != Qt::NoButton;
    m_bDoubleClickReported = false;
    QTableView::mouseDoubleClickEvent(pEvent);
    // The table reports a double click only when both clicks hit the same
    // cell. With Visible Scroll on, rows arriving between the clicks move
    // the list under the pointer: the second click then only selected the
    // row now under it, and the editor stayed as it was. That row, focused
    // and selected by the second click, is the one to open.
    if (m_bDoubleClickReported || pEvent->button() != Qt::LeftButton)
        return;
    const QModelIndex index = indexAt(pEvent->position().toPoint());
    if (index.isValid() && currentIndex().row() == index.row() &&
        selectionModel()->isRowSelected(index.row(), QModelIndex()))
        OpenRowInEditor(index.row());
}

void CMidwireListView::scrollTo(const QModelIndex& index, ScrollHint hint)
{
    // The table would also bring the clicked cell's column into view: with a
    // Data column wider than the pane, a click on a row's data shifted the
    // Action, Host and Time columns out of sight, and a click on its label
    // shifted them back.
    QScrollBar* pBar = horizontalScrollBar();
    const int nX = pBar->value();
    QTableView::scrollTo(index, hint);
    pBar->setValue(nX);
}

void CMidwireListView::OpenRowInEditor(int nRow)
{
    const HistoryEvent* pEvent = m_model.EventAt(nRow);
    if (!pEvent || !g_pMainFrame)
        return;
    // A row whose text is more than the editor holds leaves it as it was.
    if (!g_pMainFrame->SetEditorText(EventDataText(*pEvent, " ListView::OnDblclk")))
        AfxMessageBox(IDS_ALLOC_FAILED);
}

CLoadingEventListDlg::CLoadingEventListDlg(QWidget* pParent)
    : CProgressBarDlg(pParent, QStringLiteral("Loading Event List"), QStringLiteral("Please wait reloading event list"))
{
}
