// How one history event is shown as a row: label, host, time, data, icon.
#pragma once

#include <cstdint>
#include <string>

class CMidwireDoc;
class HistoryEvent;

enum class EHostColumn { None, Client, Server, Own };

struct EventKindRendering {
    const char* pszLabel;
    EHostColumn host;
    int nIcon;
};

// Label, host column and icon index of a kind; unknown kinds render as
// "Error" with no host and icon 0.
EventKindRendering RenderKind(std::uint32_t kind);

// The host column text of an event, read from the session when called.
std::string EventHostText(const CMidwireDoc& doc, const HistoryEvent& event);
// The time column: the event's time, or the current time for an unknown kind.
std::string EventTimeText(const HistoryEvent& event);
// The data column: the text when set, else the translated bytes; the
// out-of-memory text with the given suffix when the translation fails. With
// nMaxChars, only the first nMaxChars characters of that text: a large
// event's bytes are then translated only as far as those need.
std::string EventDataText(const HistoryEvent& event, const char* pszAllocFailSuffix = " 1",
                          std::size_t nMaxChars = std::string::npos);

// The four columns of a row.
struct EventRowText {
    std::string strAction, strHost, strTime, strData;
    int nIcon;
};
EventRowText MakeEventRow(const CMidwireDoc& doc, const HistoryEvent& event);
