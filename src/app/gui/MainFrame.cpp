#include "app/gui/MainFrame.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QSplitter>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>
#include <cerrno>
#include <climits>
#include <cstring>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/CliSupport.h"
#include "app/CommandTable.h"
#include "app/gui/DialogRegistry.h"
#include "app/gui/MenuTable.h"
#include "app/gui/ProgressDlg.h"
#include "editor/gui/MidwireEdit.h"
#include "net/Sock.h"
#include "relay/Relay.h"
#include "session/FileInput.h"
#include "session/MidwireDoc.h"
#include "session/ProgressWalk.h"
#include "views/gui/Icons.h"
#include "views/gui/MidwireListView.h"
#include "views/gui/PrintDevice.h"

namespace {

constexpr int kRecentCount = 4;
const char* const kRecentKey = "Recent File List/files";
constexpr int kIdleMs = 150;
constexpr std::size_t kProgressLogSize = 8;

// Commands that neither read nor change the history: they stay usable while
// a walk over the history dispatches messages.
bool RunsDuringWalk(UINT nID)
{
    switch (nID) {
    case ID_EDIT_UNDO:
    case ID_EDIT_CUT:
    case ID_EDIT_COPY:
    case ID_EDIT_PASTE:
    case ID_VIEW_TOOLBAR:
    case ID_VIEW_STATUS_BAR:
    case ID_NEXT_PANE:
    case ID_PREV_PANE:
    case ID_APP_ABOUT:
        return true;
    default:
        return false;
    }
}

// "Name (*.a;*.b) | *.a;*.b | ... ||" to the file dialog's "Name (*.a *.b);;...".
// A filter without bars is taken as it stands.
QString DialogFilter(const std::string& strFilter)
{
    const QString filter = QString::fromLocal8Bit(strFilter);
    if (!filter.contains(QLatin1Char('|')))
        return filter;
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList out;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        QString name = parts[i].trimmed();
        QString patterns = parts[i + 1].trimmed();
        if (name.isEmpty() && patterns.isEmpty())
            continue;
        const int nParen = name.indexOf(QLatin1Char('('));
        if (nParen > 0)
            name = name.left(nParen).trimmed();
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        if (patterns == QLatin1String("*.*"))
            patterns = QStringLiteral("*");
        out << QStringLiteral("%1 (%2)").arg(name, patterns);
    }
    return out.join(QStringLiteral(";;"));
}

// The caption as the window's title: the window system would take a "[*]"
// in a file name for the modified-document mark and leave it out, showing
// "a[*]b.mwx" as "ab.mwx"; a doubled mark stands for the text itself.
QString WindowTitleOf(QString caption)
{
    return caption.replace(QStringLiteral("[*]"), QStringLiteral("[*][*]"));
}

bool IsSessionFileName(const QString& strPath)
{
    return strPath.endsWith(QLatin1String(".mwx"), Qt::CaseInsensitive);
}

// File names are held as the text ArgumentText makes of their bytes, so that
// a name that is not UTF-8 (Latin-1, say) keeps every byte on its way
// through the window; Qt's own file name decoding would turn such a byte
// into U+FFFD and open, save or list another file than the user's.

// strPath without "." components and repeated separators. A ".." stays:
// after a symbolic link it names the link's target's parent, which taking
// it away with the component before it would change into another file.
QString WithoutDotComponents(const QString& strPath)
{
    const bool bAbsolute = strPath.startsWith(QLatin1Char('/'));
    QStringList parts;
    for (const QString& strPart : strPath.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (strPart != QLatin1String("."))
            parts << strPart;
    }
    const QString strJoined = parts.join(QLatin1Char('/'));
    return bAbsolute ? QLatin1Char('/') + strJoined : strJoined;
}

// The full path of strPath, made from the bytes of the working directory
// rather than Qt's decoding of it.
QString AbsolutePathText(const QString& strPath)
{
    if (strPath.isEmpty() || QDir::isAbsolutePath(strPath))
        return WithoutDotComponents(strPath);
    std::string strDir(PATH_MAX, '\0');
    if (!::getcwd(strDir.data(), strDir.size()))
        return QFileInfo(strPath).absoluteFilePath();
    strDir.resize(std::strlen(strDir.c_str()));
    return WithoutDotComponents(ArgumentText(strDir) + QLatin1Char('/') + strPath);
}

bool PathExists(const QString& strPath)
{
    struct stat st {};
    return ::stat(LocalText(strPath).c_str(), &st) == 0;
}

