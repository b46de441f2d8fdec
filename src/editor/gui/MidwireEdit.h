// The data editor: the plain-text lower pane of the main window.
#pragma once

#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QPoint>
#include <QString>
#include <QTextCursor>
#include <string>

class QTextBlock;
class QTextCursor;

class CMidwireEdit : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit CMidwireEdit(QWidget* pParent = nullptr);

    // The whole text as the program's 8-bit text; lines end with a line feed.
    std::string GetText() const;
    // Replaces the whole text; carriage returns before line feeds are folded
    // into the line break. False, with the editor unchanged, for a text
    // longer than MaxTextLength.
    bool SetText(const std::string& strText);
    std::size_t GetTextLength() const;

    // The most characters the editor takes: the text document fails on
    // texts of about a gigacharacter. Tests lower it to try the refusal with
    // small texts.
    static std::size_t MaxTextLength();
    static void SetMaxTextLength(std::size_t nMax);

    // The most characters a piece of a long line holds in the document.
    static constexpr int kPieceLength = 4096;
    // True when the block continues the line of the block before it.
    static bool IsContinuation(const QTextBlock& block);

protected:
    bool event(QEvent* pEvent) override;
    bool viewportEvent(QEvent* pEvent) override;
    void keyPressEvent(QKeyEvent* pEvent) override;
    QMimeData* createMimeDataFromSelection() const override;
    void insertFromMimeData(const QMimeData* pSource) override;
    void dropEvent(QDropEvent* pEvent) override;
    void inputMethodEvent(QInputMethodEvent* pEvent) override;
    void timerEvent(QTimerEvent* pEvent) override;
    // Moves the selected text to the target as one step (one Undo): the
    // selection is removed, its line break or join kept as with Cut, and
    // the text is inserted at the target as with Paste. What a drag within
    // the editor does when dropped.
    void MoveSelectionTo(QTextCursor target, const QMimeData* pData);

private:
    // Inserts the text at the cursor, its long lines cut into pieces.
    static void InsertInPieces(QTextCursor& cursor, const QString& text);
    // Removes the cursor's selection; the block left where it started keeps
    // the mark of that start.
    static void RemoveSelectionKeepingMark(QTextCursor& cursor);
    // The 8-bit text of the document's characters from nStart to nEnd, with
    // a line feed for each line break and nothing between a line's pieces.
    std::string TextBetween(int nStart, int nEnd) const;
    // Keep the line break before a selection removed from the start of a
    // block (see NoteRemovalAtBlockStart).
    void RememberSelectionStart();
    void NoteRemovalAtBlockStart(int nPosition, int nRemoved);
    void ApplyPendingFix();
    // Widens the selection to whole lines: the line selection of a triple
    // click.
    void SelectWholeLines();
    // Sets the selection of a click, the view left where it is.
    void SelectKeepingView(const QTextCursor& cursor);
    // The word keys (Ctrl with Left, Right, Backspace or Delete) in a long
    // line held in pieces, taken over the whole line; false when the control
    // is to take the key.
    bool WordKeyOverJoins(QKeyEvent* pEvent);
    // The position moved out of a word that a join between pieces splits
    // there: on to the word's end, or back to its start.
    int OutOfWordAtJoin(int nPosition, bool bForward) const;
    // Widens the control's double click selection to the whole word, and
    // keeps a drag from there extending by whole words.
    void SelectWholeWord();
    void ExtendByWholeWords();

    // The text's length, counted once after each change: the command
    // states ask for it many times a second, and counting goes over every
    // block.
    mutable std::size_t m_nLength = 0;
    mutable bool m_bLengthKnown = false;

    // Where the selection starts when that is the start of a block other
    // than the first (-1 otherwise), and whether that block continues a line.
    int m_nSelectionStart = -1;
    bool m_bSelectionStartContinues = false;
    // A block whose mark an edit changed, and the mark it is to have.
    QTextCursor m_fixCursor;
    bool m_bFixContinues = false;

    // The last double click, for telling a triple click; whether a triple
    // click is selecting lines while its button is held, and whether a
    // Shift+click extends from the lines it selected.
    QElapsedTimer m_doubleClickTime;
    QPoint m_doubleClickPoint;
    bool m_bSelectingLines = false;
    bool m_bLinesClicked = false;
    // Whether a double click is selecting words while its button is held,
    // whether a Shift+click extends from the word it selected, and that
    // word.
    bool m_bSelectingWords = false;
    bool m_bWordClicked = false;
    int m_nWordStart = 0;
    int m_nWordEnd = 0;
};
