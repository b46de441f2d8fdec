#include "app/gui/MenuTable.h"

#include "app/CommandTable.h"

const std::vector<MenuDef>& MainMenus()
{
    static const std::vector<MenuDef> menus = {
        {"&File",
         {{ID_FILE_NEW, "&New\tCtrl+N"},
          {ID_FILE_OPEN, "&Open...\tCtrl+O"},
          {ID_FILE_SAVE, "&Save\tCtrl+S"},
          {ID_FILE_SAVE_AS, "Save &As..."},
          {0, nullptr},
          {ID_FILE_SAVE_SPECIAL, "Save Spe&cial..."},
          {0, nullptr},
          {ID_FILE_LOAD_TO_EDITOR, "&Load to Editor..."},
          {ID_FILE_SAVE_FROM_EDITOR, "Save from &Editor..."},
          {0, nullptr},
          {ID_FILE_PRINT, "&Print History List...\tCtrl+P"},
          {ID_FILE_PRINT_EDITOR, "Print from Editor..."},
          {ID_FILE_PRINT_SETUP, "P&rint Setup..."},
          {0, nullptr},
          {ID_FILE_MRU_FILE1, "Recent File"},
          {0, nullptr},
          {ID_APP_EXIT, "E&xit"}}},
        {"&Edit",
         {{ID_EDIT_UNDO, "&Undo\tCtrl+Z"},
          {0, nullptr},
          {ID_EDIT_CUT, "Cu&t\tCtrl+X"},
          {ID_EDIT_COPY, "&Copy\tCtrl+C"},
          {ID_EDIT_PASTE, "&Paste\tCtrl+V"},
          {0, nullptr},
          {ID_EDIT_ERASE_ALL, "Erase &All"},
          {ID_EDIT_ERASE_EDITOR, "Erase &Editor"}}},
        {"&Connection",
         {{ID_CONNECTION_START, "&Start..."},
          {ID_CONNECTION_END, "&End"},
          {ID_CONNECTION_START_PLAYBACK, "Start &PlayBack..."},
          {0, nullptr},
          {ID_CONNECTION_GET_FROM_CLIENT, "&Get from Client"},
          {ID_CONNECTION_GET_FROM_SERVER, "Get &from Server"},
          {ID_CONNECTION_SEND_TO_CLIENT, "Send to &Client"},
          {ID_CONNECTION_SEND_TO_SERVER, "Send to Ser&ver"},
          {0, nullptr},
          {ID_CONNECTION_STOP_WAIT_CLIENT, "Stop Wait Client"},
          {ID_CONNECTION_STOP_WAITING_SERVER, "Stop Waiting Server"},
          {0, nullptr},
          {ID_CONNECTION_OPTIONS, "Options..."}}},
        {"&Datagram",
         {{ID_DATAGRAM_SEND, "S&end"},
          {ID_DATAGRAM_SEND_TO, "Sen&d..."},
          {0, nullptr},
          {ID_DATAGRAM_START, "&Start..."},
          {ID_DATAGRAM_STOP, "S&top"},
          {0, nullptr},
          {ID_DATAGRAM_OPTIONS, "&Options..."}}},
        {"MIME",
         {{ID_MIME_ANALISYS, "&Analisys"},
          {ID_MIME_DECODING, "De&coding"},
          {0, nullptr},
          {ID_MIME_FILE_ANALISYS, "&File Analisys..."},
          {ID_MIME_FILE_DECODING, "F&ile Decoding..."},
          {0, nullptr},
          {ID_MIME_ENCODE_BASE64, "&Encode Base64"},
          {ID_MIME_DECODE_BASE64, "&Decode Base64"},
          {0, nullptr},
          {ID_MIME_ENCODE_QP, "Encode &Quoted Printable"},
          {ID_MIME_DECODE_QP, "Decode Quoted &Printable"}}},
        {"&View",
         {{ID_VIEW_TOOLBAR, "&Toolbar"},
          {ID_VIEW_STATUS_BAR, "&Status Bar"},
          {0, nullptr},
          {ID_VIEW_RELOAD, "&Reload Event List"}}},
        {"&Help", {{ID_APP_ABOUT, "&About Midwire..."}}},
    };
    return menus;
}

const std::vector<UINT>& ToolbarButtons()
{
    static const std::vector<UINT> buttons = {
        ID_FILE_NEW, ID_FILE_OPEN, ID_FILE_SAVE, 0,
        ID_EDIT_ERASE_EDITOR, ID_FILE_LOAD_TO_EDITOR, ID_FILE_SAVE_FROM_EDITOR, 0,
        ID_EDIT_ERASE_ALL, ID_FILE_SAVE_SPECIAL, 0,
        ID_EDIT_CUT, ID_EDIT_COPY, ID_EDIT_PASTE, 0,
        ID_CONNECTION_START, ID_CONNECTION_END, ID_CONNECTION_START_PLAYBACK, 0,
        ID_CONNECTION_GET_FROM_CLIENT, ID_CONNECTION_SEND_TO_SERVER, 0,
        ID_CONNECTION_SEND_TO_CLIENT, ID_CONNECTION_GET_FROM_SERVER, 0,
        ID_CONNECTION_STOP_WAIT_CLIENT, ID_CONNECTION_STOP_WAITING_SERVER, 0,
        ID_DATAGRAM_START, ID_DATAGRAM_STOP, 0,
        ID_DATAGRAM_SEND, ID_DATAGRAM_SEND_TO, 0,
        ID_VIEW_RELOAD, 0,
        ID_FILE_PRINT, ID_APP_ABOUT,
    };
    return buttons;
}