// The recent-file list in the settings: a name whose bytes are all UTF-8 as
// its text, as before; any other as its bytes, which a text entry of the
// settings file could not keep.
QVariant RecentSetting(const QStringList& recent)
{
    QVariantList list;
    for (const QString& strPath : recent) {
        const std::string strBytes = LocalText(strPath);
        if (strPath.toUtf8().toStdString() == strBytes)
            list << strPath;
        else
            list << QByteArray(strBytes.data(), static_cast<qsizetype>(strBytes.size()));
    }
    return list;
}

QStringList RecentFromSetting(const QVariant& value)
{
    // The settings file gives a list of one entry back as that entry.
    const int nType = value.typeId();
    const QVariantList entries = nType == QMetaType::QVariantList || nType == QMetaType::QStringList
                                     ? value.toList()
                                     : (value.isValid() ? QVariantList{value} : QVariantList{});
    QStringList recent;
    for (const QVariant& entry : entries) {
        if (entry.typeId() == QMetaType::QByteArray) {
            const QByteArray bytes = entry.toByteArray();
            recent << ArgumentText(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
        } else {
            recent << entry.toString();
        }
    }
    return recent;
}

// A menu that names a grayed item in the status bar too. The menu itself
// shows the prompt only of the items it can highlight, so the pointer on a
// disabled command left "Ready" (or the prompt of the item before) where
// the toolbar, for the same command, shows its prompt.
class CPromptMenu : public QMenu {
public:
    CPromptMenu(const QString& strTitle, QStatusBar* pStatusBar, QWidget* pParent)
        : QMenu(strTitle, pParent), m_pStatusBar(pStatusBar)
    {
    }

protected:
    void mouseMoveEvent(QMouseEvent* pEvent) override
    {
        QMenu::mouseMoveEvent(pEvent);
        const QAction* pAction = actionAt(pEvent->position().toPoint());
        if (pAction && !pAction->isSeparator() && !pAction->isEnabled()) {
            m_pStatusBar->showMessage(pAction->statusTip());
            m_bPromptShown = true;
        } else if (m_bPromptShown) {
            // An enabled item has shown its own prompt; off the items, the
            // grayed one's goes.
            m_bPromptShown = false;
            if (!pAction || pAction->isSeparator())
                m_pStatusBar->clearMessage();
        }
    }
    void hideEvent(QHideEvent* pEvent) override
    {
        if (m_bPromptShown) {
            m_bPromptShown = false;
            m_pStatusBar->clearMessage();
        }
        QMenu::hideEvent(pEvent);
    }

private:
    QStatusBar* m_pStatusBar;
    bool m_bPromptShown = false;
};

}  // namespace

CMainFrame::CMainFrame(CMidwireDoc& doc)
    : m_doc(doc), m_pPreviousFrontEnd(g_pMainFrame)
{
    g_pMainFrame = this;
    m_bSocketsStarted = SockStartup() == 0;
    setWindowIcon(AppIcon());
    setAcceptDrops(true);

    m_pSplitter = new QSplitter(Qt::Vertical, this);
    m_pList = new CMidwireListView(m_pSplitter);
    m_pEditor = new CMidwireEdit(m_pSplitter);
    m_pSplitter->addWidget(m_pList);
    m_pSplitter->addWidget(m_pEditor);
    m_pSplitter->setChildrenCollapsible(false);
    m_pSplitter->setSizes({400, 100});
    m_pSplitter->setStretchFactor(0, 4);
    m_pSplitter->setStretchFactor(1, 1);
    setCentralWidget(m_pSplitter);
    // Session files dropped on either pane open like Open.
    m_pList->viewport()->installEventFilter(this);
    m_pEditor->viewport()->installEventFilter(this);
    // A pane becomes the active one when it takes the focus; the focus
    // going to a menu, the toolbar or a dialog leaves the active pane as it is.
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* pNow) {
        if (!pNow)
            return;
        if (pNow == m_pEditor || m_pEditor->isAncestorOf(pNow))
            m_bEditorActive = true;
        else if (pNow == m_pList || m_pList->isAncestorOf(pNow))
            m_bEditorActive = false;
    });
    m_pList->setFocus();

    CreateActions();
    CreateMenus();
    CreateToolBar();
    CreateStatusBar();

    const QSettings settings;
    m_recent = RecentFromSetting(settings.value(kRecentKey)).mid(0, kRecentCount);
    UpdateRecentMenu();

    m_pIdleTimer = new QTimer(this);
    m_pIdleTimer->setInterval(kIdleMs);
    connect(m_pIdleTimer, &QTimer::timeout, this, &CMainFrame::OnIdle);
    m_pIdleTimer->start();
    // 800 x 640, but never more than the screen holds with room for the
    // window's frame: with a large scale factor or font, or on a small
    // screen, the editor pane and the status bar would start off screen.
    QSize size(800, 640);
    if (const QScreen* pScreen = screen()) {
        const QSize available = pScreen->availableGeometry().size();
        size = size.boundedTo(QSize(available.width() * 9 / 10, available.height() * 9 / 10));
    }
    resize(size);
    setWindowTitle(WindowTitleOf(CaptionText()));
}

