// The desktop as users with a large or a small application font, or a
// screen with a scale factor, see it: every label, button, edit and bar of a
// dialog lies inside it, none covers another and every text has the room it
// needs; pictures are painted for the screen's pixels. The tests run once
// more with a scale factor of 2 (see the test list).

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QFont>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QProgressBar>
#include <QToolBar>
#include <string>
#include <vector>

#include "GuiTestUtil.h"
#include "app/CommandTable.h"
#include "app/gui/MainFrame.h"
#include "app/gui/ProgressDlg.h"
#include "datagram/gui/DatagramDialogs.h"
#include "export/gui/ExportDlg.h"
#include "playback/gui/PlayBackDlg.h"
#include "relay/gui/RelayGui.h"
#include "session/HistoryEvent.h"
#include "session/MidwireDoc.h"
#include "views/gui/Icons.h"
#include "views/gui/MidwireListView.h"

namespace {

// Sets the application font to a point size for the life of the object.
class CAppFont {
public:
    explicit CAppFont(int nPointSize) : m_saved(QApplication::font())
    {
        QFont font = m_saved;
        font.setPointSize(nPointSize);
        QApplication::setFont(font);
    }
    ~CAppFont() { QApplication::setFont(m_saved); }
    CAppFont(const CAppFont&) = delete;
    CAppFont& operator=(const CAppFont&) = delete;

private:
    QFont m_saved;
};

QString Describe(const QWidget* p)
{
    if (const auto* pLabel = qobject_cast<const QLabel*>(p))
        return QStringLiteral("label \"%1\"").arg(pLabel->text());
    if (const auto* pButton = qobject_cast<const QAbstractButton*>(p))
        return QStringLiteral("button \"%1\"").arg(pButton->text());
    return QStringLiteral("%1 %2").arg(QString::fromLatin1(p->metaObject()->className()), p->objectName());
}

// Shows the window at the size it opens with and lists what a user would
// not see whole: a control reaching out of the window, two controls on top
// of each other, a text with less room than it asks for. pScope limits the
// controls looked at to one part of the window (the options panel of a file
// dialog, say); the window itself by default.
std::vector<std::string> LayoutFaults(QWidget& window, QWidget* pScope = nullptr)
{
    window.show();
    QApplication::processEvents();
    if (!pScope)
        pScope = &window;
    struct Placed {
        QWidget* pWidget;
        QRect rect;
    };
    std::vector<Placed> placed;
    for (QWidget* p : pScope->findChildren<QWidget*>()) {
        const bool bControl = qobject_cast<QLabel*>(p) || qobject_cast<QAbstractButton*>(p) ||
                              qobject_cast<QLineEdit*>(p) || qobject_cast<QProgressBar*>(p) ||
                              qobject_cast<QComboBox*>(p);
        // Parts of a control (the edit inside a combo box) go with it.
        if (bControl && p->isVisibleTo(&window) && !qobject_cast<QComboBox*>(p->parentWidget()))
            placed.push_back({p, QRect(p->mapTo(&window, QPoint(0, 0)), p->size())});
    }
    std::vector<std::string> faults;
    auto fault = [&faults](const QString& text) { faults.push_back(text.toStdString()); };
    for (std::size_t i = 0; i < placed.size(); ++i) {
        const Placed& a = placed[i];
        if (!window.rect().contains(a.rect))
            fault(Describe(a.pWidget) + QStringLiteral(" reaches out of the window"));
        const QSize wanted = qobject_cast<QLineEdit*>(a.pWidget) ? a.pWidget->minimumSizeHint()
                                                                  : a.pWidget->sizeHint();
        const auto* pLabel = qobject_cast<const QLabel*>(a.pWidget);
        const bool bWraps = pLabel && pLabel->wordWrap();
        if ((!bWraps && a.rect.width() < wanted.width()) || a.rect.height() < wanted.height())
            fault(Describe(a.pWidget) + QStringLiteral(" has %1x%2 for %3x%4")
                                            .arg(a.rect.width())
                                            .arg(a.rect.height())
                                            .arg(wanted.width())
                                            .arg(wanted.height()));
        for (std::size_t j = i + 1; j < placed.size(); ++j) {
            const Placed& b = placed[j];
            if (a.pWidget->isAncestorOf(b.pWidget) || b.pWidget->isAncestorOf(a.pWidget))
                continue;
            if (a.rect.intersects(b.rect))
                fault(Describe(a.pWidget) + QStringLiteral(" overlaps ") + Describe(b.pWidget));
        }
    }
    return faults;
}

const int kFontSizes[] = {6, 22};

}  // namespace

