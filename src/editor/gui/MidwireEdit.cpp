#include "editor/gui/MidwireEdit.h"

#include <algorithm>

#include <QApplication>
#include <QClipboard>
#include <QDropEvent>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
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

// A block that continues the line of the block before it carries this
// property in its block format. The format goes with the block through
// edits, undo and redo, so the pieces of a line stay one line.
constexpr int kContinuationProperty = QTextFormat::UserProperty + 1;

QTextBlockFormat ContinuationFormat()
{
    QTextBlockFormat format;
    format.setProperty(kContinuationProperty, true);
    return format;
}

// The block format with the mark set or cleared.
QTextBlockFormat MarkedFormat(QTextBlockFormat format, bool bContinues)
{
    if (bContinues)
        format.setProperty(kContinuationProperty, true);
    else
        format.clearProperty(kContinuationProperty);
    return format;
}

// Where the piece of a line that starts at nFrom ends, the line ending at
// nLineEnd: at most CMidwireEdit::kPieceLength characters on, and before a
// run of brackets that the full length would cut through, so that a "[13]"
// or a doubled bracket is not shown split over two lines. A run of brackets
// reads as pairs from its first bracket on, so the cut falls an even number
// of brackets after the run's start: never inside a pair, and never a piece
// of one character where the run is longer than a piece (data full of "["
// bytes, which showed one bracket a line).
qsizetype PieceEnd(const QString& text, qsizetype nFrom, qsizetype nLineEnd)
{
    qsizetype nEnd = nFrom + CMidwireEdit::kPieceLength;
    if (nEnd >= nLineEnd)
        return nLineEnd;
    for (qsizetype i = nEnd - 1; i > nEnd - 8 && i > nFrom; --i) {
        if (text[i] == QLatin1Char(']'))
            break;
        if (text[i] == QLatin1Char('[')) {
            // A run that began in an earlier piece was cut there at an even
            // count too, so the count can start again at this piece.
            qsizetype nRunStart = i;
            while (nRunStart > nFrom && text[nRunStart - 1] == QLatin1Char('['))
                --nRunStart;
            const qsizetype nCut = nRunStart + ((i - nRunStart) & ~qsizetype{1});
            return nCut > nFrom ? nCut : nEnd;
        }
    }
    return nEnd;
}

// The text with each line break as a line feed: a CR LF pair, a lone CR
// and a paragraph separator (text from some programs), for which the text
// document would start a block of its own.
QString WithLineFeeds(QString text)
{
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    text.replace(QChar(QChar::ParagraphSeparator), QLatin1Char('\n'));
    return text;
}

// The length of the text once its CR LF pairs are folded into one break.
std::size_t FoldedLength(const std::string& strText)
{
    std::size_t nLength = strText.size();
    for (std::size_t i = strText.find("\r\n"); i != std::string::npos; i = strText.find("\r\n", i + 2))
        --nLength;
    return nLength;
}

// The classes of character by which the text control steps over words: a
// word is a run of letters (anything not a space or a separator) or a run
// of separators; spaces lie between words.
enum class CharClass { Space, Separator, Letter };

CharClass ClassOf(QChar c)
{
    if (c.isSpace())
        return CharClass::Space;
    switch (c.unicode()) {
    case '.': case ',': case '?': case '!': case '@': case '#': case '$': case ':': case ';': case '-':
    case '<': case '>': case '[': case ']': case '(': case ')': case '{': case '}': case '=': case '/':
    case '+': case '%': case '&': case '^': case '*': case '\'': case '"': case '`': case '~': case '|':
    case '\\':
        return CharClass::Separator;
    default:
        return CharClass::Letter;
    }
}

// A place in a line of the editor, walked a character at a time over the
// joins between the line's pieces. The text of the piece it is in is kept,
// so that a word many pieces long is walked without copying a piece for
// each character.
class LinePlace {
public:
    LinePlace(QTextDocument* pDocument, int nPosition)
    {
        const QTextBlock block = pDocument->findBlock(nPosition);
        Load(block, nPosition - block.position());
    }
    int Position() const { return m_block.position() + m_nOffset; }
    // The character after the place; false at the end of the line. The
    // place is then on the later side of a join it was at.
    bool Ahead(QChar& c)
    {
        ToLaterPiece();
        if (m_nOffset >= m_text.size())
            return false;
        c = m_text.at(m_nOffset);
        return true;
    }
    // The character before the place; false at the start of the line. The
    // place is then on the earlier side of a join it was at.
    bool Behind(QChar& c)
    {
        ToEarlierPiece();
        if (m_nOffset <= 0)
            return false;
        c = m_text.at(m_nOffset - 1);
        return true;
    }
    // Over the character that Ahead or Behind gave.
    void Forward() { ++m_nOffset; }
    void Back() { --m_nOffset; }
    // The same place in the line, at the start of the later piece or the
    // end of the earlier one when it is at a join.
    void ToLaterPiece()
    {
        while (m_nOffset >= m_text.size() && CMidwireEdit::IsContinuation(m_block.next()))
            Load(m_block.next(), 0);
    }
    void ToEarlierPiece()
    {
        while (m_nOffset <= 0 && CMidwireEdit::IsContinuation(m_block)) {
            const QTextBlock previous = m_block.previous();
            Load(previous, previous.length() - 1);
        }
    }
    // Moves over the characters of the class (forward or back).
    void SkipForward(CharClass kind)
    {
        QChar c;
        while (Ahead(c) && ClassOf(c) == kind)
            Forward();
    }
    void SkipBack(CharClass kind)
    {
        QChar c;
        while (Behind(c) && ClassOf(c) == kind)
            Back();
    }

