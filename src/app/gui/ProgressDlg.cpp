#include "app/gui/ProgressDlg.h"

#include <QGuiApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>
#include <limits>

CProgressBarDlg::CProgressBarDlg(QWidget* pParent, const QString& title, const QString& text) : QDialog(pParent)
{
    setWindowTitle(title);
    setAttribute(Qt::WA_DeleteOnClose);
    auto* pLayout = new QVBoxLayout(this);
    m_pText = new QLabel(this);
    // The line may end in a file name: shown as it is, never as markup.
    m_pText->setTextFormat(Qt::PlainText);
    m_pText->setText(text);
    m_pText->setAlignment(Qt::AlignCenter);
    pLayout->addWidget(m_pText);
    m_pProgress = new QProgressBar(this);
    m_pProgress->setTextVisible(false);
    m_pProgress->setMinimumWidth(260);
    pLayout->addWidget(m_pProgress);
    auto* pCancel = new QPushButton(QStringLiteral("Cancel"), this);
    pCancel->setObjectName(QStringLiteral("cancel"));
    // Cancel is never the default button: an Enter meant for the dialog or
    // list before (a repeating key, one typed ahead) would otherwise stop a
    // save or load half way. Cancel takes a click, Space or Escape.
    pCancel->setAutoDefault(false);
    pCancel->setDefault(false);
    pLayout->addWidget(pCancel, 0, Qt::AlignHCenter);
    connect(pCancel, &QPushButton::clicked, this, &QDialog::reject);
}

CPleaseWaitDlg::CPleaseWaitDlg() : CProgressBarDlg(nullptr, QStringLiteral("Please Wait"), QStringLiteral("Wait for"))
{
}

void CPleaseWaitDlg::Create(const QString& text, int nLow, int nHigh)
{
    Progress()->setRange(nLow, nHigh);
    Text()->setText(text);
    adjustSize();
    if (const QScreen* pScreen = QGuiApplication::primaryScreen())
        move(pScreen->availableGeometry().center() - rect().center());
    show();
}

CDialogProgress::CDialogProgress(QDialog* pDialog, QProgressBar* pBar, std::function<void(std::int64_t)> onPos)
    : m_pDialog(pDialog), m_pBar(pBar), m_onPos(std::move(onPos))
{
}

CDialogProgress::~CDialogProgress()
{
    Close();
}

void CDialogProgress::SetPos(std::int64_t nPos)
{
    if (m_onPos)
        m_onPos(nPos);
    if (m_pBar && IsOpen())
        m_pBar->setValue(static_cast<int>(std::min<std::int64_t>(nPos, std::numeric_limits<int>::max())));
}

bool CDialogProgress::IsOpen() const
{
    // Cancel hides the dialog at once and deletes it on the next pass of
    // the event loop; either way the walk sees it closed.
    return m_pDialog && m_pDialog->isVisible();
}

void CDialogProgress::Close()
{
    if (m_pDialog) {
        QDialog* pDialog = m_pDialog;
        m_pDialog = nullptr;
        // The owner closes the window from its own code, never from inside
        // the dialog's handlers, so it can go at once.
        delete pDialog;
    }
}
