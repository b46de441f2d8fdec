// The recorded event: one piece of data or one change of state in the history.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

// Kinds of recorded events. Each is a single bit; an event holds exactly one.
enum EventKind : std::uint32_t {
    EK_SENT_TO_CLIENT = 0x1,
    EK_RECEIVED_FROM_CLIENT = 0x2,
    EK_MOVED_TO_SERVER = 0x4,
    EK_SENT_TO_SERVER = 0x8,
    EK_RECEIVED_FROM_SERVER = 0x10,
    EK_MOVED_TO_CLIENT = 0x20,
    EK_ERROR = 0x40,
    EK_WARNING = 0x80,
    EK_MESSAGE = 0x100,
    EK_CONNECT_SERVER = 0x200,
    EK_DISCONNECT_SERVER = 0x400,
    EK_CONNECT_CLIENT = 0x800,
    EK_DISCONNECT_CLIENT = 0x1000,
    EK_EDITED_TO_SERVER = 0x2000,
    EK_EDITED_TO_CLIENT = 0x4000,
    EK_PLAYBACK_SENT_TO_CLIENT = 0x8000,
    EK_PLAYBACK_RECEIVED_FROM_CLIENT = 0x10000,
    EK_PLAYBACK_SENT_TO_SERVER = 0x20000,
    EK_PLAYBACK_RECEIVED_FROM_SERVER = 0x40000,
    EK_PLAYBACK_START = 0x80000,
    EK_DGRAM_SENT = 0x100000,
    EK_DGRAM_RECEIVED = 0x200000,
    EK_DGRAM_BIND = 0x400000,
    EK_DGRAM_UNBIND = 0x800000,
    EK_DGRAM_MOVED = 0x1000000,
};

constexpr int EVENT_KIND_COUNT = 25;

// Kind groups that the views, exports and playback rely on.
constexpr std::uint32_t EK_DATA_KINDS = 0x1 | 0x2 | 0x4 | 0x8 | 0x10 | 0x20 | 0x2000 | 0x4000 | 0x8000 |
                                        0x10000 | 0x20000 | 0x40000 | 0x100000 | 0x200000 | 0x1000000;
constexpr std::uint32_t EK_CLIENT_KINDS = 0x1 | 0x2 | 0x20 | 0x800 | 0x1000 | 0x4000 | 0x8000 | 0x10000;
constexpr std::uint32_t EK_SERVER_KINDS = 0x4 | 0x8 | 0x10 | 0x200 | 0x400 | 0x2000 | 0x20000 | 0x40000;
constexpr std::uint32_t EK_DGRAM_HOST_KINDS = 0x100000 | 0x200000 | 0x1000000;

// True when the value is one of the 25 kinds (a single known bit).
constexpr bool IsKnownEventKind(std::uint32_t kind)
{
    return kind != 0 && (kind & (kind - 1)) == 0 && kind <= EK_DGRAM_MOVED;
}

// The "Action" label of a kind; "Error" for a value outside the table.
const char* EventKindLabel(std::uint32_t kind);

// A time stamp in the history's display format, "%Y;%m;%d %H:%M:%S" in local time.
std::string FormatEventTime(std::int64_t t);

class HistoryEvent {
public:
    HistoryEvent();
    HistoryEvent(const HistoryEvent& src);
    HistoryEvent& operator=(const HistoryEvent&) = delete;
    virtual ~HistoryEvent();

    // Hands a malloc block to the event, which owns it from then on.
    void AdoptData(unsigned char* pData, std::int32_t nLength);

    std::int64_t m_time;   // seconds since 1970-01-01 UTC
    std::uint32_t m_kind;  // one EventKind value
    std::int32_t m_nLength;
    unsigned char* m_pData;  // malloc block owned by the event, or null
    std::string m_strText;   // message text; shown instead of the data when set
    std::string m_strHost;   // datagram peer host text
};