    // The text control's word steps, taken over the whole line: on over
    // the word (or the rest of it) and the spaces after it; back over the
    // spaces and the word before.
    void NextWord()
    {
        QChar c;
        SkipForward(Ahead(c) && ClassOf(c) == CharClass::Separator ? CharClass::Separator : CharClass::Letter);
        SkipForward(CharClass::Space);
    }
    void PreviousWord()
    {
        SkipBack(CharClass::Space);
        QChar c;
        SkipBack(Behind(c) && ClassOf(c) == CharClass::Separator ? CharClass::Separator : CharClass::Letter);
    }
    // Whether the place is at a join inside a word: the characters on
    // either side of it are of one class, kind, and not spaces.
    bool InWordAtJoin(CharClass& kind)
    {
        QChar before;
        QChar after;
        if (!Behind(before) || m_nOffset != m_text.size() || !CMidwireEdit::IsContinuation(m_block.next()) ||
            !Ahead(after))
            return false;
        kind = ClassOf(after);
        return ClassOf(before) == kind && kind != CharClass::Space;
    }

private:
    void Load(const QTextBlock& block, int nOffset)
    {
        m_block = block;
        m_text = block.text();
        m_nOffset = nOffset;
    }

    QTextBlock m_block;
    QString m_text;
    int m_nOffset = 0;
};

}  // namespace

CMidwireEdit::CMidwireEdit(QWidget* pParent) : QPlainTextEdit(pParent)
{
    setAccessibleName(QStringLiteral("Data editor"));
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setWordWrapMode(QTextOption::WrapAnywhere);
    // Each character stands for itself: no ligatures or kerning, which
    // would also make a long line of bytes several times slower to lay out.
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setStyleStrategy(QFont::PreferNoShaping);
    setFont(font);
    setUndoRedoEnabled(true);
    // A line is held in pieces (see InsertInPieces), but pieces joined by
    // deleting what lay between them can still make a long block, and every
    // layout of it goes over the whole block. A block's layout drops its
    // shaped text after each layout unless it is cached, so each paint (each
    // blink of the cursor among them) went over the whole block again; long
    // blocks keep theirs. A scroll bar that appears
    // once the text is taller than the pane would narrow it and lay the
    // text out once more: the bar is always there.
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    connect(this, &QPlainTextEdit::selectionChanged, this, &CMidwireEdit::RememberSelectionStart);
    connect(document(), &QTextDocument::contentsChange, this, [this](int nPosition, int nRemoved, int nAdded) {
        m_bLengthKnown = false;
        NoteRemovalAtBlockStart(nPosition, nRemoved);
        // The word or lines last clicked are no longer where they were.
        m_bWordClicked = false;
        m_bLinesClicked = false;
        const QTextBlock last = document()->findBlock(nPosition + nAdded);
        for (QTextBlock block = document()->findBlock(nPosition); block.isValid(); block = block.next()) {
            if (block.length() > kCachedLineLength)
                block.layout()->setCacheEnabled(true);
            if (block == last)
                break;
        }
    });
}

bool CMidwireEdit::IsContinuation(const QTextBlock& block)
{
    return block.blockFormat().boolProperty(kContinuationProperty);
}

void CMidwireEdit::RememberSelectionStart()
{
    const QTextCursor cursor = textCursor();
    m_nSelectionStart = -1;
    if (!cursor.hasSelection())
        return;
    const QTextBlock block = document()->findBlock(cursor.selectionStart());
    if (block.position() == cursor.selectionStart() && block.blockNumber() > 0) {
        m_nSelectionStart = cursor.selectionStart();
        m_bSelectionStartContinues = IsContinuation(block);
    }
}

void CMidwireEdit::NoteRemovalAtBlockStart(int nPosition, int nRemoved)
{
    // A selection removed from the start of a block on into a later block
    // leaves one block with the format of the later one: a line's first
    // piece took the mark of a piece that continues a line, and the line
    // break before it was lost from the text though it still showed. The
    // block that starts where the selection started keeps that start's
    // mark; it is set back once the edit is over.
    if (nRemoved <= 0 || nPosition != m_nSelectionStart)
        return;
    const QTextBlock block = document()->findBlock(nPosition);
    if (block.position() != nPosition || IsContinuation(block) == m_bSelectionStartContinues)
        return;
    m_fixCursor = QTextCursor(document());
    m_fixCursor.setPosition(nPosition);
    m_bFixContinues = m_bSelectionStartContinues;
    m_nSelectionStart = -1;
    QMetaObject::invokeMethod(this, [this] { ApplyPendingFix(); }, Qt::QueuedConnection);
}

