// The datagram relay: a bound UDP port whose datagrams are recorded and
// forwarded by two move rules, and the Send commands that send the data
// editor's content as a datagram.
//
// Everything runs on the window thread. Arrivals are announced by a socket
// notifier on the bound socket (the datagram notification), which calls
// OnDatagramEvent; there is no worker thread.
#pragma once

#include <cstdint>

#include "app/resource.h"

class CCommandTable;
class CMidwireDoc;

// Dialogs of the datagram relay (CFrontEnd::DoModal ids). Each binds
// directly to the document's members and writes them back only on OK.
enum : UINT {
    IDD_BIND = 149,              // "Bind": port and the two move rules
    IDD_SEND = 150,              // "Send": destination of Send...
    IDD_DATAGRAM_OPTIONS = 151,  // "Datagram Options": Quiet, Verbose, Visible Scroll, Resolve
};

// Size of the receive buffer: the largest datagram recorded whole.
constexpr int DGRAM_BUFFER_SIZE = 0xFFFF;
// Size of the sender-name buffer, terminating NUL included.
constexpr int DGRAM_NAME_SIZE = 1024;

// Event codes of the datagram notification; only readable data is handled.
enum : int {
    DGRAM_FD_READ = 0x01,
    DGRAM_FD_WRITE = 0x02,
};

// Start (32809): Bind dialog, resolve the rules, bind and register the
// socket, record the bind event.
void OnDatagramStart(CMidwireDoc& doc);
// Stop (32810): switch the notification off, close the socket, record the
// unbind event.
void OnDatagramStop(CMidwireDoc& doc);
// Datagram Options (32811).
void OnDatagramOptions(CMidwireDoc& doc);
// Send (32812): the editor's text to the stored destination.
void OnDatagramSend(CMidwireDoc& doc);
// Send... (32813): the Send dialog, then the editor's text to its destination.
void OnDatagramSendTo(CMidwireDoc& doc);

// The handler of the datagram notification: drains every datagram waiting on
// the bound socket, records each and moves it by the two rules.
void OnDatagramEvent(CMidwireDoc& doc, int nEvent = DGRAM_FD_READ);

// Whether the bound socket is registered for notifications.
bool IsDatagramNotifierActive();
// Datagrams taken off the bound socket since the last Start (truncated ones
// included); lets a caller end after a given number.
std::uint64_t GetDatagramReceivedCount();

// Enable rules of the five commands.
bool CanDatagramSend(const CMidwireDoc& doc);
bool CanDatagramSendTo(const CMidwireDoc& doc);
bool CanDatagramStart(const CMidwireDoc& doc);
bool CanDatagramStop(const CMidwireDoc& doc);
bool CanDatagramOptions(const CMidwireDoc& doc);

void RegisterDatagramCommands(CCommandTable& table, CMidwireDoc& doc);
