// Printing through Qt: a print device over a printer or a PDF writer, and the
// print commands of the desktop program.
#pragma once

#include <QFont>
#include <QPainter>
#include <QPrintDialog>
#include <QString>
#include <memory>

#include "session/FileReplacement.h"
#include "views/Print.h"

class CCommandTable;
class CMidwireDoc;
class CBrokenPipeGuard;
class CPrintFileOutput;
class QPagedPaintDevice;
class QPdfWriter;
class QPrinter;
class QWidget;

// The font of printouts: the fixed-pitch system font at 10 points, so that
// the W characters a line computed from the average width fill the line.
QFont PrintFont();

class CPainterPrintDevice : public CPrintDevice {
public:
    // The device is a QPrinter or a QPdfWriter; it outlives this object.
    explicit CPainterPrintDevice(QPagedPaintDevice* pDevice, QPrinter* pPrinter = nullptr);
    ~CPainterPrintDevice() override;

    bool StartDoc(const std::string& strDocName) override;
    PrintMetrics GetMetrics() override;
    void StartPage() override;
    void EndPage() override;
    bool EndDoc() override;
    void AbortDoc() override;
    void TextOut(int x, int y, const std::string& strText) override;
    void LocalTextOut(int x, int y, const std::string& strText) override;

private:
    void DrawText(int x, int y, const QString& text);

    // A printer that prints to a file writes beside it; the printout
    // replaces the file once it is whole. False, after a message, when the
    // file could not be written whole.
    bool CommitOutput(bool bWhole);

    QPagedPaintDevice* m_pDevice;
    QPrinter* m_pPrinter;
    std::unique_ptr<CFileReplacement> m_pOutput;
    // A print to a file draws through a PDF writer of its own into an
    // output that keeps the first write that failed (a full disk), which
    // the printer would pass over. The writer goes before its output.
    std::unique_ptr<CPrintFileOutput> m_pFile;
    std::unique_ptr<QPdfWriter> m_pWriter;
    // A pipe whose reader goes away fails the print instead of ending the
    // program.
    std::unique_ptr<CBrokenPipeGuard> m_pPipeGuard;
    QString m_strOutput;  // the file the user chose
    QPainter m_painter;
    QFont m_font;
    int m_nAscent = 0;
    bool m_bPageEnded = false;   // a page was ended and no new one begun yet
    bool m_bPageStarted = false;  // StartPage came after the ended page
};

// The print dialog of Print History List (bSelection: with the Selection
// choice) and Print from Editor. Both print the whole job, so no page range
// is offered: the printing library enables its page choices for printers
// that could pick pages themselves, and a range chosen there was ignored
// (a print to a file had every page). They stay disabled whatever printer
// is chosen.
class CPrintJobDialog : public QPrintDialog {
public:
    CPrintJobDialog(QPrinter* pPrinter, QWidget* pOwner, bool bSelection);
    void setVisible(bool bVisible) override;

protected:
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override;

private:
    void DisablePageChoices();
};

// Print History List, Print from Editor and Print Setup, with the main
// window as the owner of their dialogs and the printer kept for the session.
void RegisterPrintCommands(CCommandTable& table, CMidwireDoc& doc, QWidget* pOwner, QPrinter* pPrinter);

// midwire print FILE.mwx OUT.pdf
int CmdPrint(int argc, char** argv);