TEST(ScaledDisplayTest, DialogsShowEveryControlWholeWithALargeOrSmallFont)
{
    guitest::EnsureApplication();
    for (const int nSize : kFontSizes) {
        CAppFont font(nSize);
        CMidwireDoc doc;
        {
            CConnectDlgData d;
            CConnectDlg dlg(d);
            EXPECT_EQ(LayoutFaults(dlg), std::vector<std::string>()) << "connect " << nSize;
        }
        {
            CConnectionOptionsData d;
            CConnectionOptionsDlg dlg(d);
            EXPECT_EQ(LayoutFaults(dlg), std::vector<std::string>()) << "options " << nSize;
        }
        {
            CWaitAcceptWnd dlg(doc);
            EXPECT_EQ(LayoutFaults(dlg), std::vector<std::string>()) << "wait " << nSize;
        }
        {
            CBindDlg dlg(doc);
            EXPECT_EQ(LayoutFaults(dlg), std::vector<std::string>()) << "bind " << nSize;
        }
        {
            CSendDlg dlg(doc);
            EXPECT_EQ(LayoutFaults(dlg), std::vector<std::string>()) << "send " << nSize;
        }
        {
            CDatagramOptionsDlg dlg(doc);
            EXPECT_EQ(LayoutFaults(dlg), std::vector<std::string>()) << "dgram options " << nSize;
        }
        {
            CPlayBackDlgData d;
            CPlayBackDlg dlg(nullptr, d);
            EXPECT_EQ(LayoutFaults(dlg), std::vector<std::string>()) << "playback " << nSize;
        }
        {
            SaveSpecialOptions o;
            CSaveSpecialDlg dlg(nullptr, o);
            EXPECT_EQ(LayoutFaults(dlg, dlg.findChild<QWidget*>(QStringLiteral("idd143"))), std::vector<std::string>())
                << "save special " << nSize;
        }
        {
            CAboutDlg dlg(nullptr);
            EXPECT_EQ(LayoutFaults(dlg), std::vector<std::string>()) << "about " << nSize;
        }
        {
            CLoadingEventListDlg dlg(nullptr);
            EXPECT_EQ(LayoutFaults(dlg), std::vector<std::string>()) << "loading " << nSize;
        }
        {
            auto* p = new CPleaseWaitDlg();
            p->Create(QStringLiteral("Printing... Midwire - session.mwx"), 0, 100);
            EXPECT_EQ(LayoutFaults(*p), std::vector<std::string>()) << "please wait " << nSize;
            delete p;
        }
    }
}

