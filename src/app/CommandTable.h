// The command table: every command of the program with its handler and
// enable rule. Menus, toolbar and accelerators of the desktop program and the
// tests reach commands only through it. A command without a handler is shown
// and disabled.
#pragma once

#include <functional>
#include <unordered_map>

#include "app/resource.h"

class CMidwireDoc;

// Command identifiers.
enum : UINT {
    ID_FILE_NEW = 57600,
    ID_FILE_OPEN = 57601,
    ID_FILE_SAVE = 57603,
    ID_FILE_SAVE_AS = 57604,
    ID_FILE_PRINT_SETUP = 57606,
    ID_FILE_PRINT = 57607,
    ID_FILE_MRU_FILE1 = 57616,  // to 57619
    ID_APP_ABOUT = 57664,
    ID_APP_EXIT = 57665,
    ID_EDIT_COPY = 57634,
    ID_EDIT_CUT = 57635,
    ID_EDIT_PASTE = 57637,
    ID_EDIT_UNDO = 57643,
    ID_NEXT_PANE = 57680,
    ID_PREV_PANE = 57681,
    ID_VIEW_TOOLBAR = 59392,
    ID_VIEW_STATUS_BAR = 59393,

    ID_CONNECTION_START = 32772,
    ID_CONNECTION_END = 32773,
    ID_CONNECTION_SEND_TO_CLIENT = 32774,
    ID_CONNECTION_SEND_TO_SERVER = 32775,
    ID_VIEW_RELOAD = 32778,
    ID_CONNECTION_OPTIONS = 32779,
    ID_CONNECTION_GET_FROM_CLIENT = 32780,
    ID_CONNECTION_GET_FROM_SERVER = 32781,
    ID_FILE_SAVE_SPECIAL = 32783,
    ID_CONNECTION_STOP_WAITING_SERVER = 32785,
    ID_CONNECTION_STOP_WAIT_CLIENT = 32786,
    ID_CONNECTION_START_PLAYBACK = 32792,
    ID_EDIT_ERASE_ALL = 32794,
    ID_MIME_FILE_DECODING = 32795,
    ID_MIME_FILE_ANALISYS = 32796,
    ID_FILE_LOAD_TO_EDITOR = 32797,
    ID_FILE_SAVE_FROM_EDITOR = 32798,
    ID_MIME_ANALISYS = 32800,
    ID_MIME_DECODING = 32801,
    ID_MIME_ENCODE_BASE64 = 32802,
    ID_MIME_DECODE_BASE64 = 32803,
    ID_MIME_ENCODE_QP = 32804,
    ID_MIME_DECODE_QP = 32805,
    ID_EDIT_ERASE_EDITOR = 32806,
    ID_DATAGRAM_START = 32809,
    ID_DATAGRAM_STOP = 32810,
    ID_DATAGRAM_OPTIONS = 32811,
    ID_DATAGRAM_SEND = 32812,
    ID_DATAGRAM_SEND_TO = 32813,
    ID_FILE_PRINT_EDITOR = 32815,
};

class CCommandTable {
public:
    using Handler = std::function<void()>;
    using EnableRule = std::function<bool()>;

    // Registers (or replaces) a command. Without a rule it is always enabled.
    void Register(UINT nID, Handler handler, EnableRule rule = EnableRule());
    bool Has(UINT nID) const { return m_commands.count(nID) != 0; }
    // The enable rule; false for a command without a handler.
    bool IsEnabled(UINT nID) const;
    // Runs the command when it is enabled; returns whether it ran.
    bool Run(UINT nID);
    void Clear() { m_commands.clear(); }

private:
    struct Entry {
        Handler handler;
        EnableRule rule;
    };
    std::unordered_map<UINT, Entry> m_commands;
};

// The program's one command table.
CCommandTable& GetCommandTable();

// Fills the command table with every command the core carries out, for the
// given document. Each subsystem adds its commands here.
void RegisterAllCommands(CMidwireDoc& doc);

// The commands of the session itself: New, Open, Save, Save As, Erase All,
// Reload Event List.
void RegisterSessionCommands(CCommandTable& table, CMidwireDoc& doc);

// The standard rule of commands that need no relay running.
bool IsIdle(const CMidwireDoc& doc);