const std::vector<AcceleratorDef>& Accelerators()
{
    static const std::vector<AcceleratorDef> accelerators = {
        {ID_FILE_NEW, "Ctrl+N"},
        {ID_FILE_OPEN, "Ctrl+O"},
        {ID_FILE_SAVE, "Ctrl+S"},
        {ID_FILE_PRINT, "Ctrl+P"},
        {ID_EDIT_UNDO, "Ctrl+Z"},
        {ID_EDIT_UNDO, "Alt+Backspace"},
        {ID_EDIT_CUT, "Ctrl+X"},
        {ID_EDIT_CUT, "Shift+Del"},
        {ID_EDIT_COPY, "Ctrl+C"},
        {ID_EDIT_COPY, "Ctrl+Ins"},
        {ID_EDIT_PASTE, "Ctrl+V"},
        {ID_EDIT_PASTE, "Shift+Ins"},
        {ID_NEXT_PANE, "F6"},
        {ID_PREV_PANE, "Shift+F6"},
    };
    return accelerators;
}

CommandPrompt GetCommandPrompt(UINT nID)
{
    switch (nID) {
    case ID_FILE_NEW: return {"Create a new document", "New"};
    case ID_FILE_OPEN: return {"Open an existing document", "Open"};
    case ID_FILE_SAVE: return {"Save the active document", "Save"};
    case ID_FILE_SAVE_AS: return {"Save the active document with a new name", "Save As"};
    case ID_FILE_SAVE_SPECIAL: return {"Save data in special way", "Save special"};
    case ID_FILE_LOAD_TO_EDITOR: return {"Load File to Editor", "Load File to Editor"};
    case ID_FILE_SAVE_FROM_EDITOR: return {"Save File from Editor", "Save File from Editor"};
    case ID_FILE_PRINT: return {"Print the History List", "Print History List"};
    case ID_FILE_PRINT_EDITOR: return {"Print from Editor...", "Print from Editor"};
    case ID_FILE_PRINT_SETUP: return {"Change the printer and printing options", "Print Setup"};
    case ID_FILE_MRU_FILE1:
    case ID_FILE_MRU_FILE1 + 1:
    case ID_FILE_MRU_FILE1 + 2:
    case ID_FILE_MRU_FILE1 + 3: return {"Open this document", ""};
    case ID_APP_EXIT: return {"Quit the application; prompts to save documents", "Exit"};
    case ID_EDIT_UNDO: return {"Undo the last action", "Undo"};
    case ID_EDIT_CUT: return {"Cut the selection and put it on the Clipboard", "Cut"};
    case ID_EDIT_COPY: return {"Copy the selection and put it on the Clipboard", "Copy"};
    case ID_EDIT_PASTE: return {"Insert Clipboard contents", "Paste"};
    case ID_EDIT_ERASE_ALL: return {"Erase All Events", "Erase All Events"};
    case ID_EDIT_ERASE_EDITOR: return {"Erase Editor Content", "Erase Editor Content"};
    case ID_CONNECTION_START: return {"Start Connection", "Start Connection"};
    case ID_CONNECTION_END: return {"End Connection", "End Connection"};
    case ID_CONNECTION_START_PLAYBACK: return {"Start PlayBack Session", "Start PlayBack Session"};
    case ID_CONNECTION_GET_FROM_CLIENT: return {"Get Data from connected Client", "Get data from client"};
    case ID_CONNECTION_GET_FROM_SERVER: return {"Get Data from connected Server", "Get data from server"};
    case ID_CONNECTION_SEND_TO_CLIENT: return {"Send Data to connected Client", "Send data to client"};
    case ID_CONNECTION_SEND_TO_SERVER: return {"Send Data to connected Server", "Send data to server"};
    case ID_CONNECTION_STOP_WAIT_CLIENT: return {"Stop Waiting for Client", "Stop Waiting for Client"};
    case ID_CONNECTION_STOP_WAITING_SERVER: return {"Stop Waiting for Server", "Stop Waiting for Server"};
    case ID_DATAGRAM_SEND: return {"Send a datagram", "Send a datagram"};
    case ID_DATAGRAM_SEND_TO: return {"Send a datagram to ...", "Send a datagram to ..."};
    case ID_DATAGRAM_START: return {"Start Datagram", "Start Datagram"};
    case ID_DATAGRAM_STOP: return {"Stop DataGram", "Stop DataGram"};
    case ID_DATAGRAM_OPTIONS: return {"DataGram Options", "DataGram Options"};
    case ID_MIME_ANALISYS: return {"MIME Data Analisys", "MIME Data Analisys"};
    case ID_MIME_DECODING: return {"MIME Data Decoding", "MIME Data Decoding"};
    case ID_MIME_FILE_ANALISYS: return {"MIME file analisys", ""};
    case ID_MIME_FILE_DECODING: return {"MIME file analisys and decoding", ""};
    case ID_MIME_ENCODE_BASE64: return {"Encode Base64", "Encode Base64"};
    case ID_MIME_DECODE_BASE64: return {"Decode Base64", "Decode Base64"};
    case ID_MIME_ENCODE_QP: return {"Encode Quoted Printable", "Encode Quoted Printable"};
    case ID_MIME_DECODE_QP: return {"Decode Quoted Printable", "Decode Quoted Printable"};
    case ID_VIEW_TOOLBAR: return {"Show or hide the toolbar", "Toggle ToolBar"};
    case ID_VIEW_STATUS_BAR: return {"Show or hide the status bar", "Toggle StatusBar"};
    case ID_VIEW_RELOAD: return {"Reload Event List View", "Reload Event List View"};
    case ID_APP_ABOUT: return {"Display program information, version number and copyright", "About"};
    case ID_NEXT_PANE: return {"Switch to the next window pane", "Next Pane"};
    case ID_PREV_PANE: return {"Switch back to the previous window pane", "Previous Pane"};
    default: return {"", ""};
    }
}