void CMidwireEdit::ApplyPendingFix()
{
    QTextCursor cursor = m_fixCursor;
    m_fixCursor = QTextCursor();
    const bool bFix =
        !cursor.isNull() && cursor.atBlockStart() && IsContinuation(cursor.block()) != m_bFixContinues;
    // The text's first block never continues a line. A removal from the
    // start of the text on into a later block left it with that block's
    // mark, and the keys that go back over a join went on for ever there.
    const bool bFixFirst = IsContinuation(document()->firstBlock());
    if (!bFix && !bFixFirst)
        return;
    // One step with the edit it mends, for Undo and Redo.
    QTextCursor first(document());
    first.joinPreviousEditBlock();
    if (bFix)
        cursor.setBlockFormat(MarkedFormat(cursor.blockFormat(), m_bFixContinues));
    if (bFixFirst)
        first.setBlockFormat(MarkedFormat(first.blockFormat(), false));
    first.endEditBlock();
    m_bLengthKnown = false;
}

bool CMidwireEdit::event(QEvent* pEvent)
{
    const bool bResult = QPlainTextEdit::event(pEvent);
    ApplyPendingFix();
    return bResult;
}

bool CMidwireEdit::viewportEvent(QEvent* pEvent)
{
    // A triple click selects the line clicked, and dragging on extends the
    // selection by lines; the text control selects a block, and a long
    // line is several. Told as the control tells it: a press soon after a
    // double click, near it.
    const QEvent::Type type = pEvent->type();
    const auto* pMouse = dynamic_cast<const QMouseEvent*>(pEvent);
    bool bTripleClick = false;
    bool bShiftClickOnLines = false;
    bool bShiftClickOnWord = false;
    if (type == QEvent::MouseButtonPress && pMouse) {
        bTripleClick = pMouse->button() == Qt::LeftButton && m_doubleClickTime.isValid() &&
                       !m_doubleClickTime.hasExpired(QApplication::doubleClickInterval()) &&
                       (pMouse->position().toPoint() - m_doubleClickPoint).manhattanLength() <
                           QApplication::startDragDistance();
        m_doubleClickTime.invalidate();
        m_bSelectingLines = false;
        m_bSelectingWords = false;
        // A Shift+click extends the selection from the lines last triple
        // clicked, or else from the word last double clicked, as a drag from
        // them does.
        const bool bShiftClick =
            !bTripleClick && pMouse->button() == Qt::LeftButton && pMouse->modifiers() == Qt::ShiftModifier;
        bShiftClickOnLines = bShiftClick && m_bLinesClicked;
        bShiftClickOnWord = bShiftClick && !m_bLinesClicked && m_bWordClicked;
        m_bLinesClicked = bShiftClickOnLines || bTripleClick;
        m_bWordClicked = bShiftClickOnWord;
    }
    // A double click selects a whole word of a long line, and dragging on
    // extends the selection by whole words (see SelectWholeWord). The words,
    // or the lines of a triple click, are whole before the release hands the
    // selection to the clipboard.
    if (type == QEvent::MouseButtonRelease && m_bSelectingLines)
        SelectWholeLines();
    if (type == QEvent::MouseButtonRelease && m_bSelectingWords) {
        ExtendByWholeWords();
        m_bSelectingWords = false;
    }
    // Drops and the context menu's commands edit through the viewport.
    const bool bResult = QPlainTextEdit::viewportEvent(pEvent);
    ApplyPendingFix();
    if (type == QEvent::MouseButtonDblClick && pMouse && pMouse->button() == Qt::LeftButton) {
        m_doubleClickTime.start();
        m_doubleClickPoint = pMouse->position().toPoint();
        SelectWholeWord();
    } else if ((bTripleClick && textCursor().hasSelection()) || bShiftClickOnLines ||
               (type == QEvent::MouseMove && m_bSelectingLines && pMouse && (pMouse->buttons() & Qt::LeftButton))) {
        m_bSelectingLines = true;
        SelectWholeLines();
    } else if (bShiftClickOnWord ||
               (type == QEvent::MouseMove && m_bSelectingWords && pMouse && (pMouse->buttons() & Qt::LeftButton))) {
        m_bSelectingWords = true;
        ExtendByWholeWords();
    } else if (type == QEvent::MouseButtonRelease) {
        m_bSelectingLines = false;
    }
    return bResult;
}