CMainFrame::~CMainFrame()
{
    // A relay worker that End gave up waiting for still records its last
    // events and hands their rows to this window: it ends before the window.
    if (g_pfnJoinWorkers)
        g_pfnJoinWorkers(m_doc);
    if (m_bSocketsStarted)
        SockCleanup();
    if (g_pMainFrame == this)
        g_pMainFrame = m_pPreviousFrontEnd;
}

// --- Building the window ---

void CMainFrame::CreateActions()
{
    auto make = [this](UINT nID, const QString& text) {
        auto* pAction = new QAction(text, this);
        pAction->setData(nID);
        const CommandPrompt prompt = GetCommandPrompt(nID);
        pAction->setStatusTip(QString::fromLatin1(prompt.pszPrompt));
        if (*prompt.pszTooltip)
            pAction->setToolTip(QString::fromLatin1(prompt.pszTooltip));
        const QIcon icon = ToolbarIcon(nID);
        if (!icon.isNull())
            pAction->setIcon(icon);
        pAction->setIconVisibleInMenu(false);
        connect(pAction, &QAction::triggered, this, [this, nID] { RunCommand(nID); });
        m_actions[nID] = pAction;
        return pAction;
    };
    for (const MenuDef& menu : MainMenus()) {
        for (const MenuItemDef& item : menu.items) {
            if (!item.nID || item.nID == ID_FILE_MRU_FILE1)
                continue;
            // The accelerator text after the tab comes from the shortcut.
            QString text = QString::fromLatin1(item.pszText);
            text = text.section(QLatin1Char('\t'), 0, 0);
            make(item.nID, text);
        }
    }
    for (int i = 0; i < kRecentCount; ++i)
        make(ID_FILE_MRU_FILE1 + static_cast<UINT>(i), QString());
    make(ID_NEXT_PANE, QStringLiteral("Next Pane"));
    make(ID_PREV_PANE, QStringLiteral("Previous Pane"));
    addAction(m_actions[ID_NEXT_PANE]);
    addAction(m_actions[ID_PREV_PANE]);

    std::map<UINT, QList<QKeySequence>> keys;
    for (const AcceleratorDef& acc : Accelerators())
        keys[acc.nID] << QKeySequence(QString::fromLatin1(acc.pszKeys));
    for (auto& [nID, list] : keys) {
        m_actions[nID]->setShortcuts(list);
        m_actions[nID]->setShortcutContext(Qt::WindowShortcut);
    }
    m_actions[ID_VIEW_TOOLBAR]->setCheckable(true);
    m_actions[ID_VIEW_STATUS_BAR]->setCheckable(true);
}

void CMainFrame::CreateMenus()
{
    for (const MenuDef& def : MainMenus()) {
        QMenu* pMenu = new CPromptMenu(QString::fromLatin1(def.pszTitle), statusBar(), this);
        menuBar()->addMenu(pMenu);
        for (const MenuItemDef& item : def.items) {
            if (!item.nID) {
                pMenu->addSeparator();
            } else if (item.nID == ID_FILE_MRU_FILE1) {
                m_pRecentPlaceholder = pMenu->addAction(QString::fromLatin1(item.pszText));
                m_pRecentPlaceholder->setEnabled(false);
                m_pRecentPlaceholder->setStatusTip(QString::fromLatin1(GetCommandPrompt(item.nID).pszPrompt));
                for (int i = 0; i < kRecentCount; ++i)
                    pMenu->addAction(m_actions[ID_FILE_MRU_FILE1 + static_cast<UINT>(i)]);
            } else {
                pMenu->addAction(m_actions[item.nID]);
            }
        }
        // Enable rules are evaluated as the menu opens.
        connect(pMenu, &QMenu::aboutToShow, this, [this, pMenu] { UpdateMenu(pMenu); });
    }
}

