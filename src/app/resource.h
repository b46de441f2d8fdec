// Resource identifiers and the string table of the program.
//
// The string table holds every message the program shows in a message box or
// records as an event text. Messages are addressed by their numeric id, and
// the numbers are part of the program's identity (the message box ids appear
// in the documentation users read), so they never change.
#pragma once

#include <string>

using UINT = unsigned int;
using BOOL = int;
#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

// Message box styles and results, as the front ends understand them.
enum : UINT {
    MB_OK = 0x0,
    MB_OKCANCEL = 0x1,
    MB_YESNO = 0x4,
    MB_ICONHAND = 0x10,
    MB_ICONQUESTION = 0x20,
    MB_ICONEXCLAMATION = 0x30,
    MB_ICONINFORMATION = 0x40,
};
enum : int { IDOK = 1, IDCANCEL = 2, IDYES = 6, IDNO = 7 };

// Document template string (resource 128).
#define IDR_MAINFRAME 128

// String table.
enum : UINT {
    IDS_CONNECT_SERVER_FAILED = 61446,   // "Error trying a connection to the host: %s port %s.\n..."
    IDS_LISTEN_FAILED = 61447,           // "Error listening for a connection in the port: %s"
    IDS_SELECT_SERVER_FAILED = 61448,
    IDS_SELECT_LISTEN_FAILED = 61449,
    IDS_ACCEPT_FAILED = 61450,
    IDS_NEW_CONNECTION_ATTEMPTED = 61451,
    IDS_ACCEPTED_CONNECTION = 61452,
    IDS_CLIENT_CLOSED = 61453,
    IDS_SERVER_CLOSED = 61454,
    IDS_ADD_COLUMN_FAILED = 61455,
    IDS_DGRAM_BIND_FAILED = 61456,
    IDS_SELECT_DGRAM_FAILED = 61457,
    IDS_CONNECTED_TO = 61464,
    IDS_SERVER_CONNECTION_CLOSED = 61465,
    IDS_CLIENT_CONNECTION_CLOSED = 61466,
    IDS_ALLOC_FAILED = 61468,
    IDS_SEND_FAILED = 61469,
    IDS_BAD_BREAK_CHAR = 61470,
    IDS_SIGNATURE = 61471,
    IDS_OPEN_FILE_FAILED = 61472,
    IDS_STOP_WAITING = 61473,
    IDS_START_PLAYBACK = 61474,
    IDS_DURING_CONNECTION = 61475,
    IDS_MKDIR_FAILED = 61476,
    IDS_WRONG_FORMAT = 61477,
    IDS_EDITOR_EMPTY = 61478,
    IDS_BYTES_SENT = 61479,
    IDS_DGRAM_BOUND = 61480,
    IDS_DGRAM_UNBOUND = 61481,
    IDS_DGRAM_BUSY = 61482,
    IDS_DGRAM_TOO_LARGE = 61483,
    IDS_DGRAM_SEND_FAILED = 61484,
    IDS_DGRAM_TRUNCATED = 61485,
    IDS_DGRAM_RECEIVE_FAILED = 61486,
    IDS_APP_TITLE = 61487,
    IDS_HISTORY_EMPTY = 61488,
    // Beyond the original table: a datagram destination name that did not
    // resolve is refused instead of becoming the broadcast address.
    IDS_DGRAM_UNKNOWN_HOST = 61489,
    // A file opened for output that could not be written whole.
    IDS_WRITE_FILE_FAILED = 61490,
    // The printer or the print file could not be opened: nothing was printed.
    IDS_PRINT_START_FAILED = 61491,
    // A datagram that came back from the bound socket itself is not moved
    // again, so that a move rule leading back to the bound port cannot loop.
    IDS_DGRAM_OWN_NOT_MOVED = 61492,
    // Print History List with Selection chosen and no row selected: nothing
    // to print, said before a job (a blank sheet, or an emptied print file).
    IDS_PRINT_NO_SELECTION = 61493,
    // The system gave no thread for a relay worker (out of processes or
    // memory): the session does not start.
    IDS_START_WORKER_FAILED = 61494,
};

// The text of a string-table entry; empty for an unknown id.
const char* LoadStringText(UINT nID);

// printf-style formatting into a std::string (the program's 8-bit texts).
std::string FormatString(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));

// A string-table message formatted with text arguments only ("%s" placeholders),
// which is how the program fills almost all of its messages.
std::string FormatMessageText(UINT nID, const std::string& a1 = std::string(),
                              const std::string& a2 = std::string());
