#include "editor/gui/MidwireEdit.h"

#include <algorithm>

#include <QFontDatabase>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>

namespace {

// A line longer than this keeps its shaped layout between paints.
constexpr int kCachedLineLength = 4096;

// The text document crashes when given a text of 2^30 characters (its
// UTF-16 size no longer fits an int) and counts positions in int; half of
// that still leaves room for its own bookkeeping.
constexpr std::size_t kDocumentMaxLength = std::size_t{1} << 29;
std::size_t g_nMaxTextLength = kDocumentMaxLength;

// The length of the text once its CR LF pairs are folded into one break.
std::size_t FoldedLength(const std::string& strText)
{
    std::size_t nLength = strText.size();
    for (std::size_t i = strText.find("\r\n"); i != std::string::npos; i = strText.find("\r\n", i + 2))
        --nLength;
    return nLength;
}

}  // namespace

CMidwireEdit::CMidwireEdit(QWidget* pParent) : QPlainTextEdit(pParent)
{
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setWordWrapMode(QTextOption::WrapAnywhere);
    // Each character stands for itself: no ligatures or kerning, which
    // would also make a long line of bytes several times slower to lay out.
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setStyleStrategy(QFont::PreferNoShaping);
    setFont(font);
    setUndoRedoEnabled(true);
    // Data without line breaks makes one line of megabytes, and every layout
    // of it goes over the whole line. A line's layout drops its shaped text
    // after each layout unless it is cached, so each paint (each blink of
    // the cursor among them) went over the whole line again and the window
    // stopped responding; long lines keep theirs. A scroll bar that appears
    // once the text is taller than the pane would narrow it and lay the
    // text out once more: the bar is always there.
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    connect(document(), &QTextDocument::contentsChange, this, [this](int nPosition, int, int nAdded) {
        const QTextBlock last = document()->findBlock(nPosition + nAdded);
        for (QTextBlock block = document()->findBlock(nPosition); block.isValid(); block = block.next()) {
            if (block.length() > kCachedLineLength)
                block.layout()->setCacheEnabled(true);
            if (block == last)
                break;
        }
    });
}

std::string CMidwireEdit::GetText() const
{
    // One byte per character keeps every byte of the program's 8-bit texts
    // as it is. The raw text, unlike the plain text, keeps a no-break space
    // as the byte it stands for; its paragraph separators are the line
    // breaks. A character with no 8-bit form (pasted typographic quotes, a
    // euro sign) is left out, as the translation to bytes leaves out every
    // character above 127: it must not reach a peer as some other byte. A
    // pasted NUL character is left out too: in the program's zero-terminated
    // texts it would end the text, and everything after it would be lost
    // from what is sent, saved or coded.
    const QString raw = document()->toRawText();
    std::string strText;
    strText.reserve(static_cast<std::size_t>(raw.size()));
    for (const QChar ch : raw) {
        const char16_t u = ch.unicode();
        if (u == 0)
            continue;
        if (u <= 0xFF)
            strText.push_back(static_cast<char>(u));
        else if (u == QChar::ParagraphSeparator || u == QChar::LineSeparator)
            strText.push_back('\n');
    }
    return strText;
}

bool CMidwireEdit::SetText(const std::string& strText)
{
    // Checked before the text is widened to UTF-16 (twice its size).
    if (strText.size() > g_nMaxTextLength && FoldedLength(strText) > g_nMaxTextLength)
        return false;
    // The text document treats a carriage return as a line break of its
    // own; CR LF pairs are one line break, a lone CR becomes one.
    QString text = QString::fromLatin1(strText.data(), static_cast<qsizetype>(strText.size()));
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    setPlainText(text);
    return true;
}

std::size_t CMidwireEdit::GetTextLength() const
{
    return static_cast<std::size_t>(std::max(document()->characterCount() - 1, 0));
}

std::size_t CMidwireEdit::MaxTextLength()
{
    return g_nMaxTextLength;
}

void CMidwireEdit::SetMaxTextLength(std::size_t nMax)
{
    g_nMaxTextLength = std::min(nMax, kDocumentMaxLength);
}