void CMainFrame::CreateToolBar()
{
    m_pToolBar = new QToolBar(QStringLiteral("Toolbar"), this);
    m_pToolBar->setObjectName(QStringLiteral("toolbar"));
    FitToolBarIcons();
    m_pToolBar->setAllowedAreas(Qt::AllToolBarAreas);
    m_pToolBar->setFloatable(true);
    m_pToolBar->setMovable(true);
    for (UINT nID : ToolbarButtons()) {
        if (nID == 0)
            m_pToolBar->addSeparator();
        else
            m_pToolBar->addAction(m_actions[nID]);
    }
    // A button shows only its picture: it is named by its tooltip, which
    // tells the two Start and the two datagram Send buttons apart where the
    // menu texts would not.
    for (QAction* pAction : m_pToolBar->actions()) {
        if (QWidget* pButton = m_pToolBar->widgetForAction(pAction); pButton && !pAction->isSeparator())
            pButton->setAccessibleName(pAction->toolTip());
    }
    // The button that the toolbar shows when the window is too narrow for
    // all of its buttons has a picture only.
    if (auto* pMore = m_pToolBar->findChild<QToolButton*>(QStringLiteral("qt_toolbar_ext_button")))
        pMore->setAccessibleName(QStringLiteral("More toolbar buttons"));
    addToolBar(Qt::TopToolBarArea, m_pToolBar);
}

void CMainFrame::FitToolBarIcons()
{
    // The pictures are 16 x 15 at the usual font, and as tall as a line of
    // the menus' text when that is taller: with a large font they stood
    // small and lost among the menu titles above them.
    const int nIconHeight = std::max(15, fontMetrics().height() + 1);
    m_pToolBar->setIconSize(QSize((nIconHeight * 16 + 7) / 15, nIconHeight));
}

void CMainFrame::changeEvent(QEvent* pEvent)
{
    QMainWindow::changeEvent(pEvent);
    if (pEvent->type() == QEvent::FontChange && m_pToolBar)
        FitToolBarIcons();
}

void CMainFrame::CreateStatusBar()
{
    QStatusBar* pBar = statusBar();
    m_pReady = new QLabel(QStringLiteral("Ready"), pBar);
    pBar->addWidget(m_pReady, 1);
    for (const char* pszIndicator : {"CAP", "NUM", "SCRL"}) {
        auto* pLabel = new QLabel(QString::fromLatin1(pszIndicator), pBar);
        pLabel->setFrameShape(QFrame::Panel);
        pLabel->setFrameShadow(QFrame::Sunken);
        pLabel->setAlignment(Qt::AlignCenter);
        pLabel->setMinimumWidth(pLabel->fontMetrics().horizontalAdvance(QStringLiteral("SCRL")) + 10);
        // The lock states of the keyboard are not known to the window
        // system here: the indicators show as inactive.
        pLabel->setEnabled(false);
        pLabel->setObjectName(QString::fromLatin1(pszIndicator));
        pBar->addPermanentWidget(pLabel);
    }
}

// --- Commands ---

void CMainFrame::RegisterWindowCommands()
{
    CCommandTable& table = GetCommandTable();
    RegisterPrintCommands(table, m_doc, this, &m_printer);
    CMidwireEdit* pEditor = m_pEditor;
    table.Register(ID_EDIT_UNDO, [pEditor] { pEditor->undo(); },
                   [this, pEditor] { return m_bEditorActive && pEditor->document()->isUndoAvailable(); });
    table.Register(ID_EDIT_CUT, [pEditor] { pEditor->cut(); },
                   [this, pEditor] { return m_bEditorActive && pEditor->textCursor().hasSelection(); });
    table.Register(ID_EDIT_COPY, [pEditor] { pEditor->copy(); },
                   [this, pEditor] { return m_bEditorActive && pEditor->textCursor().hasSelection(); });
    table.Register(ID_EDIT_PASTE, [pEditor] { pEditor->paste(); },
                   [this, pEditor] { return m_bEditorActive && pEditor->canPaste(); });
    table.Register(ID_APP_EXIT, [this] { close(); }, [this] { return !m_doc.m_bConnected; });
    table.Register(ID_APP_ABOUT, [this] {
        CAboutDlg dlg(this);
        dlg.exec();
    });
    table.Register(ID_VIEW_TOOLBAR, [this] { m_pToolBar->setVisible(!m_pToolBar->isVisible()); });
    table.Register(ID_VIEW_STATUS_BAR, [this] { statusBar()->setVisible(!statusBar()->isVisible()); });
    table.Register(ID_NEXT_PANE, [this] { SwitchPane(true); });
    table.Register(ID_PREV_PANE, [this] { SwitchPane(false); });
    for (int i = 0; i < kRecentCount; ++i) {
        table.Register(ID_FILE_MRU_FILE1 + static_cast<UINT>(i), [this, i] {
            if (i < m_recent.size())
                OpenSessionFile(m_recent[i]);
        });
    }
    UpdateCommandStates();
}

bool CMainFrame::IsBusy() const
{
    return m_doc.IsWalking() || m_nStreamWaits > 0;
}

