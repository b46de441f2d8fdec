#include "views/EventRow.h"

#include <algorithm>
#include <ctime>

#include "app/resource.h"
#include "session/HistoryEvent.h"
#include "session/MidwireDoc.h"
#include "views/DisplayTranslation.h"

EventKindRendering RenderKind(std::uint32_t kind)
{
    switch (kind) {
    case EK_SENT_TO_CLIENT: return {"Sent to:", EHostColumn::Client, 5};
    case EK_RECEIVED_FROM_CLIENT: return {"Received from:", EHostColumn::Client, 3};
    case EK_MOVED_TO_SERVER: return {"Moved to:", EHostColumn::Server, 1};
    case EK_SENT_TO_SERVER: return {"Sent to:", EHostColumn::Server, 4};
    case EK_RECEIVED_FROM_SERVER: return {"Received from:", EHostColumn::Server, 2};
    case EK_MOVED_TO_CLIENT: return {"Moved to:", EHostColumn::Client, 0};
    case EK_ERROR: return {"Error", EHostColumn::None, 6};
    case EK_WARNING: return {"Warning", EHostColumn::None, 7};
    case EK_MESSAGE: return {"Message", EHostColumn::None, 8};
    case EK_CONNECT_SERVER: return {"Connect to:", EHostColumn::Server, 9};
    case EK_DISCONNECT_SERVER: return {"Disconnect to:", EHostColumn::Server, 11};
    case EK_CONNECT_CLIENT: return {"Connect from:", EHostColumn::Client, 10};
    case EK_DISCONNECT_CLIENT: return {"Disconnect to:", EHostColumn::Client, 12};
    case EK_EDITED_TO_SERVER: return {"Edited & sent to:", EHostColumn::Server, 14};
    case EK_EDITED_TO_CLIENT: return {"Edited & sent to:", EHostColumn::Client, 13};
    case EK_PLAYBACK_SENT_TO_CLIENT: return {"Sent to:", EHostColumn::Client, 16};
    case EK_PLAYBACK_RECEIVED_FROM_CLIENT: return {"Received from:", EHostColumn::Client, 15};
    case EK_PLAYBACK_SENT_TO_SERVER: return {"Sent to:", EHostColumn::Server, 18};
    case EK_PLAYBACK_RECEIVED_FROM_SERVER: return {"Received from:", EHostColumn::Server, 17};
    case EK_PLAYBACK_START: return {"Start PlayBack", EHostColumn::None, 19};
    case EK_DGRAM_SENT: return {"Sent to:", EHostColumn::Own, 21};
    case EK_DGRAM_RECEIVED: return {"Received from:", EHostColumn::Own, 20};
    case EK_DGRAM_BIND: return {"Bind dgram socket", EHostColumn::None, 22};
    case EK_DGRAM_UNBIND: return {"Unbind dgram socket", EHostColumn::None, 23};
    case EK_DGRAM_MOVED: return {"Moved to:", EHostColumn::Own, 24};
    default: return {"Error", EHostColumn::None, 0};
    }
}

std::string EventHostText(const CMidwireDoc& doc, const HistoryEvent& event)
{
    switch (RenderKind(event.m_kind).host) {
    case EHostColumn::Client: return doc.m_strClientHost;
    case EHostColumn::Server: return doc.m_strServerHost;
    case EHostColumn::Own: return event.m_strHost;
    case EHostColumn::None: break;
    }
    return std::string();
}

std::string EventTimeText(const HistoryEvent& event)
{
    return FormatEventTime(IsKnownEventKind(event.m_kind) ? event.m_time : static_cast<std::int64_t>(std::time(nullptr)));
}

std::string EventDataText(const HistoryEvent& event, const char* pszAllocFailSuffix, std::size_t nMaxChars)
{
    if (!event.m_strText.empty())
        return event.m_strText.substr(0, nMaxChars);
    if (event.m_nLength <= 0 || !event.m_pData)
        return std::string();
    // Every byte gives at least one character, and the text of the first
    // bytes is the start of the whole text: nMaxChars bytes are enough.
    const auto nBytes = static_cast<std::int32_t>(std::min<std::size_t>(static_cast<std::size_t>(event.m_nLength), nMaxChars));
    MallocPtr<char> text = BytesToDisplayText(event.m_pData, nBytes);
    if (!text)
        return std::string(LoadStringText(IDS_ALLOC_FAILED)) + pszAllocFailSuffix;
    return std::string(text.get()).substr(0, nMaxChars);
}

EventRowText MakeEventRow(const CMidwireDoc& doc, const HistoryEvent& event)
{
    const EventKindRendering r = RenderKind(event.m_kind);
    return {r.pszLabel, EventHostText(doc, event), EventTimeText(event), EventDataText(event), r.nIcon};
}
