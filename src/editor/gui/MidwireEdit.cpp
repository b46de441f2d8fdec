#include "editor/gui/MidwireEdit.h"

#include <QFontDatabase>

CMidwireEdit::CMidwireEdit(QWidget* pParent) : QPlainTextEdit(pParent)
{
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setWordWrapMode(QTextOption::WrapAnywhere);
    setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    setUndoRedoEnabled(true);
}

std::string CMidwireEdit::GetText() const
{
    // Latin-1 keeps every byte of the program's 8-bit texts as it is.
    return toPlainText().toLatin1().toStdString();
}

void CMidwireEdit::SetText(const std::string& strText)
{
    // The text document treats a carriage return as a line break of its
    // own; CR LF pairs are one line break, a lone CR becomes one.
    QString text = QString::fromLatin1(strText.data(), static_cast<qsizetype>(strText.size()));
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    setPlainText(text);
}

std::size_t CMidwireEdit::GetTextLength() const
{
    return static_cast<std::size_t>(std::max(document()->characterCount() - 1, 0));
}
