#include "session/HistoryEvent.h"

#include <cstdlib>
#include <cstring>

const char* EventKindLabel(std::uint32_t kind)
{
    switch (kind) {
    case EK_SENT_TO_CLIENT:
    case EK_SENT_TO_SERVER:
    case EK_PLAYBACK_SENT_TO_CLIENT:
    case EK_PLAYBACK_SENT_TO_SERVER:
    case EK_DGRAM_SENT:
        return "Sent to:";
    case EK_RECEIVED_FROM_CLIENT:
    case EK_RECEIVED_FROM_SERVER:
    case EK_PLAYBACK_RECEIVED_FROM_CLIENT:
    case EK_PLAYBACK_RECEIVED_FROM_SERVER:
    case EK_DGRAM_RECEIVED:
        return "Received from:";
    case EK_MOVED_TO_SERVER:
    case EK_MOVED_TO_CLIENT:
    case EK_DGRAM_MOVED:
        return "Moved to:";
    case EK_WARNING: return "Warning";
    case EK_MESSAGE: return "Message";
    case EK_CONNECT_SERVER: return "Connect to:";
    case EK_DISCONNECT_SERVER:
    case EK_DISCONNECT_CLIENT:
        return "Disconnect to:";
    case EK_CONNECT_CLIENT: return "Connect from:";
    case EK_EDITED_TO_SERVER:
    case EK_EDITED_TO_CLIENT:
        return "Edited & sent to:";
    case EK_PLAYBACK_START: return "Start PlayBack";
    case EK_DGRAM_BIND: return "Bind dgram socket";
    case EK_DGRAM_UNBIND: return "Unbind dgram socket";
    case EK_ERROR:
    default:
        return "Error";
    }
}

std::string FormatEventTime(std::int64_t t)
{
    const std::time_t tt = static_cast<std::time_t>(t);
    std::tm tmLocal{};
    if (!localtime_r(&tt, &tmLocal))
        return std::string();
    char buf[64];
    const size_t n = std::strftime(buf, sizeof buf, "%Y;%m;%d %H:%M:%S", &tmLocal);
    return std::string(buf, n);
}

HistoryEvent::HistoryEvent() : m_time(std::time(nullptr)), m_kind(0), m_nLength(0), m_pData(nullptr) {}

HistoryEvent::HistoryEvent(const HistoryEvent& src)
    : m_time(src.m_time), m_kind(src.m_kind), m_nLength(0), m_pData(nullptr), m_strText(src.m_strText),
      m_strHost(src.m_strHost)
{
    // A copy owns a block of its own. Should it not be had, the copy holds no
    // data at all rather than a length without a block.
    if (src.m_nLength > 0 && src.m_pData) {
        m_pData = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(src.m_nLength)));
        if (m_pData) {
            std::memcpy(m_pData, src.m_pData, static_cast<size_t>(src.m_nLength));
            m_nLength = src.m_nLength;
        }
    }
}

HistoryEvent::~HistoryEvent()
{
    std::free(m_pData);
}

void HistoryEvent::AdoptData(unsigned char* pData, std::int32_t nLength)
{
    std::free(m_pData);
    m_pData = pData;
    m_nLength = pData ? nLength : 0;
}
