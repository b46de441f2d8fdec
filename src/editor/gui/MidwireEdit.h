// The data editor: the plain-text lower pane of the main window.
#pragma once

#include <QPlainTextEdit>
#include <string>

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
};