void CMidwireEdit::SelectWholeLines()
{
    // The control's selection runs from a block's start to the start of the
    // block after the last one it takes (or to the end of the text).
    QTextCursor cursor = textCursor();
    QTextBlock first = document()->findBlock(cursor.selectionStart());
    while (IsContinuation(first))
        first = first.previous();
    QTextBlock last = document()->findBlock(cursor.selectionEnd());
    if (last.position() == cursor.selectionEnd() && cursor.selectionEnd() > cursor.selectionStart())
        last = last.previous();
    while (IsContinuation(last.next()))
        last = last.next();
    const int nStart = first.position();
    const int nEnd = last.next().isValid() ? last.next().position() : last.position() + last.length() - 1;
    if (nStart == cursor.selectionStart() && nEnd == cursor.selectionEnd())
        return;
    const bool bForward = cursor.anchor() <= cursor.position();
    cursor.setPosition(bForward ? nStart : nEnd);
    cursor.setPosition(bForward ? nEnd : nStart, QTextCursor::KeepAnchor);
    SelectKeepingView(cursor);
}

void CMidwireEdit::SelectKeepingView(const QTextCursor& cursor)
{
    // The view stays where the click left it: the cursor may now be far down a
    // long line.
    const int nVertical = verticalScrollBar()->value();
    const int nHorizontal = horizontalScrollBar()->value();
    setTextCursor(cursor);
    verticalScrollBar()->setValue(nVertical);
    horizontalScrollBar()->setValue(nHorizontal);
}

std::string CMidwireEdit::GetText() const
{
    // An edit made outside the widget's own events (Cut and Paste from the
    // menu) is mended before its text is read.
    const_cast<CMidwireEdit*>(this)->ApplyPendingFix();
    return TextBetween(0, std::max(document()->characterCount() - 1, 0));
}

std::string CMidwireEdit::TextBetween(int nStart, int nEnd) const
{
    // One byte per character keeps every byte of the program's 8-bit texts
    // as it is. A block's text, unlike the plain text, keeps a no-break
    // space as the byte it stands for. A character with no 8-bit form
    // (pasted typographic quotes, a euro sign) is left out, as the
    // translation to bytes leaves out every character above 127: it must
    // not reach a peer as some other byte. A pasted NUL character is left
    // out too: in the program's zero-terminated texts it would end the text,
    // and everything after it would be lost from what is sent, saved or
    // coded.
    std::string strText;
    strText.reserve(static_cast<std::size_t>(std::max(nEnd - nStart, 0)));
    for (QTextBlock block = document()->findBlock(nStart); block.isValid() && block.position() <= nEnd;
         block = block.next()) {
        const int nBlockStart = block.position();
        if (nBlockStart > nStart && !IsContinuation(block))
            strText.push_back('\n');
        const QString text = block.text();
        const qsizetype nTo = std::min<qsizetype>(nEnd - nBlockStart, text.size());
        for (qsizetype i = std::max(nStart - nBlockStart, 0); i < nTo; ++i) {
            const char16_t u = text[i].unicode();
            if (u == 0)
                continue;
            if (u <= 0xFF)
                strText.push_back(static_cast<char>(u));
            else if (u == QChar::ParagraphSeparator || u == QChar::LineSeparator)
                strText.push_back('\n');
        }
    }
    return strText;
}

void CMidwireEdit::InsertInPieces(QTextCursor& cursor, const QString& text)
{
    // Data without line breaks makes one line of megabytes, and the text
    // document lays a whole block out again after each change in it: every
    // typed character went over the whole line. A long line is held as
    // blocks of a few thousand characters, joined again wherever the text
    // is read, so that typing lays out one piece.
    qsizetype nLineStart = 0;
    for (;;) {
        qsizetype nLineEnd = text.indexOf(QLatin1Char('\n'), nLineStart);
        if (nLineEnd < 0)
            nLineEnd = text.size();
        for (qsizetype nFrom = nLineStart;;) {
            const qsizetype nTo = PieceEnd(text, nFrom, nLineEnd);
            cursor.insertText(text.sliced(nFrom, nTo - nFrom));
            if (nTo >= nLineEnd)
                break;
            cursor.insertBlock(ContinuationFormat());
            nFrom = nTo;
        }
        if (nLineEnd >= text.size())
            break;
        cursor.insertBlock(QTextBlockFormat());
        nLineStart = nLineEnd + 1;
    }
}

int CMidwireEdit::OutOfWordAtJoin(int nPosition, bool bForward) const
{
    LinePlace place(document(), nPosition);
    CharClass kind = CharClass::Space;
    if (!place.InWordAtJoin(kind))
        return nPosition;
    if (bForward) {
        place.SkipForward(kind);
        place.ToEarlierPiece();
    } else {
        place.SkipBack(kind);
        place.ToLaterPiece();
    }
    return place.Position();
}

