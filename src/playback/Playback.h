// Playback: the history turned into a script that one side of a fresh
// connection replays, with the live peer's replies checked against the
// recording.
//
// Start PlayBack (window thread, no connection running) ends any playback in
// force, runs the PlayBack dialog, builds the script in m_playbackList from
// the history up to the first playback marker, switches off the side whose
// party the program replaces, records the marker and starts the connection
// of the other side. From then on only that side's worker touches the
// script: RouteReceivedData hands it each received piece (CheckPlaybackReply)
// and the worker moves the script's outgoing data into its send queue
// (PlaybackSendStep) before each send phase.
//
// Ownership. With "Erase history" on, the script's events were taken out of
// the history and the list owns them (m_bPlaybackOwnsEvents, fixed when the
// script is built): an event leaves the list either recorded (the history
// owns it again) or queued for sending (recorded by the worker when sent), or
// it is destroyed. With the setting off the list only refers to events of the
// history, and copies are recorded and sent instead.
#pragma once

#include <cstdint>
#include <string>

#include "app/resource.h"
#include "relay/Relay.h"

class CCommandTable;
class CMidwireDoc;
class HistoryEvent;

// The PlayBack dialog (CFrontEnd::DoModal; pData: CPlayBackDlgData*).
enum : UINT { IDD_PLAYBACK = 148 };

// Its controls.
enum : UINT {
    IDC_PLAY_CLIENT = 1050,
    IDC_PLAY_SERVER = 1051,
    IDC_CLIENT_CHECK_REPLY = 1052,
    IDC_SERVER_CHECK_REPLY = 1053,
    IDC_CLIENT_CONTROLLED_CHARS = 1054,
    IDC_SERVER_CONTROLLED_CHARS = 1055,
    IDC_SERVER_WAIT_ALL = 1056,
    IDC_CLIENT_WAIT_ALL = 1057,
    IDC_CLIENT_END_CONNECTION = 1058,
    IDC_SERVER_END_CONNECTION = 1059,
    IDC_ERASE_HISTORY = 1060,
};

// The texts recorded for a mismatch.
extern const char* const kWrongReplyText;       // "Wrong received message content"
extern const char* const kUnexpectedReplyText;  // "Unexpected received message"

// --- The PlayBack dialog ---

// What the dialog edits: one member per playback setting, the two sides that
// can be chosen, and the side chosen on OK.
struct CPlayBackDlgData {
    BOOL m_bClientCheckReply = FALSE;
    BOOL m_bServerCheckReply = FALSE;
    int m_nClientControlledChars = 0;
    int m_nServerControlledChars = 0;
    BOOL m_bClientWaitAllResponses = FALSE;
    BOOL m_bServerWaitAllResponses = FALSE;
    BOOL m_bClientEndConnection = FALSE;
    BOOL m_bServerEndConnection = FALSE;
    BOOL m_bEraseHistory = FALSE;

    BOOL m_bClientAvailable = FALSE;  // "Connect to host" is set: the program can replace the client
    BOOL m_bServerAvailable = FALSE;  // "Accept connections" is set: the program can replace the server
    BOOL m_bClientChosen = FALSE;
    BOOL m_bServerChosen = FALSE;

    // The settings and the two available sides from the document.
    void LoadFrom(const CMidwireDoc& doc);
    // The settings back into the document (the chosen side is not a setting).
    void StoreTo(CMidwireDoc& doc) const;
};

// The enable rules of the dialog's controls, shared by the desktop dialog and
// the tests. Ids 1050 to 1060, IDOK.
class CPlayBackDlgState {
public:
    // The dialog as it opens: no radio checked, the radios enabled by the
    // available sides, the group controls and OK disabled.
    explicit CPlayBackDlgState(CPlayBackDlgData& data);

    void OnClientRadio();
    void OnServerRadio();

    // A group's count field follows its Check Reply box in the data: after a
    // click on the box the caller reads the controls back, then asks again.
    bool IsEnabled(UINT nID) const;

private:
    CPlayBackDlgData& m_data;
    bool m_bClientRadio, m_bServerRadio;
    bool m_bClientGroup = false, m_bServerGroup = false;
};

// --- The command ---

// Start PlayBack (command 32792).
void OnStartPlayback(CMidwireDoc& doc);

// Command step 1 (also run by Start): a playback in force ends and the side it
// switched off comes back. Events that it queued and that were never sent are
// released.
void EndPlaybackMode(CMidwireDoc& doc);

// Moves or copies the history into the script, stopping at the first playback
// marker, under a progress window. Returns false when the progress window was
// cancelled: the script is then empty and the history as it was.
bool BuildPlaybackScript(CMidwireDoc& doc);

// --- What the replaying worker runs ---

// The reply check of a piece received on the replaying side (side server:
// from the server while playing back as Client; side client: from the client
// while playing back as Server). Advances the script and records what it
// finds; it neither keeps nor changes the piece's event.
void CheckPlaybackReply(CMidwireDoc& doc, ERelaySide side, HistoryEvent* pReceived);

// The replaying worker's send step: the script's next outgoing data into the
// side's send queue, up to the next recorded reply.
void PlaybackSendStep(CMidwireDoc& doc, ERelaySide side);

// Whether the script still holds data for the side to send or to check.
std::size_t CountScriptDataSteps(const CMidwireDoc& doc, ERelaySide side);
// The data a playback of the side would send or check: the pieces of the
// recording in the history, up to its first playback marker.
std::size_t CountRecordedDataSteps(const CMidwireDoc& doc, ERelaySide side);

// Installs the two hooks of the relay and registers Start PlayBack.
void InstallPlaybackHooks();
void RegisterPlaybackCommands(CCommandTable& table, CMidwireDoc& doc);