bool CMainFrame::RunCommand(UINT nID)
{
    if (IsBusy() && !RunsDuringWalk(nID))
        return false;
    const std::string strPathBefore = m_doc.m_strPathName;
    const bool bWasActive = isActiveWindow();
    const bool bRan = GetCommandTable().Run(nID);
    // A window the command showed (a dialog, a message, a progress window
    // without an owner) takes the activation with it when it closes, and
    // the window system need not give it back: the keyboard focus was then
    // nowhere until the user clicked the window. It goes back to the window
    // and there to the pane it was in.
    if (bWasActive && isVisible() && !QApplication::activeWindow() && !QApplication::activeModalWidget())
        activateWindow();
    if (bRan) {
        const bool bFileCommand = nID == ID_FILE_OPEN || nID == ID_FILE_SAVE || nID == ID_FILE_SAVE_AS;
        if (!m_doc.m_strPathName.empty() && (bFileCommand || m_doc.m_strPathName != strPathBefore))
            AddRecentFile(ArgumentText(m_doc.m_strPathName));
        m_strLastPath = m_doc.m_strPathName;
        setWindowTitle(WindowTitleOf(CaptionText()));
    }
    return bRan;
}

QAction* CMainFrame::Action(UINT nID) const
{
    const auto it = m_actions.find(nID);
    return it == m_actions.end() ? nullptr : it->second;
}

void CMainFrame::UpdateAction(QAction* pAction)
{
    const UINT nID = pAction->data().toUInt();
    bool bEnabled = GetCommandTable().IsEnabled(nID);
    if (IsBusy() && !RunsDuringWalk(nID))
        bEnabled = false;
    pAction->setEnabled(bEnabled);
    if (nID == ID_VIEW_TOOLBAR)
        pAction->setChecked(m_pToolBar->isVisible());
    else if (nID == ID_VIEW_STATUS_BAR)
        pAction->setChecked(statusBar()->isVisible());
}

void CMainFrame::UpdateMenu(QMenu* pMenu)
{
    for (QAction* pAction : pMenu->actions()) {
        if (!pAction->isSeparator() && pAction != m_pRecentPlaceholder)
            UpdateAction(pAction);
    }
}

void CMainFrame::UpdateCommandStates()
{
    for (auto& [nID, pAction] : m_actions)
        UpdateAction(pAction);
}

void CMainFrame::OnIdle()
{
    // While idle the toolbar and the accelerators follow the enable rules
    // (the rules are cheap); menus are evaluated again when they open.
    UpdateCommandStates();
    if (m_doc.m_strPathName != m_strLastPath) {
        m_strLastPath = m_doc.m_strPathName;
        if (!m_strLastPath.empty())
            AddRecentFile(ArgumentText(m_strLastPath));
    }
    const QString caption = WindowTitleOf(CaptionText());
    if (windowTitle() != caption)
        setWindowTitle(caption);
    // A close asked for during a walk is carried out once the walk and any
    // message it ended with are over.
    if (m_bCloseAfterWalk && !IsBusy() && !QApplication::activeModalWidget()) {
        m_bCloseAfterWalk = false;
        close();
    }
}

QString CMainFrame::CaptionText() const
{
    return DisplayText(m_doc.GetTitle()) + QStringLiteral(" - ") +
           QString::fromLatin1(LoadStringText(IDS_APP_TITLE));
}

void CMainFrame::SwitchPane(bool bNext)
{
    // Two panes: next and previous both move to the other one.
    (void)bNext;
    if (m_pEditor->hasFocus())
        m_pList->setFocus(bNext ? Qt::TabFocusReason : Qt::BacktabFocusReason);
    else
        m_pEditor->setFocus(bNext ? Qt::TabFocusReason : Qt::BacktabFocusReason);
}

// --- Session files ---

bool CMainFrame::OpenSessionFile(const QString& strPath)
{
    // Nothing starts during a walk or a pipe wait (a drop is refused then);
    // during a connection the user is told why nothing opens.
    if (IsBusy())
        return false;
    if (!GetCommandTable().IsEnabled(ID_FILE_OPEN)) {
        AfxMessageBox(IDS_DURING_CONNECTION);
        return false;
    }
    const QString strFull = AbsolutePathText(strPath);
    const bool bOk = m_doc.OnOpenDocument(LocalText(strFull));
    if (bOk) {
        AddRecentFile(strFull);
    } else if (!PathExists(strFull) && m_recent.removeAll(strFull) > 0) {
        QSettings().setValue(kRecentKey, RecentSetting(m_recent));
        UpdateRecentMenu();
    }
    m_strLastPath = m_doc.m_strPathName;
    setWindowTitle(WindowTitleOf(CaptionText()));
    return bOk;
}