void CMidwireEdit::SelectWholeWord()
{
    // The control selects the word clicked within its block; a word of a
    // long line runs on over the join into the next piece.
    QTextCursor cursor = textCursor();
    m_bSelectingWords = cursor.hasSelection();
    m_bWordClicked = m_bSelectingWords;
    if (!m_bSelectingWords)
        return;
    m_nWordStart = OutOfWordAtJoin(cursor.selectionStart(), false);
    m_nWordEnd = OutOfWordAtJoin(cursor.selectionEnd(), true);
    if (m_nWordStart == cursor.anchor() && m_nWordEnd == cursor.position())
        return;
    cursor.setPosition(m_nWordStart);
    cursor.setPosition(m_nWordEnd, QTextCursor::KeepAnchor);
    SelectKeepingView(cursor);
    // The control gave the part it selected to the selection clipboard,
    // where a middle click pastes from; the whole word replaces it.
    QClipboard* pClipboard = QGuiApplication::clipboard();
    if (pClipboard->supportsSelection())
        pClipboard->setMimeData(createMimeDataFromSelection(), QClipboard::Selection);
}

void CMidwireEdit::ExtendByWholeWords()
{
    // The control extends the selection from the part of the double
    // clicked word within its block, and to a word's end within the block
    // under the pointer: the selection keeps the whole word clicked, and its
    // moving end does not stop inside a word at a join.
    QTextCursor cursor = textCursor();
    const int nPosition = cursor.position();
    int nAnchor = m_nWordStart;
    int nTo = m_nWordEnd;
    if (nPosition > m_nWordEnd) {
        nTo = OutOfWordAtJoin(nPosition, true);
    } else if (nPosition < m_nWordStart) {
        nAnchor = m_nWordEnd;
        nTo = OutOfWordAtJoin(nPosition, false);
    }
    if (cursor.anchor() == nAnchor && nPosition == nTo)
        return;
    cursor.setPosition(nAnchor);
    cursor.setPosition(nTo, QTextCursor::KeepAnchor);
    SelectKeepingView(cursor);
}

void CMidwireEdit::timerEvent(QTimerEvent* pEvent)
{
    // The control goes on extending a selection while the pointer is held
    // outside the pane, on a timer, by its blocks and its words.
    QPlainTextEdit::timerEvent(pEvent);
    if (m_bSelectingLines)
        SelectWholeLines();
    else if (m_bSelectingWords)
        ExtendByWholeWords();
}

bool CMidwireEdit::WordKeyOverJoins(QKeyEvent* pEvent)
{
    // The control's word steps, and its word deletions, end at the end of
    // a piece of a long line: inside a word that runs on into the next
    // piece, or at spaces that do. In a line of pieces they are taken over
    // the whole line here.
    bool bForward = true;
    bool bDelete = false;
    QTextCursor::MoveMode mode = QTextCursor::MoveAnchor;
    if (pEvent->matches(QKeySequence::MoveToNextWord)) {
    } else if (pEvent->matches(QKeySequence::MoveToPreviousWord)) {
        bForward = false;
    } else if (pEvent->matches(QKeySequence::SelectNextWord)) {
        mode = QTextCursor::KeepAnchor;
    } else if (pEvent->matches(QKeySequence::SelectPreviousWord)) {
        bForward = false;
        mode = QTextCursor::KeepAnchor;
    } else if (pEvent->matches(QKeySequence::DeleteEndOfWord)) {
        bDelete = true;
    } else if (pEvent->matches(QKeySequence::DeleteStartOfWord)) {
        bForward = false;
        bDelete = true;
    } else {
        return false;
    }
    QTextCursor cursor = textCursor();
    // A selection is deleted as the control does; a step goes from the
    // cursor's end of it.
    if (cursor.hasSelection() && bDelete)
        return false;
    const QTextBlock block = cursor.block();
    if (!IsContinuation(block) && !IsContinuation(block.next()))
        return false;
    LinePlace place(document(), cursor.position());
    // At the line's start or end the step goes over the line break, as the
    // control's does.
    QChar c;
    if (bForward ? !place.Ahead(c) : !place.Behind(c))
        return false;
    if (bForward)
        place.NextWord();
    else
        place.PreviousWord();
    if (!bDelete) {
        place.ToLaterPiece();
        cursor.setPosition(place.Position(), mode);
        setTextCursor(cursor);
        return true;
    }
    // The removal keeps the joins at its ends: it starts after a join and
    // ends before one.
    LinePlace from(document(), cursor.position());
    LinePlace& start = bForward ? from : place;
    LinePlace& end = bForward ? place : from;
    start.ToLaterPiece();
    end.ToEarlierPiece();
    QTextCursor range(document());
    range.setPosition(start.Position());
    range.setPosition(end.Position(), QTextCursor::KeepAnchor);
    m_nSelectionStart = -1;
    range.beginEditBlock();
    RemoveSelectionKeepingMark(range);
    range.endEditBlock();
    setTextCursor(range);
    return true;
}

