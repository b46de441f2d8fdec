// What every desktop test needs first: one application object for the whole
// test run, with settings kept apart from the user's.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <string>

namespace guitest {

inline void EnsureApplication()
{
    static int argc = 1;
    static char arg0[] = "midwire_gui_tests";
    static char* argv[] = {arg0, nullptr};
    if (!QApplication::instance()) {
        QStandardPaths::setTestModeEnabled(true);  // settings never touch the user's
        // Nor another test process's: tests run side by side, and one that
        // saves a session adds it to the recent list another one checks.
        static QTemporaryDir settingsDir;
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir.path());
        new QApplication(argc, argv);  // lives for the whole test run
    }
}

// Whether the edit, as laid out now, shows its whole text without
// scrolling it.
inline bool ShowsWholeText(const QLineEdit* pEdit)
{
    QStyleOptionFrame option;
    option.initFrom(pEdit);
    option.lineWidth = pEdit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, pEdit);
    const QRect contents = pEdit->style()->subElementRect(QStyle::SE_LineEditContents, &option, pEdit);
    // The edit leaves 2 pixels free on either side of its text.
    return pEdit->fontMetrics().horizontalAdvance(pEdit->text()) <= contents.width() - 4;
}

// A control as a test names it: a button by its text, any other by its
// object name.
inline QString ControlName(const QWidget* pWidget)
{
    if (!pWidget)
        return QStringLiteral("(none)");
    if (const auto* pButton = qobject_cast<const QAbstractButton*>(pWidget))
        return pButton->text();
    return pWidget->objectName();
}

// Shows the window, and presses Tab in it as a user would, nCount times:
// the controls the focus visits, starting with the one it is in at first,
// separated by " > ".
inline std::string TabWalk(QWidget* pWindow, int nCount)
{
    pWindow->show();
    QApplication::setActiveWindow(pWindow);
    QApplication::processEvents();
    QStringList visited;
    for (int i = 0; i < nCount; ++i) {
        QWidget* pFocus = QApplication::focusWidget();
        visited << ControlName(pFocus);
        if (!pFocus)
            break;
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
        QApplication::sendEvent(pFocus, &press);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_Tab, Qt::NoModifier);
        QApplication::sendEvent(pFocus, &release);
    }
    return visited.join(QStringLiteral(" > ")).toStdString();
}

// Presses the "cancel" button of the first visible window of type TDlg (a
// progress window) as soon as the event loop gets a turn while it is shown:
// a long walk that lets its window handle messages is cancelled at its first
// step. With bReady, only once bReady() holds as well (a pipe filled, say).
// Gives up after a bounded number of turns.
template <class TDlg>
class CCancelWhenShown {
public:
    explicit CCancelWhenShown(std::function<bool()> bReady = {}) : m_bReady(std::move(bReady))
    {
        QObject::connect(&m_watcher, &QTimer::timeout, [this] {
            if (++m_nTurns > 100000)
                m_watcher.stop();
            if (m_bReady && !m_bReady())
                return;
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (auto* pDlg = qobject_cast<TDlg*>(w); pDlg && pDlg->isVisible()) {
                    pDlg->template findChild<QPushButton*>("cancel")->click();
                    m_bClicked = true;
                    m_watcher.stop();
                    return;
                }
            }
        });
        m_watcher.start(0);
    }
    bool Clicked() const { return m_bClicked; }

private:
    std::function<bool()> m_bReady;
    QTimer m_watcher;
    int m_nTurns = 0;
    bool m_bClicked = false;
};

}  // namespace guitest