void CMainFrame::AddRecentFile(const QString& strPath)
{
    const QString strFull = AbsolutePathText(strPath);
    m_recent.removeAll(strFull);
    m_recent.prepend(strFull);
    while (m_recent.size() > kRecentCount)
        m_recent.removeLast();
    QSettings().setValue(kRecentKey, RecentSetting(m_recent));
    UpdateRecentMenu();
}

void CMainFrame::UpdateRecentMenu()
{
    if (m_pRecentPlaceholder)
        m_pRecentPlaceholder->setVisible(m_recent.isEmpty());
    for (int i = 0; i < kRecentCount; ++i) {
        QAction* pAction = m_actions[ID_FILE_MRU_FILE1 + static_cast<UINT>(i)];
        if (i < m_recent.size()) {
            QString text = DisplayText(LocalText(m_recent[i]));
            text.replace(QLatin1Char('&'), QStringLiteral("&&"));
            pAction->setText(QStringLiteral("&%1 %2").arg(i + 1).arg(text));
            pAction->setVisible(true);
        } else {
            pAction->setVisible(false);
        }
    }
}

QString CMainFrame::SessionFileOf(const QMimeData* pData) const
{
    if (!pData || !pData->hasUrls())
        return QString();
    for (const QUrl& url : pData->urls()) {
        if (!url.isLocalFile())
            continue;
        // The bytes of the name as the URL carries them (percent-encoded),
        // so that a name that is not UTF-8 is found as it is.
        QString strPath = url.toLocalFile();
        if (url.host().isEmpty()) {
            const QByteArray bytes = QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
            strPath = ArgumentText(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
        }
        if (IsSessionFileName(strPath))
            return strPath;
    }
    return QString();
}

void CMainFrame::dragEnterEvent(QDragEnterEvent* pEvent)
{
    if (!IsBusy() && !SessionFileOf(pEvent->mimeData()).isEmpty())
        pEvent->acceptProposedAction();
}

void CMainFrame::dropEvent(QDropEvent* pEvent)
{
    const QString strPath = SessionFileOf(pEvent->mimeData());
    if (strPath.isEmpty() || IsBusy())
        return;
    pEvent->acceptProposedAction();
    // Open after the drop has finished, outside the drag's own loop.
    QTimer::singleShot(0, this, [this, strPath] { OpenSessionFile(strPath); });
}

bool CMainFrame::eventFilter(QObject* pWatched, QEvent* pEvent)
{
    switch (pEvent->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
        auto* pDrag = static_cast<QDragMoveEvent*>(pEvent);
        if (!SessionFileOf(pDrag->mimeData()).isEmpty()) {
            if (IsBusy())
                pDrag->ignore();
            else
                pDrag->acceptProposedAction();
            return true;
        }
        break;
    }
    case QEvent::Drop: {
        auto* pDrop = static_cast<QDropEvent*>(pEvent);
        if (!SessionFileOf(pDrop->mimeData()).isEmpty()) {
            dropEvent(pDrop);
            return true;
        }
        break;
    }
    default:
        break;
    }
    return QMainWindow::eventFilter(pWatched, pEvent);
}

void CMainFrame::closeEvent(QCloseEvent* pEvent)
{
    // The document must outlive the relay workers and any walk over the
    // history: end what runs first, or stay open. A walk (a save, a print,
    // an export) is let finish, and the window closes after it; one that
    // waits for a pipe is cancelled first.
    if (IsBusy()) {
        m_bCloseAfterWalk = true;
        pEvent->ignore();
        return;
    }
    m_bCloseAfterWalk = false;
    if (m_doc.m_bConnected && GetCommandTable().IsEnabled(ID_CONNECTION_END)) {
        // The session ends for good: in keep-alive mode End would go on to
        // serve the next waiting client or wait for one.
        const CNoKeepAliveRestart noRestart;
        GetCommandTable().Run(ID_CONNECTION_END);
    }
    if (m_doc.m_bConnected) {
        AfxMessageBox(IDS_DURING_CONNECTION);
        pEvent->ignore();
        return;
    }
    if (m_doc.m_bDatagramActive && GetCommandTable().IsEnabled(ID_DATAGRAM_STOP))
        GetCommandTable().Run(ID_DATAGRAM_STOP);
    // No client is taken from now on: the listening socket that keep-alive
    // serving leaves open and the clients waiting on it are closed.
    ShutdownRelay(m_doc);
    m_pIdleTimer->stop();
    pEvent->accept();
}

// --- CFrontEnd ---

BOOL CMainFrame::AddEventRow(HistoryEvent* pEvent)
{
    return m_pList->AddEventRow(pEvent);
}