void CMidwireEdit::keyPressEvent(QKeyEvent* pEvent)
{
    if (!isReadOnly() && WordKeyOverJoins(pEvent)) {
        ensureCursorVisible();
        return;
    }
    // Keys that move by a character or a word, and Ctrl+Backspace and
    // Ctrl+Delete, see the one line a long line's pieces make: at a join
    // the cursor first goes over it, where it took a key press of its own
    // (and the word keys took only the join).
    if (!isReadOnly()) {
        const Qt::KeyboardModifiers moving = pEvent->modifiers() & ~Qt::KeypadModifier;
        const bool bWord = moving & Qt::ControlModifier;
        const bool bShift = moving & Qt::ShiftModifier;
        const int nMoveKey = pEvent->key();
        QTextCursor cursor = textCursor();
        if ((moving & ~(Qt::ShiftModifier | Qt::ControlModifier)) == 0 && (bShift || !cursor.hasSelection())) {
            const auto mode = bShift ? QTextCursor::KeepAnchor : QTextCursor::MoveAnchor;
            const bool bBack = nMoveKey == Qt::Key_Left || (nMoveKey == Qt::Key_Backspace && bWord && !bShift);
            // A character typed in overwrite mode replaces the one after the join.
            const bool bOverwriting = overwriteMode() && !bWord && !cursor.hasSelection() && !pEvent->text().isEmpty() &&
                                      pEvent->text().at(0).isPrint();
            const bool bForward =
                nMoveKey == Qt::Key_Right || (nMoveKey == Qt::Key_Delete && bWord && !bShift) || bOverwriting;
            if (bBack && cursor.atBlockStart() && IsContinuation(cursor.block())) {
                while (cursor.atBlockStart() && IsContinuation(cursor.block()) &&
                       cursor.movePosition(QTextCursor::PreviousCharacter, mode)) {
                }
                setTextCursor(cursor);
            } else if (bForward && cursor.atBlockEnd() && IsContinuation(cursor.block().next())) {
                while (cursor.atBlockEnd() && IsContinuation(cursor.block().next()))
                    cursor.movePosition(QTextCursor::NextCharacter, mode);
                setTextCursor(cursor);
            }
        }
    }
    // Delete to the end of the line (Ctrl+K on X11 desktops) takes the rest
    // of the line: the text control took the rest of the piece, and nothing
    // at a piece's end.
    if (!isReadOnly() && pEvent->matches(QKeySequence::DeleteEndOfLine) &&
        IsContinuation(textCursor().block().next())) {
        QTextCursor cursor = textCursor();
        while (IsContinuation(cursor.block().next()))
            cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor);
        cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
        m_nSelectionStart = -1;
        cursor.beginEditBlock();
        RemoveSelectionKeepingMark(cursor);
        cursor.endEditBlock();
        setTextCursor(cursor);
        ensureCursorVisible();
        return;
    }
    if (isReadOnly() || (pEvent->modifiers() & ~(Qt::KeypadModifier | Qt::ShiftModifier)) != 0) {
        QPlainTextEdit::keyPressEvent(pEvent);
        return;
    }
    QTextCursor cursor = textCursor();
    const int nKey = pEvent->key();
    // A line break typed into a piece of a long line starts a line of its
    // own: the new block does not take the piece's format.
    if ((nKey == Qt::Key_Return || nKey == Qt::Key_Enter) && !(pEvent->modifiers() & Qt::ShiftModifier)) {
        cursor.insertBlock(QTextBlockFormat(), cursor.charFormat());
        setTextCursor(cursor);
        ensureCursorVisible();
        return;
    }
    // Backspace at the start of a piece, or Delete at the end of one,
    // takes the character on the other side of the join, as it would in
    // the one line the pieces make. Shift+Backspace is a Backspace and the
    // keypad's Delete a Delete (Shift+Delete is Cut).
    const Qt::KeyboardModifiers modifiers = pEvent->modifiers() & ~Qt::KeypadModifier;
    if (!cursor.hasSelection()) {
        if (nKey == Qt::Key_Backspace && cursor.atBlockStart() && IsContinuation(cursor.block())) {
            while (cursor.atBlockStart() && IsContinuation(cursor.block()) &&
                   cursor.movePosition(QTextCursor::PreviousCharacter)) {
            }
            if (!cursor.atStart()) {
                cursor.deletePreviousChar();
                setTextCursor(cursor);
                ensureCursorVisible();
            }
            return;
        }
        if (nKey == Qt::Key_Delete && modifiers == Qt::NoModifier && cursor.atBlockEnd() &&
            IsContinuation(cursor.block().next())) {
            while (cursor.atBlockEnd() && IsContinuation(cursor.block().next()))
                cursor.movePosition(QTextCursor::NextCharacter);
            if (!cursor.atEnd()) {
                cursor.deleteChar();
                setTextCursor(cursor);
                ensureCursorVisible();
            }
            return;
        }
        // Backspace after an empty block, or Delete in one, takes the break
        // after that block away: the block left there keeps the empty
        // block's mark, as a selection removed from a block's start does
        // (without it the key took only the break between the pieces, and
        // seemed to do nothing).
        const int nAt = nKey == Qt::Key_Backspace ? cursor.position() - 1 : cursor.position();
        const QTextBlock block = document()->findBlock(nAt);
        if ((nKey == Qt::Key_Backspace || (nKey == Qt::Key_Delete && modifiers == Qt::NoModifier)) && nAt > 0 &&
            block.position() == nAt && block.blockNumber() > 0) {
            m_nSelectionStart = nAt;
            m_bSelectionStartContinues = IsContinuation(block);
            QPlainTextEdit::keyPressEvent(pEvent);
            m_nSelectionStart = -1;
            return;
        }
    }
    QPlainTextEdit::keyPressEvent(pEvent);
}

