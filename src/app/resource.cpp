#include "app/resource.h"

#include <cstdarg>
#include <cstdio>

const char* LoadStringText(UINT nID)
{
    switch (nID) {
    case IDR_MAINFRAME:
        return "Midwire\n\nMidwir\nMidwir Files (*.mwx)\n.MWX\nMidwire.Document\nMidwir Document";
    case IDS_CONNECT_SERVER_FAILED:
        return "Error trying a connection to the host: %s port %s.\nConnection refused or unknow host.";
    case IDS_LISTEN_FAILED: return "Error listening for a connection in the port: %s";
    case IDS_SELECT_SERVER_FAILED: return "Error selecting a connected socket to the host: %s port %s.";
    case IDS_SELECT_LISTEN_FAILED: return "Error selecting a listening socket to the port %s.";
    case IDS_ACCEPT_FAILED: return "Error accepting a connection from port %s.\nListening has been stopped.";
    case IDS_NEW_CONNECTION_ATTEMPTED: return "New connection attempted to the port: %s from the host: %s.";
    case IDS_ACCEPTED_CONNECTION: return "Accepted connection from: %s port: %s.";
    case IDS_CLIENT_CLOSED: return "Connection close by remote client host: %s.";
    case IDS_SERVER_CLOSED: return "Connection closed by remote server host: %s.";
    case IDS_ADD_COLUMN_FAILED: return "Error adding list column.";
    case IDS_DGRAM_BIND_FAILED: return "Error binding a datagram socket in the port: %s";
    case IDS_SELECT_DGRAM_FAILED: return "Error selecting a datagram socket to the port %s.";
    case IDS_CONNECTED_TO: return "Connected to: %s port: %s.";
    case IDS_SERVER_CONNECTION_CLOSED: return "Connection to server: %s port: %s closed.";
    case IDS_CLIENT_CONNECTION_CLOSED: return "Connection to client: %s port: %s closed.";
    case IDS_ALLOC_FAILED: return "Error allocating memory.";
    case IDS_SEND_FAILED: return "Error sending to host: %s port %s.";
    case IDS_BAD_BREAK_CHAR: return "String '%s' can't be translated to a correct char.";
    case IDS_SIGNATURE: return "Midwire 1.3.3";
    case IDS_OPEN_FILE_FAILED: return "Unable to open file: %s ; %s.";
    case IDS_STOP_WAITING: return "Stop waiting before sending to: %s.";
    case IDS_START_PLAYBACK: return "Starting PlayBack as: %s.";
    case IDS_DURING_CONNECTION: return "Unable to perform the command during a connection.";
    case IDS_MKDIR_FAILED: return "Unable to create the directory: %s.";
    case IDS_WRONG_FORMAT: return "Wrong file format.";
    case IDS_EDITOR_EMPTY: return "Data Editor is empty.";
    case IDS_BYTES_SENT: return "Bytes sent %d on %d.";
    case IDS_DGRAM_BOUND: return "Datagram socket binded in local port: %s. ";
    case IDS_DGRAM_UNBOUND: return "Datagram socket unbinded from local port: %s. ";
    case IDS_DGRAM_BUSY: return "Unable to send the datagram. Socket busy.";
    case IDS_DGRAM_TOO_LARGE: return "The datagram is larger than the maximum supported.";
    case IDS_DGRAM_SEND_FAILED: return "Unable to send the datagram.";
    case IDS_DGRAM_TRUNCATED: return "The datagram is larger than the local buffer (%d bytes) and was truncated.";
    case IDS_DGRAM_RECEIVE_FAILED: return "Unable to receive a datagram.";
    case IDS_APP_TITLE: return "Midwire";
    case IDS_HISTORY_EMPTY: return "History List is empty.";
    case IDS_DGRAM_UNKNOWN_HOST: return "Unable to send the datagram. Unknown host.";
    case IDS_WRITE_FILE_FAILED: return "Unable to write file: %s.";
    case IDS_PRINT_START_FAILED: return "Could not start print job.";
    case IDS_DGRAM_OWN_NOT_MOVED: return "The datagram came from the bound socket itself and was not moved again.";
    case IDS_PRINT_NO_SELECTION: return "No row of the History List is selected.";
    case IDS_START_WORKER_FAILED: return "Unable to start a relay worker: %s.";
    default: return "";
    }
}

std::string FormatString(const char* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, pszFormat, copy);
    va_end(copy);
    std::string result;
    if (n > 0) {
        result.resize(static_cast<size_t>(n));
        std::vsnprintf(result.data(), result.size() + 1, pszFormat, args);
    }
    va_end(args);
    return result;
}

std::string FormatMessageText(UINT nID, const std::string& a1, const std::string& a2)
{
    // Substitute "%s" placeholders in order; other conversions are left to
    // FormatString by the callers that need numbers. "%%" stays a percent sign.
    const char* p = LoadStringText(nID);
    const std::string* args[2] = {&a1, &a2};
    int next = 0;
    std::string out;
    for (; *p; ++p) {
        if (p[0] == '%' && p[1] == 's') {
            if (next < 2)
                out += *args[next++];
            ++p;
        } else if (p[0] == '%' && p[1] == '%') {
            out += '%';
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}