void CMainFrame::DeleteAllRows()
{
    m_pList->DeleteAllRows();
}

std::vector<HistoryEvent*> CMainFrame::GetSelectedEvents()
{
    return m_pList->GetSelectedEvents();
}

std::string CMainFrame::GetEditorText()
{
    return m_pEditor->GetText();
}

bool CMainFrame::SetEditorText(const std::string& strText)
{
    return m_pEditor->SetText(strText);
}

std::size_t CMainFrame::GetEditorTextLength()
{
    return m_pEditor->GetTextLength();
}

namespace {

// The icon a box shows. Without one asked for, a box with OK is a warning
// (every message of the program is an error or a notice that needs the
// user's eye) and a box that asks Yes or No is a question.
QMessageBox::Icon MessageBoxIcon(UINT nType)
{
    switch (nType & 0xF0) {
    case MB_ICONHAND:
        return QMessageBox::Critical;
    case MB_ICONQUESTION:
        return QMessageBox::Question;
    case MB_ICONEXCLAMATION:
        return QMessageBox::Warning;
    case MB_ICONINFORMATION:
        return QMessageBox::Information;
    default:
        return (nType & 0xF) == MB_YESNO ? QMessageBox::Question : QMessageBox::Warning;
    }
}

}  // namespace

int CMainFrame::MessageBox(const std::string& strText, UINT nType)
{
    if (m_onMessageBox)
        return m_onMessageBox(strText, nType);
    QMessageBox box(this);
    box.setWindowTitle(QString::fromLatin1(LoadStringText(IDS_APP_TITLE)));
    // Messages name what the user typed or chose (ports, hosts, break
    // characters, file paths), held as UTF-8 or, for a file name, as the
    // name's own bytes.
    // Plain text: a name with markup in it ("<b>x</b>.mwx", "a&lt;b") is
    // shown as it is, not drawn as formatting.
    box.setTextFormat(Qt::PlainText);
    box.setText(DisplayText(strText));
    box.setIcon(MessageBoxIcon(nType));
    switch (nType & 0xF) {
    case MB_OKCANCEL:
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        return box.exec() == QMessageBox::Ok ? IDOK : IDCANCEL;
    case MB_YESNO:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        return box.exec() == QMessageBox::Yes ? IDYES : IDNO;
    default:
        box.setStandardButtons(QMessageBox::Ok);
        box.exec();
        return IDOK;
    }
}

void CMainFrame::WarningBox(const std::string& strText)
{
    if (m_onMessageBox) {
        m_onMessageBox(strText, MB_OK | MB_ICONEXCLAMATION);
        return;
    }
    // The socket layer's box has no owner.
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Warning"), QString(), QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);
    box.setText(QString::fromLatin1(strText));
    box.exec();
}

std::unique_ptr<CProgressWindow> CMainFrame::CreateProgress(EProgressKind kind, const std::string& strText,
                                                            std::int64_t nLow, std::int64_t nHigh)
{
    auto pRecord = std::make_shared<ProgressRecord>(ProgressRecord{kind, strText, nLow, nHigh, {}});
    m_progressLog.push_back(pRecord);
    if (m_progressLog.size() > kProgressLogSize)
        m_progressLog.pop_front();
    auto onPos = [pRecord](std::int64_t nPos) { pRecord->positions.push_back(nPos); };
    const int nMin = static_cast<int>(std::clamp<std::int64_t>(nLow, 0, std::numeric_limits<int>::max()));
    const int nMax = static_cast<int>(std::clamp<std::int64_t>(nHigh, 0, std::numeric_limits<int>::max()));
    if (kind == EProgressKind::LoadingEventList) {
        auto* pDlg = new CLoadingEventListDlg(this);
        pDlg->Progress()->setRange(nMin, nMax);
        pDlg->show();
        return std::make_unique<CDialogProgress>(pDlg, pDlg->Progress(), onPos);
    }
    auto* pDlg = new CPleaseWaitDlg();
    // The text may end in the session's file name ("Printing... Midwire -
    // résumé.mwx"), shown like the caption's.
    pDlg->Create(DisplayText(strText), nMin, nMax);
    return std::make_unique<CDialogProgress>(pDlg, pDlg->Progress(), onPos);
}

std::vector<CMainFrame::ProgressRecord> CMainFrame::ProgressLog() const
{
    std::vector<ProgressRecord> log;
    for (const auto& p : m_progressLog)
        log.push_back(*p);
    return log;
}

void CMainFrame::PumpMessages()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

