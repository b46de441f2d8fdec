// Small builders shared by the option dialogs: controls named by their
// dialog control id (tests find them by that name) and the translation of
// the document's local-encoding strings.
#pragma once

#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QString>
#include <QStyle>
#include <QStyleOptionFrame>
#include <string>

#include "app/CliSupport.h"
#include "app/resource.h"

namespace dlg {

// A setting's bytes as the edit's text and back, every byte kept: a byte
// that is not UTF-8 (a host name from a session file, say) would otherwise
// come back as U+FFFD's three bytes from a dialog that was only confirmed.
inline QString ToQ(const std::string& s)
{
    return ArgumentText(s);
}

inline std::string FromQ(const QLineEdit* p)
{
    return LocalText(p->text());
}

inline BOOL Checked(const QCheckBox* p)
{
    return p->isChecked() ? TRUE : FALSE;
}

// Keeps room in the edit for ten digits, the widest number the dialogs
// take (and enough of a host name or a break character to read it). A
// dialog opens at most two thirds of the screen wide, and the edits are what
// gives way: with a scale factor of 2 on a 1280-pixel screen they were
// squeezed to three characters, "1000000" showing as "000".
inline void KeepRoomForNumber(QLineEdit* p)
{
    QStyleOptionFrame option;
    option.initFrom(p);
    option.lineWidth = p->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, p);
    // The edit leaves 2 pixels free on either side of its text.
    const QSize text(p->fontMetrics().horizontalAdvance(QString(10, QLatin1Char('0'))) + 4,
                     p->fontMetrics().height());
    p->setMinimumWidth(p->style()->sizeFromContents(QStyle::CT_LineEdit, &option, text, p).width());
}

// An edit named by its control id; nMaxLength 0 leaves the length free.
inline QLineEdit* MakeEdit(const QString& strValue, int nID, int nMaxLength = 0)
{
    auto* p = new QLineEdit(strValue);
    p->setObjectName(QString::number(nID));
    KeepRoomForNumber(p);
    if (nMaxLength > 0)
        p->setMaxLength(nMaxLength);
    return p;
}

inline QLineEdit* MakeEdit(const std::string& strValue, int nID)
{
    return MakeEdit(ToQ(strValue), nID);
}

inline QCheckBox* MakeCheck(const char* pszLabel, BOOL bValue, int nID)
{
    auto* p = new QCheckBox(QString::fromLatin1(pszLabel));
    p->setChecked(bValue != 0);
    p->setObjectName(QString::number(nID));
    return p;
}

// The label of a field outside a form row: it names the field for
// assistive technology, as a form row's label does. strName is the name
// instead where the label alone does not tell the field from another one
// of the dialog ("Host:" stands before both hosts of a move rule).
inline QLabel* MakeLabel(const char* pszText, QWidget* pField, const QString& strName = QString())
{
    auto* p = new QLabel(QString::fromLatin1(pszText));
    p->setBuddy(pField);
    if (!strName.isEmpty())
        pField->setAccessibleName(strName);
    return p;
}

// "OK" and "Cancel" stacked at the right of the dialog's content; OK goes
// through the dialog's own accept, which may refuse.
inline void FinishLayout(QDialog* pDlg, QLayout* pContent)
{
    auto* pButtons = new QDialogButtonBox(Qt::Vertical);
    QPushButton* pOk = pButtons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
    pButtons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
    QObject::connect(pButtons, &QDialogButtonBox::accepted, pDlg, &QDialog::accept);
    QObject::connect(pButtons, &QDialogButtonBox::rejected, pDlg, &QDialog::reject);
    auto* pMain = new QHBoxLayout(pDlg);
    pMain->addLayout(pContent, 1);
    pMain->addWidget(pButtons, 0, Qt::AlignTop);
    // OK becomes the default once it is in the dialog: a default set before
    // is not the dialog's own, and after the focus had passed over the
    // buttons Enter pressed Cancel.
    pOk->setDefault(true);
}

}  // namespace dlg