TEST(ScaledDisplayTest, SaveSpecialPanelLeavesTheFileListItsRows)
{
    // The options panel below the file controls made the dialog no taller:
    // with a large font the list of files was two rows high.
    guitest::EnsureApplication();
    CAppFont font(22);
    SaveSpecialOptions options;
    CSaveSpecialDlg dlg(nullptr, options);
    dlg.show();
    QApplication::processEvents();
    // The test screen is 800 pixels tall, 400 at a scale factor of 2: too
    // little for the dialog at this font whatever its layout.
    if (dlg.screen()->availableGeometry().height() < 600)
        GTEST_SKIP() << "the screen is too small for a 22-point dialog";
    int nViews = 0;
    for (QAbstractItemView* pView : dlg.findChildren<QAbstractItemView*>()) {
        // The lists of files and places, not a header or a combo box's list.
        if (!pView->isVisibleTo(&dlg) || qobject_cast<QHeaderView*>(pView) || pView->window() != &dlg)
            continue;
        ++nViews;
        EXPECT_GE(pView->viewport()->height(), 5 * pView->fontMetrics().height()) << pView->objectName().toStdString();
    }
    EXPECT_GT(nViews, 0);
    EXPECT_LE(dlg.height(), dlg.screen()->availableGeometry().height());
}

TEST(ScaledDisplayTest, PicturesArePaintedForThePixelsOfTheScreen)
{
    // A picture of 16 layout pixels painted with 16 device pixels was blown
    // up on a screen with a scale factor, every edge blurred.
    guitest::EnsureApplication();
    const QIcon save = ToolbarIcon(ID_FILE_SAVE);
    for (const qreal dDpr : {1.0, 2.0, 3.0}) {
        const QPixmap pixmap = save.pixmap(QSize(16, 15), dDpr);
        EXPECT_EQ(pixmap.size(), QSize(16, 15) * dDpr) << dDpr;
        EXPECT_EQ(pixmap.devicePixelRatio(), dDpr);
    }
    const qreal dApp = qApp->devicePixelRatio();
    for (int i = 0; i < kEventIconCount; ++i) {
        const QPixmap& row = EventIconPixmap(i);
        EXPECT_EQ(row.devicePixelRatio(), dApp) << i;
        EXPECT_EQ(row.deviceIndependentSize(), QSizeF(16, 16)) << i;
    }
}

TEST(ScaledDisplayTest, ToolbarPicturesGrowWithALargeFont)
{
    guitest::EnsureApplication();
    CAppFont font(22);
    CMidwireDoc doc;
    CMainFrame frame(doc);
    const QToolBar* pToolBar = frame.ToolBar();
    ASSERT_NE(pToolBar, nullptr);
    EXPECT_GT(pToolBar->iconSize().height(), frame.menuBar()->fontMetrics().height());
    EXPECT_GT(pToolBar->iconSize().width(), pToolBar->iconSize().height());

    // A font chosen while the window is open.
    frame.show();
    QApplication::processEvents();
    {
        CAppFont larger(40);
        QApplication::processEvents();
        EXPECT_GT(pToolBar->iconSize().height(), frame.menuBar()->fontMetrics().height());
    }
    QApplication::processEvents();
    EXPECT_GT(pToolBar->iconSize().height(), frame.menuBar()->fontMetrics().height());
    EXPECT_LT(pToolBar->iconSize().height(), 2 * frame.menuBar()->fontMetrics().height());
}

TEST(ScaledDisplayTest, ListFollowsAFontChosenWhileItIsShown)
{
    // The rows kept the height of the font the list was made with: a larger
    // font chosen while the program ran had the rows' text cut in half.
    guitest::EnsureApplication();
    CMidwireListView list;
    list.show();
    QApplication::processEvents();
    list.setColumnWidth(CEventListModel::COL_DATA, 2000);  // widened by the user
    CAppFont font(22);
    QApplication::processEvents();
    const QFontMetrics fm = list.fontMetrics();
    EXPECT_GE(list.verticalHeader()->defaultSectionSize(), fm.height());
    EXPECT_GT(list.columnWidth(CEventListModel::COL_ACTION),
              fm.horizontalAdvance(QStringLiteral("Edited & sent to:")) + list.iconSize().width());
    EXPECT_GT(list.columnWidth(CEventListModel::COL_TIME),
              fm.horizontalAdvance(QString::fromLatin1(FormatEventTime(1700000000))));
    EXPECT_EQ(list.columnWidth(CEventListModel::COL_DATA), 2000);
}