// A wait of the window thread for a pipe: it polls the pipe a little at a
// time and handles the window's events in between, so that the program
// stays responsive. Inside a walk over the history, the walk's own window
// cancels the wait; otherwise a "Please Wait" window of its own comes up
// half a second after the first wait, so that a pipe that keeps up shows
// nothing. Closing the main window cancels the wait too.
class CWindowStreamWait : public CStreamWait {
public:
    CWindowStreamWait(CMainFrame& frame, std::string strText) : m_frame(frame), m_strText(std::move(strText))
    {
        ++m_frame.m_nStreamWaits;
    }
    ~CWindowStreamWait() override
    {
        m_pWindow.reset();
        --m_frame.m_nStreamWaits;
    }
    CWindowStreamWait(const CWindowStreamWait&) = delete;
    CWindowStreamWait& operator=(const CWindowStreamWait&) = delete;

    bool Wait(int fd, short nEvents) override
    {
        const auto now = std::chrono::steady_clock::now();
        if (!m_bWaited) {
            m_bWaited = true;
            m_firstWait = now;
        }
        pollfd pfd{fd, nEvents, 0};
        while (::poll(&pfd, 1, kPollMs) < 0 && errno == EINTR) {
        }
        m_frame.PumpMessages();
        if (m_frame.m_bCloseAfterWalk)
            return false;
        if (CProgressWalk* pWalk = CProgressWalk::Innermost()) {
            // The walk's window stands for the wait from here on. One of the
            // wait's own, come up before the walk began, is closed rather than
            // left beside it with a Cancel that nothing would look at again;
            // a Cancel already given there still counts.
            const bool bOwnOpen = !m_pWindow || m_pWindow->IsOpen();
            m_pWindow.reset();
            return bOwnOpen && pWalk->IsOpen();
        }
        if (!m_pWindow && now - m_firstWait >= kWindowDelay) {
            m_pWindow = m_frame.CreateProgress(EProgressKind::PleaseWait, m_strText, 0, 0);
            m_frame.PumpMessages();
        }
        return !m_pWindow || m_pWindow->IsOpen();
    }

private:
    static constexpr int kPollMs = 50;
    static constexpr auto kWindowDelay = std::chrono::milliseconds(500);
    CMainFrame& m_frame;
    std::string m_strText;
    std::unique_ptr<CProgressWindow> m_pWindow;
    std::chrono::steady_clock::time_point m_firstWait;
    bool m_bWaited = false;
};

std::unique_ptr<CStreamWait> CMainFrame::CreateStreamWait(const std::string& strText)
{
    return std::make_unique<CWindowStreamWait>(*this, strText);
}

int CMainFrame::DoModal(UINT nIDD, void* pData)
{
    return RunRegisteredDialog(nIDD, this, m_doc, pData);
}

bool CMainFrame::PromptFileName(std::string& strPath, bool bOpenFileDialog, const std::string& strFilter,
                                const std::string& strDefaultExt)
{
    if (m_onPromptFileName)
        return m_onPromptFileName(strPath, bOpenFileDialog);
    QString initial = ArgumentText(strPath);
    if (initial.contains(QLatin1Char('*')))
        initial.clear();
    QFileDialog dlg(this);
    dlg.setAcceptMode(bOpenFileDialog ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
    dlg.setFileMode(bOpenFileDialog ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    dlg.setNameFilter(DialogFilter(strFilter));
    if (!strDefaultExt.empty())
        dlg.setDefaultSuffix(QString::fromLocal8Bit(strDefaultExt));
    else if (!bOpenFileDialog)
        dlg.setOption(QFileDialog::DontConfirmOverwrite);  // data files are replaced without a question
    if (!initial.isEmpty())
        dlg.selectFile(initial);
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty())
        return false;
    strPath = LocalText(dlg.selectedFiles().first());
    return true;
}

// --- About ---

CAboutDlg::CAboutDlg(QWidget* pParent) : QDialog(pParent)
{
    setWindowTitle(QStringLiteral("About Midwire"));
    auto* pLayout = new QHBoxLayout(this);
    auto* pIcon = new QLabel(this);
    pIcon->setPixmap(AppIcon().pixmap(32, 32));
    pIcon->setAlignment(Qt::AlignTop);
    pLayout->addWidget(pIcon);
    auto* pText = new QVBoxLayout;
    pText->addWidget(new QLabel(QStringLiteral("Midwire Version 1.3.3"), this));
    pText->addWidget(new QLabel(QStringLiteral("MIME analisys using MIME++"), this));
    pLayout->addLayout(pText, 1);
    auto* pOk = new QPushButton(QStringLiteral("OK"), this);
    pOk->setDefault(true);
    connect(pOk, &QPushButton::clicked, this, &QDialog::accept);
    pLayout->addWidget(pOk, 0, Qt::AlignTop);
}
