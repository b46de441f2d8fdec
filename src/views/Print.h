// Printing of the history and of the data editor as plain text.
//
// The layout is done here, in printer units, against a small device
// interface: the desktop prints through Qt's printer or PDF writer, the tests
// through a recording device. Pages carry the job title at the top and the
// page number at the bottom; text blocks are cut every W characters, W being
// the printable width less two inches in average characters.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class CMidwireDoc;
class HistoryEvent;

// What the layout needs to know about a printer: its resolution, page size
// in printer units and the metrics of the font it prints with.
struct PrintMetrics {
    int nLogPixelsX = 0;  // printer units per inch, across
    int nLogPixelsY = 0;  // printer units per inch, down
    int nHorzRes = 0;     // printable width
    int nVertRes = 0;     // printable height
    int nLineHeight = 0;  // height of one text line
    int nAveCharWidth = 0;
};

class CPrintDevice {
public:
    virtual ~CPrintDevice() = default;
    // Starts the job under the given document name; false when the printer
    // cannot be used.
    virtual bool StartDoc(const std::string& strDocName) = 0;
    virtual PrintMetrics GetMetrics() = 0;
    virtual void StartPage() = 0;
    virtual void EndPage() = 0;
    // Ends the job; false when its output could not be put out whole (a
    // print file that could not be written), which the device has reported.
    virtual bool EndDoc() = 0;
    // Abandons the job after Cancel: what was drawn must not come out as a
    // finished document. Devices that cannot take a job back just end it.
    virtual void AbortDoc() { EndDoc(); }
    // Draws text with its top-left corner at (x, y).
    virtual void TextOut(int x, int y, const std::string& strText) = 0;
    // Draws text in the local encoding (UTF-8) rather than 8-bit data text:
    // host names as typed and the session's file name.
    virtual void LocalTextOut(int x, int y, const std::string& strText) { TextOut(x, y, strText); }
    // Draws the job title, whose document name is a file name in the local
    // encoding rather than 8-bit data text.
    virtual void TitleOut(int x, int y, const std::string& strTitle) { LocalTextOut(x, y, strTitle); }
};

// The page geometry of one job.
struct PageGeometry {
    int x0, y0;          // left and top margins
    int nBottom;         // lines below this start a new page
    int h;               // line height
    int nCharsPerLine;   // W, at least 1
    int nTitleX, nTitleY;
    int nPageNoX, nPageNoY;
};
PageGeometry ComputePageGeometry(const PrintMetrics& m, const std::string& strJobTitle);

// Lays text blocks out on pages: cuts them every W characters, breaks pages
// below the bottom limit and numbers them.
class CPageWriter {
public:
    CPageWriter(CPrintDevice& device, const PageGeometry& geometry, std::string strJobTitle);

    // Prints one block at the current line and advances by nAdvanceLines
    // lines after its last piece. A block of local text (an event header,
    // which holds a host name) is drawn as such instead of as 8-bit data.
    void PrintBlock(const std::string& strBlock, int nAdvanceLines = 1, bool bLocalText = false);
    // Ends the job: the last page gets its title and number only when
    // something was printed on it. A cancelled job is abandoned instead.
    // False when the job was cancelled or its output is not whole.
    bool Finish();

    int GetPageCount() const { return m_nPage; }
    bool IsCancelled() const { return m_bCancelled; }
    // Called after every piece printed (the progress window moves and is
    // serviced); false means Cancel was pressed and nothing more is printed.
    std::function<bool()> m_onPiece;

private:
    void PrintPiece(const std::string& strPiece, bool bLocalText);
    void BreakPage();
    void Footer(int nPage);

    CPrintDevice& m_device;
    PageGeometry m_geo;
    std::string m_strTitle;
    int m_y;
    int m_nPage = 0;
    bool m_bCancelled = false;
};

// "Midwire - " and the session's name.
std::string PrintJobTitle(const CMidwireDoc& doc);

// The printed label and host of an event, shared by the printout and the
// text export. The label may be empty.
const char* PrintedKindLabel(std::uint32_t kind);
std::string PrintedHostText(const CMidwireDoc& doc, const HistoryEvent& event);
// The header line of an event in a printout: time, label and host.
std::string PrintedHeader(const CMidwireDoc& doc, const HistoryEvent& event);

// Print History List after the print dialog: every event of the history, or
// the given events (the selected rows, in row order) when bSelection is set.
// Returns false when nothing was printed (an empty history), the job was
// cancelled in its progress window or its output could not be written.
bool PrintHistoryList(CPrintDevice& device, CMidwireDoc& doc, bool bSelection,
                      const std::vector<HistoryEvent*>& selection);

// Print from Editor after the print dialog: the editor text line by line.
// Returns false when the editor is empty, the job was cancelled or its output
// could not be written.
bool PrintEditorText(CPrintDevice& device, CMidwireDoc& doc, const std::string& strText);