QMimeData* CMidwireEdit::createMimeDataFromSelection() const
{
    // The selection as the text it stands for: no line break where a long
    // line is cut into pieces.
    const QTextCursor cursor = textCursor();
    const std::string strText = TextBetween(cursor.selectionStart(), cursor.selectionEnd());
    auto* pData = new QMimeData;
    pData->setText(QString::fromLatin1(strText.data(), static_cast<qsizetype>(strText.size())));
    return pData;
}

void CMidwireEdit::insertFromMimeData(const QMimeData* pSource)
{
    if (isReadOnly() || !pSource || !pSource->hasText()) {
        QPlainTextEdit::insertFromMimeData(pSource);
        return;
    }
    // CR LF pairs are one line break, a lone CR becomes one, as in SetText.
    // So does a paragraph separator (text copied from some programs): the
    // text document would start a block of its own for it, taking the
    // piece's mark, and the break would be lost from the text.
    const QString text = WithLineFeeds(pSource->text());
    QTextCursor cursor = textCursor();
    cursor.beginEditBlock();
    InsertInPieces(cursor, text);
    cursor.endEditBlock();
    setTextCursor(cursor);
    ensureCursorVisible();
}

void CMidwireEdit::dropEvent(QDropEvent* pEvent)
{
    // A selection dragged within the editor is moved. The text control
    // would remove it and insert its text in one edit, which the document
    // reports as one change from the first place it touched, so a selection
    // taken from the start of a piece and dropped before that start, or at
    // it, did not keep the start's mark: a line break shown was lost from
    // the text, or one not shown was added. The move is made here instead.
    const QMimeData* pData = pEvent->mimeData();
    if (isReadOnly() || pEvent->dropAction() != Qt::MoveAction ||
        (pEvent->source() != viewport() && pEvent->source() != this) || !pData ||
        !pData->hasText() || !textCursor().hasSelection()) {
        QPlainTextEdit::dropEvent(pEvent);
        return;
    }
    const QTextCursor target = cursorForPosition(pEvent->position().toPoint());
    // Ends the drag's drop marker, as the control's own drop does.
    QDragLeaveEvent leave;
    QPlainTextEdit::dragLeaveEvent(&leave);
    MoveSelectionTo(target, pData);
    pEvent->acceptProposedAction();
}

void CMidwireEdit::RemoveSelectionKeepingMark(QTextCursor& cursor)
{
    if (!cursor.hasSelection())
        return;
    const QTextBlock startBlock = cursor.document()->findBlock(cursor.selectionStart());
    const bool bAtBlockStart = startBlock.position() == cursor.selectionStart() && startBlock.blockNumber() > 0;
    const bool bStartContinues = IsContinuation(startBlock);
    cursor.removeSelectedText();
    if (bAtBlockStart && cursor.atBlockStart() && IsContinuation(cursor.block()) != bStartContinues)
        cursor.setBlockFormat(MarkedFormat(cursor.blockFormat(), bStartContinues));
}

