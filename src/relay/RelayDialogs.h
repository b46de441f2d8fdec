// The relay's dialogs as the session sees them: their ids, the data they
// edit, their enable rules, and what their OK applies. The desktop program
// shows them with widgets (relay/gui); the command line and the tests answer
// them through the headless front end.
#pragma once

#include <string>

#include "app/resource.h"

class CMidwireDoc;

// Dialog ids (CFrontEnd::DoModal).
enum : UINT {
    IDD_CONNECT = 130,             // "Connect"; pData: CConnectDlgData*
    IDD_WAIT_ACCEPT = 131,         // "Waiting for connection accept"; pData: CMidwireDoc*
    IDD_CONNECTION_OPTIONS = 141,  // "Connection Options"; pData: CConnectionOptionsData*
};

// Longest server host text the Connect dialog takes, and the longest break
// character text of the Connection Options.
constexpr int CONNECT_HOST_MAX = 1024;
constexpr int BREAK_CHAR_TEXT_MAX = 20;

// --- Connect dialog ---

struct CConnectDlgData {
    BOOL m_bAcceptConnections = FALSE;
    std::string m_strListenPort;
    BOOL m_bHoldClientData = FALSE;
    BOOL m_bKeepAlive = FALSE;
    BOOL m_bConnectToHost = FALSE;
    std::string m_strServerHost;
    std::string m_strServerPort;
    BOOL m_bHoldServerData = FALSE;

    void LoadFrom(const CMidwireDoc& doc);
    void StoreTo(CMidwireDoc& doc) const;
};

// Which controls are enabled for the two heading check boxes.
struct CConnectEnableState {
    bool bServerHost, bServerPort;       // "Host:" and its "Port:"
    bool bListenPort, bKeepAlive;        // the listening "Port:", "Keep alive after disconnect"
    bool bHoldClient, bHoldServer;       // the two "Wait before sending"
    bool bConnect;                       // the "Connect" button
};
CConnectEnableState ConnectEnableRules(BOOL bAcceptConnections, BOOL bConnectToHost);

// --- Connection Options dialog ---

struct CConnectionOptionsData {
    BOOL m_bUseBreakChar = TRUE;
    std::string m_strBreakChar;          // thread break character, display form
    int m_nServerWaitRetries = 0;        // "Client wait retry times:"
    int m_nClientWaitRetries = 0;        // "Server wait retry times:"
    int m_nServerTimeWait = 0;           // "Client time wait:"
    int m_nClientTimeWait = 0;           // "Server time wait:"
    std::string m_strDisplayBreak;       // translation break character, display form
    int m_nMaxLineLength = 0;
    BOOL m_bKeepBreaks = FALSE;
    BOOL m_bQuiet = FALSE;
    BOOL m_bVerbose = FALSE;
    BOOL m_bVisibleScroll = TRUE;

    // Fills the fields as the dialog opens: the break characters in their
    // display form under the current translation settings.
    void LoadFrom(const CMidwireDoc& doc);
};

// OK of the dialog: applies the fields in the dialog's order; a break
// character text that yields no byte shows message 61470 and keeps that
// character.
void ApplyConnectionOptions(CMidwireDoc& doc, const CConnectionOptionsData& data);

// Reads an integer field the way the dialog validates it: decimal digits
// (with optional blanks and sign) giving a value from 0 to 2147483647.
bool ParseDialogInt(const std::string& strText, int& nValue);
// The dialog's prompt for a field that fails ParseDialogInt.
const char* DialogIntPrompt();

// --- "Waiting for connection accept" ---

// The dialog's behaviour, shared by the desktop window and the headless
// loop: the 100 ms timer moves a sweeping bar and, in keep-alive mode, takes
// a client that the accept handler queued. While one is up, g_pWaitAcceptDlg
// points to it, so that the accept handler can close it.
class CWaitAcceptDlg {
public:
    explicit CWaitAcceptDlg(CMidwireDoc& doc);
    virtual ~CWaitAcceptDlg();
    CWaitAcceptDlg(const CWaitAcceptDlg&) = delete;
    CWaitAcceptDlg& operator=(const CWaitAcceptDlg&) = delete;

    static constexpr int TIMER_PERIOD_MS = 100;
    // One tick of timer 1.
    void OnTimer();
    // Closes the dialog with IDOK or IDCANCEL.
    virtual void EndDialog(int nResult) = 0;
    // Shows the bar position (0 to 100).
    virtual void SetProgressPos(int nPos) { m_nShownPos = nPos; }

    int GetShownPos() const { return m_nShownPos; }

protected:
    CMidwireDoc& m_doc;

private:
    int m_nCounter = 0;
    int m_nShownPos = 0;
};

extern CWaitAcceptDlg* g_pWaitAcceptDlg;

// The dialog without a window: runs an event loop with the 100 ms timer until
// the accept handler, the timer or a Cancel (EndDialog on g_pWaitAcceptDlg,
// for instance from a signal handler) ends it. Returns IDOK or IDCANCEL.
int RunHeadlessWaitAccept(CMidwireDoc& doc);
