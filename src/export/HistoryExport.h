// Save Special: the history, or the selected rows of it, written as a text
// report, as raw bytes, or as a MIME message directory with its analysis.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "app/resource.h"

class CCommandTable;
class CMidwireDoc;
class HistoryEvent;

// The dialog that asks for the path and the options (the save-file dialog
// "Save As Special" with its options panel).
enum : UINT { IDD_SAVE_SPECIAL = 143 };

// Control ids of the options panel; the desktop dialog names its widgets
// after them so that tests can find them.
enum : UINT {
    IDC_SAVE_SELECTION_ALL = 1032,
    IDC_SAVE_SELECTION_SELECTED = 1033,
    IDC_SAVE_EVENTS_ALL = 1045,
    IDC_SAVE_EVENTS_DATA = 1044,
    IDC_SAVE_SIDE_BOTH = 1042,
    IDC_SAVE_SIDE_CLIENT = 1031,
    IDC_SAVE_SIDE_SERVER = 1041,
    IDC_SAVE_FORMAT_DIRECTION = 1035,
    IDC_SAVE_FORMAT_DATE = 1034,
    IDC_SAVE_FORMAT_HOST = 1036,
    IDC_SAVE_FORMAT_ACTION = 1037,
};

// Option values, as the options panel stores them.
enum : int {
    SAVE_SEL_ALL = 1,
    SAVE_SEL_SELECTED = 2,
    SAVE_EVENTS_DATA = 1,
    SAVE_EVENTS_ALL = 2,
    SAVE_SIDE_SERVER = 1,
    SAVE_SIDE_CLIENT = 2,
    SAVE_SIDE_BOTH = 4,
};

// What the dialog fills in. Each use of the command starts from these
// defaults; nothing is kept between two uses.
struct SaveSpecialOptions {
    std::string strPath;
    int nSelection = SAVE_SEL_ALL;
    int nEvents = SAVE_EVENTS_ALL;
    int nSide = SAVE_SIDE_BOTH;
    BOOL bDirection = TRUE;
    BOOL bDate = TRUE;
    BOOL bHost = TRUE;
    BOOL bAction = TRUE;
    // Set by the desktop command: a named pipe that no reader has open is
    // refused rather than waited for with the window hung. The command line
    // waits for its reader, as a shell redirection would.
    bool bNoWaitForReader = false;
};

// The file types of the dialog: pairs of shown name and pattern.
extern const char* const kSaveSpecialFilter;

enum class EExportForm { Text, Binary, Mime };

// The form follows the extension of the chosen name, compared exactly:
// "txt"/"TXT" text, "bin"/"BIN" binary, anything else (or none) MIME.
EExportForm ExportFormOfPath(const std::string& strPath);

// Whether the options leave an event of this kind out of the given form.
bool ExportSkipsKind(std::uint32_t kind, const SaveSpecialOptions& options, EExportForm form);

// One line of the text form (columns, text, CR LF) appended to strLine.
// nHostWidth is the W of the host column (see HostColumnWidth).
class CTextLineWriter {
public:
    CTextLineWriter(const CMidwireDoc& doc, const SaveSpecialOptions& options);
    // Appends the line; false when the data could not be translated for lack
    // of memory (the line then carries the out-of-memory text instead).
    bool AppendLine(std::string& strLine, const HistoryEvent& event);
    std::size_t GetHostWidth() const { return m_nHostWidth; }

private:
    const CMidwireDoc& m_doc;
    const SaveSpecialOptions& m_options;
    std::size_t m_nHostWidth;
    std::int64_t m_cachedTime = 0;
    std::string m_strCachedDate;  // formatted m_cachedTime with its blank
    bool m_bDateCached = false;
};

// The content of an event in the binary and MIME forms: its bytes, or its
// text and a line feed.
void AppendEventContent(std::string& strOut, const HistoryEvent& event);

// The three forms. Each reports its own failures in message boxes and
// returns FALSE when nothing (or not everything) could be written; a walk
// stopped by Cancel keeps what the form keeps and still counts as done.
BOOL SaveSpecialText(CMidwireDoc& doc, const SaveSpecialOptions& options);
BOOL SaveSpecialBinary(CMidwireDoc& doc, const SaveSpecialOptions& options);
BOOL SaveSpecialMime(CMidwireDoc& doc, const SaveSpecialOptions& options);
// The text form into an open stream (standard output for "midwire show");
// when it fails, strError says why.
BOOL WriteSpecialText(CMidwireDoc& doc, const SaveSpecialOptions& options, std::FILE* pStream,
                      std::string& strError);

// The binary form into an open stream, likewise.
BOOL WriteSpecialBinary(CMidwireDoc& doc, const SaveSpecialOptions& options, std::FILE* pStream,
                        std::string& strError);

// Runs the form that the path's extension selects.
BOOL RunSaveSpecial(CMidwireDoc& doc, const SaveSpecialOptions& options);

// The command: asks for path and options, then runs the chosen form.
void OnFileSaveSpecial(CMidwireDoc& doc);
bool CanSaveSpecial(const CMidwireDoc& doc);

void RegisterExportCommands(CCommandTable& table, CMidwireDoc& doc);