void CMidwireEdit::inputMethodEvent(QInputMethodEvent* pEvent)
{
    // The text control takes an input method's replacement range as
    // document positions, where each join between a line's pieces is one:
    // a range that crossed a join replaced the join instead of a character,
    // and one that crossed a line break left the block there with a later
    // block's mark. It inserts committed text so that a line break in it,
    // within a piece that continues a line, takes that piece's mark and is
    // lost from the text. Such input is taken here: the range counted in
    // characters of the text, removed as a selection is, and the committed
    // text inserted as a paste is. The control is left the preedit text.
    const QString commit = pEvent->commitString();
    const bool bBreak = commit.contains(QLatin1Char('\n')) || commit.contains(QLatin1Char('\r')) ||
                        commit.contains(QChar(QChar::ParagraphSeparator));
    // A range within one block, from a cursor without a selection, is the
    // control's to replace.
    bool bAcrossBlocks = false;
    if (pEvent->replacementStart() != 0 || pEvent->replacementLength() > 0) {
        const QTextCursor cursor = textCursor();
        const int nFrom = cursor.position() + pEvent->replacementStart();
        const QTextBlock block = cursor.block();
        bAcrossBlocks = cursor.hasSelection() || nFrom < block.position() ||
                        nFrom + pEvent->replacementLength() > block.position() + block.length() - 1;
    }
    if (isReadOnly() || (!bBreak && !bAcrossBlocks)) {
        QPlainTextEdit::inputMethodEvent(pEvent);
        return;
    }
    // The preedit text shown at the cursor gives way to the committed text.
    const QTextBlock preeditBlock = textCursor().block();
    if (!preeditBlock.layout()->preeditAreaText().isEmpty()) {
        preeditBlock.layout()->setPreeditArea(-1, QString());
        document()->markContentsDirty(preeditBlock.position(), preeditBlock.length());
    }
    m_nSelectionStart = -1;
    QTextCursor cursor = textCursor();
    cursor.beginEditBlock();
    RemoveSelectionKeepingMark(cursor);
    // The replacement range, counted in characters of the text from the
    // cursor: the joins between pieces are none.
    const int nEndOfText = std::max(document()->characterCount() - 1, 0);
    const auto joinBefore = [this](int nAt) {
        const QTextBlock block = document()->findBlock(nAt);
        return nAt > 0 && block.position() == nAt && IsContinuation(block);
    };
    // Moves a position over n characters (back when n < 0).
    const auto over = [&](int nAt, int n) {
        for (; n < 0 && nAt > 0; ++n) {
            while (joinBefore(nAt))
                --nAt;
            if (nAt > 0)
                --nAt;
        }
        for (; n > 0 && nAt < nEndOfText; --n) {
            while (nAt < nEndOfText && joinBefore(nAt + 1))
                ++nAt;
            if (nAt < nEndOfText)
                ++nAt;
        }
        return nAt;
    };
    const int nFrom = over(cursor.position(), pEvent->replacementStart());
    const int nTo = over(nFrom, pEvent->replacementLength());
    QTextCursor range(document());
    range.setPosition(nFrom);
    range.setPosition(nTo, QTextCursor::KeepAnchor);
    RemoveSelectionKeepingMark(range);
    InsertInPieces(range, WithLineFeeds(commit));
    cursor.endEditBlock();
    setTextCursor(cursor);
    // The preedit text and its attributes, as the control shows them.
    QInputMethodEvent rest(pEvent->preeditString(), pEvent->attributes());
    QPlainTextEdit::inputMethodEvent(&rest);
    ensureCursorVisible();
    pEvent->accept();
}

void CMidwireEdit::MoveSelectionTo(QTextCursor target, const QMimeData* pData)
{
    QTextCursor selection = textCursor();
    // The mark is kept here, within the step, not after the change.
    m_nSelectionStart = -1;
    target.beginEditBlock();
    RemoveSelectionKeepingMark(selection);
    // The target, taken before the removal, has followed it; one inside
    // the selection is now where the selection started.
    setTextCursor(target);
    insertFromMimeData(pData);
    target.endEditBlock();
    m_nSelectionStart = -1;
    m_bLengthKnown = false;
}

bool CMidwireEdit::SetText(const std::string& strText)
{
    m_fixCursor = QTextCursor();
    m_nSelectionStart = -1;
    // Checked before the text is widened to UTF-16 (twice its size).
    if (strText.size() > g_nMaxTextLength && FoldedLength(strText) > g_nMaxTextLength)
        return false;
    // The text document treats a carriage return as a line break of its
    // own; CR LF pairs are one line break, a lone CR becomes one.
    QString text = QString::fromLatin1(strText.data(), static_cast<qsizetype>(strText.size()));
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    // A new text is not a step that Undo takes back, as with setPlainText.
    QTextDocument* pDocument = document();
    setPlainText(QString());
    pDocument->setUndoRedoEnabled(false);
    QTextCursor cursor(pDocument);
    cursor.beginEditBlock();
    InsertInPieces(cursor, text);
    cursor.endEditBlock();
    pDocument->setUndoRedoEnabled(true);
    moveCursor(QTextCursor::Start);
    return true;
}

std::size_t CMidwireEdit::GetTextLength() const
{
    const_cast<CMidwireEdit*>(this)->ApplyPendingFix();
    if (m_bLengthKnown)
        return m_nLength;
    // The joins between a line's pieces are not characters of the text.
    std::size_t nJoins = 0;
    for (QTextBlock block = document()->firstBlock().next(); block.isValid(); block = block.next())
        nJoins += IsContinuation(block) ? 1 : 0;
    m_nLength = static_cast<std::size_t>(std::max(document()->characterCount() - 1, 0)) - nJoins;
    m_bLengthKnown = true;
    return m_nLength;
}

std::size_t CMidwireEdit::MaxTextLength()
{
    return g_nMaxTextLength;
}

void CMidwireEdit::SetMaxTextLength(std::size_t nMax)
{
    g_nMaxTextLength = std::min(nMax, kDocumentMaxLength);
}
