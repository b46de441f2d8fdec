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
    // into the line break.
    void SetText(const std::string& strText);
    std::size_t GetTextLength() const;
};
