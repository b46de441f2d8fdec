#include "export/gui/ExportDlg.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QRadioButton>
#include <QScreen>
#include <QVBoxLayout>
#include <algorithm>

#include "app/CliSupport.h"
#include "app/gui/DialogRegistry.h"

namespace {

// The shown names of the file types, taken from the filter text (pairs of
// shown name and pattern separated by "|", ended by an empty pair).
QStringList FilterNames()
{
    QStringList names;
    const QStringList parts = QString::fromLatin1(kSaveSpecialFilter).split('|');
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        const QString strName = parts[i].trimmed();
        if (strName.isEmpty())
            break;
        names << strName;
    }
    return names;
}

QString ControlName(UINT nID)
{
    return QStringLiteral("idc%1").arg(nID);
}

}  // namespace

CSaveSpecialDlg::CSaveSpecialDlg(QWidget* pParent, SaveSpecialOptions& options)
    : QFileDialog(pParent, QStringLiteral("Save As Special")), m_options(options)
{
    // The options panel goes below the usual file controls, which needs the
    // dialog's own widgets rather than the desktop's native one.
    setOption(QFileDialog::DontUseNativeDialog, true);
    setAcceptMode(QFileDialog::AcceptSave);
    setFileMode(QFileDialog::AnyFile);
    setNameFilters(FilterNames());
    selectFile(QStringLiteral("*.*"));
    const QSize sizeWithoutPanel = size();

    auto* pPanel = new QWidget(this);
    pPanel->setObjectName(QStringLiteral("idd143"));
    auto* pRow = new QHBoxLayout(pPanel);
    pRow->setContentsMargins(0, 0, 0, 0);

    // A group of radios bound to one member: the radio matching the member
    // starts checked, a click stores its value at once.
    auto addRadios = [&](const char* pszTitle, int& nMember, std::initializer_list<std::tuple<const char*, UINT, int>> radios) {
        auto* pBox = new QGroupBox(QString::fromLatin1(pszTitle), pPanel);
        auto* pColumn = new QVBoxLayout(pBox);
        auto* pGroup = new QButtonGroup(pBox);
        for (const auto& [pszText, nID, nValue] : radios) {
            auto* pRadio = new QRadioButton(QString::fromLatin1(pszText), pBox);
            pRadio->setObjectName(ControlName(nID));
            pRadio->setChecked(nMember == nValue);
            pGroup->addButton(pRadio);
            pColumn->addWidget(pRadio);
            const int nThisValue = nValue;
            connect(pRadio, &QRadioButton::clicked, this, [&nMember, nThisValue] { nMember = nThisValue; });
        }
        pColumn->addStretch(1);
        pRow->addWidget(pBox);
    };
    addRadios("Selection", m_options.nSelection, {{"All", IDC_SAVE_SELECTION_ALL, SAVE_SEL_ALL}, {"Selected", IDC_SAVE_SELECTION_SELECTED, SAVE_SEL_SELECTED}});
    addRadios("Events", m_options.nEvents, {{"All", IDC_SAVE_EVENTS_ALL, SAVE_EVENTS_ALL}, {"Data", IDC_SAVE_EVENTS_DATA, SAVE_EVENTS_DATA}});
    addRadios("Client Server", m_options.nSide,
              {{"Both", IDC_SAVE_SIDE_BOTH, SAVE_SIDE_BOTH}, {"Client", IDC_SAVE_SIDE_CLIENT, SAVE_SIDE_CLIENT}, {"Server", IDC_SAVE_SIDE_SERVER, SAVE_SIDE_SERVER}});

    auto* pFormat = new QGroupBox(QStringLiteral("Text Format"), pPanel);
    auto* pChecks = new QGridLayout(pFormat);
    auto addCheck = [&](const char* pszText, UINT nID, BOOL bValue, int nRow, int nColumn) {
        auto* pCheck = new QCheckBox(QString::fromLatin1(pszText), pFormat);
        pCheck->setObjectName(ControlName(nID));
        pCheck->setChecked(bValue != 0);
        pChecks->addWidget(pCheck, nRow, nColumn);
        connect(pCheck, &QCheckBox::clicked, this, [this] { ReadCheckBoxes(); });
        return pCheck;
    };
    m_pDirection = addCheck("Direction", IDC_SAVE_FORMAT_DIRECTION, m_options.bDirection, 0, 0);
    m_pDate = addCheck("Date", IDC_SAVE_FORMAT_DATE, m_options.bDate, 0, 1);
    m_pHost = addCheck("Host", IDC_SAVE_FORMAT_HOST, m_options.bHost, 1, 0);
    m_pAction = addCheck("Action", IDC_SAVE_FORMAT_ACTION, m_options.bAction, 1, 1);
    pRow->addWidget(pFormat);

    if (auto* pGrid = qobject_cast<QGridLayout*>(layout()))
        pGrid->addWidget(pPanel, pGrid->rowCount(), 0, 1, pGrid->columnCount());
    else if (layout())
        layout()->addWidget(pPanel);

    // The panel adds to the dialog's height instead of taking it from the
    // file list: with a large font the dialog kept the height it has without
    // the panel, and the list was left two rows high. Never more than the
    // screen holds.
    const int nSpacing = layout() ? std::max(0, layout()->spacing()) : 0;
    QSize size(std::max(sizeWithoutPanel.width(), minimumSizeHint().width()),
               std::max(sizeWithoutPanel.height() + nSpacing + pPanel->sizeHint().height(), minimumSizeHint().height()));
    if (const QScreen* pScreen = screen())
        size = size.boundedTo(pScreen->availableGeometry().size() * 9 / 10).expandedTo(minimumSizeHint());
    resize(size);
}

void CSaveSpecialDlg::ReadCheckBoxes()
{
    m_options.bDirection = m_pDirection->isChecked();
    m_options.bDate = m_pDate->isChecked();
    m_options.bHost = m_pHost->isChecked();
    m_options.bAction = m_pAction->isChecked();
}

void CSaveSpecialDlg::accept()
{
    const QStringList files = selectedFiles();
    if (!files.isEmpty()) {
        const QString strName = QFileInfo(files.first()).fileName();
        if (strName.contains(QLatin1Char('*')) || strName.contains(QLatin1Char('?'))) {
            // Pressing Save over the untouched "*.*" would otherwise create
            // an export named "*.*"; the dialog stays open for a real name.
            if (auto* pName = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) {
                pName->setFocus();
                pName->selectAll();
            }
            return;
        }
    }
    QFileDialog::accept();
}

void CSaveSpecialDlg::done(int nResult)
{
    ReadCheckBoxes();
    if (nResult == QDialog::Accepted) {
        const QStringList files = selectedFiles();
        m_options.strPath = files.isEmpty() ? std::string() : LocalText(files.first());
    }
    QFileDialog::done(nResult);
}

QAbstractButton* CSaveSpecialDlg::Control(UINT nID) const
{
    return findChild<QAbstractButton*>(ControlName(nID));
}

void RegisterExportDialogs()
{
    RegisterDialog(IDD_SAVE_SPECIAL, [](QWidget* pParent, CMidwireDoc&, void* pData) {
        if (!pData)
            return static_cast<int>(IDCANCEL);
        CSaveSpecialDlg dlg(pParent, *static_cast<SaveSpecialOptions*>(pData));
        return dlg.exec() == QDialog::Accepted ? static_cast<int>(IDOK) : static_cast<int>(IDCANCEL);
    });
}
