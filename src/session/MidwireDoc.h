// The session document: every setting, the connection state, the history,
// the relay queues with their locks and the workers' signals.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "app/resource.h"
#include "net/Sock.h"
#include "session/EventQueue.h"
#include "session/HistoryEvent.h"
#include "session/SyncObjects.h"

// Display translation settings, program-wide (reset by New, kept in the file).
extern int g_nMaxLineLength;
extern char g_chDisplayBreak;
extern BOOL g_bKeepBreaks;

class CMidwireDoc;
extern CMidwireDoc* g_pDoc;
// Ends and joins the relay workers of a document, set by the relay once it
// has started any. The document calls it before it frees its events, so that
// no worker an End gave up waiting for still records, queues or sends them.
extern void (*g_pfnJoinWorkers)(CMidwireDoc& doc);

class CMidwireDoc {
public:
    CMidwireDoc();
    virtual ~CMidwireDoc();
    CMidwireDoc(const CMidwireDoc&) = delete;
    CMidwireDoc& operator=(const CMidwireDoc&) = delete;

    // Connection.
    BOOL m_bConnected;
    BOOL m_bDatagramActive;
    BOOL m_bConnectToHost;
    std::string m_strServerHost;
    std::string m_strServerPort;
    BOOL m_bHoldServerData;
    BOOL m_bAcceptConnections;
    std::string m_strListenPort;
    std::string m_strDgramPort;
    std::string m_strSendPort;
    BOOL m_bHoldClientData;
    SOCKET m_hServerSocket;
    SOCKET m_hListenSocket;
    SOCKET m_hClientSocket;
    SOCKET m_hDatagramSocket;
    std::string m_strClientHost;

    // Datagram relay.
    BOOL m_bSendBroadcast;
    std::string m_strSendHost;
    std::uint32_t m_nSendAddr;
    std::uint16_t m_nSendPort;
    std::uint16_t m_nDgramPort;
    BOOL m_bMove1, m_bMove2;
    std::string m_strMoveFromHost1, m_strMoveFromHost2;
    std::uint32_t m_nMoveFromAddr1, m_nMoveFromAddr2;
    BOOL m_bMoveBroadcast1, m_bMoveBroadcast2;
    BOOL m_bMoveEveryone1, m_bMoveEveryone2;
    std::string m_strMoveToPort1, m_strMoveToPort2;
    std::uint16_t m_nMoveToPort1, m_nMoveToPort2;
    std::string m_strMoveToHost1, m_strMoveToHost2;
    std::uint32_t m_nMoveToAddr1, m_nMoveToAddr2;
    BOOL m_bResolveNames;

    // Playback.
    BOOL m_bPlayAsServer;
    BOOL m_bPlayAsClient;
    BOOL m_bServerCheckReply, m_bClientCheckReply;
    int m_nServerControlledChars, m_nClientControlledChars;
    BOOL m_bServerWaitAllResponses, m_bClientWaitAllResponses;
    BOOL m_bServerEndConnection, m_bClientEndConnection;
    BOOL m_bEraseHistory;
    BOOL m_bSavedAcceptConnections;
    BOOL m_bSavedConnectToHost;

    // Worker signals.
    CEvent m_evClientWork;
    CEvent m_evClientStop;
    CEvent m_evServerWork;
    CEvent m_evServerStop;
    std::atomic<BOOL> m_bClientWorkerDone;
    std::atomic<BOOL> m_bServerWorkerDone;

    // Options.
    BOOL m_bVisibleScroll;
    BOOL m_bVerbose;
    BOOL m_bDgramVerbose;
    BOOL m_bQuiet;
    BOOL m_bDgramQuiet;
    BOOL m_bKeepAlive;
    BOOL m_bUseBreakChar;

    // Worker buffers: bytes received from a side that do not yet end with the
    // break character.
    unsigned char* m_pServerPending;
    std::int32_t m_nServerPending;
    unsigned char* m_pClientPending;
    std::int32_t m_nClientPending;

    char m_chBreakChar;

    // The event lists, each with its own lock.
    EventQueue m_heldFromClient;
    EventQueue m_toClient;
    EventQueue m_heldFromServer;
    EventQueue m_toServer;
    EventQueue m_history;
    EventQueue m_playbackList;
    // Accepted client sockets waiting for their session (window thread only).
    std::deque<SOCKET> m_pendingAccepts;

    // Relay tuning.
    int m_nServerWaitRetries;
    int m_nClientWaitRetries;
    int m_nServerTimeWait;
    int m_nClientTimeWait;

    // Whether the playback list owns its events. It is fixed when the script
    // is built, so that changing the erase-history setting later (New resets
    // it) never makes the list free events that the history owns.
    BOOL m_bPlaybackOwnsEvents;

    // The session file this session was loaded from or saved to; empty for
    // an untitled session.
    std::string m_strPathName;

    // List operations: add at the head, take the oldest.
    void AddHeldFromClient(HistoryEvent* p) { m_heldFromClient.Add(p); }
    HistoryEvent* TakeHeldFromClient() { return m_heldFromClient.Take(); }
    void AddToClient(HistoryEvent* p) { m_toClient.Add(p); }
    HistoryEvent* TakeToClient() { return m_toClient.Take(); }
    void AddHeldFromServer(HistoryEvent* p) { m_heldFromServer.Add(p); }
    HistoryEvent* TakeHeldFromServer() { return m_heldFromServer.Take(); }
    void AddToServer(HistoryEvent* p) { m_toServer.Add(p); }
    HistoryEvent* TakeToServer() { return m_toServer.Take(); }
    void AddToHistory(HistoryEvent* p) { m_history.Add(p); }
    HistoryEvent* TakeOldestHistory() { return m_history.Take(); }
    void AddToPlayback(HistoryEvent* p) { m_playbackList.Add(p); }
    HistoryEvent* TakeFromPlayback() { return m_playbackList.Take(); }

    // The recording pattern: into the history, then into the list unless the
    // governing Quiet option is set.
    void RecordEvent(HistoryEvent* pEvent, BOOL bQuiet);
    // The order of the status events whose row is shown first, whatever
    // Quiet says: into the list, then into the history.
    void ShowThenRecord(HistoryEvent* pEvent);

    // New: resets every setting and empties history, queues, list and editor.
    BOOL OnNewDocument();
    // Erase All (32794): empties the recorded session, keeps the settings.
    void OnEraseAll();
    BOOL CanEraseAll() const { return !m_bConnected && !m_bDatagramActive && !IsWalking(); }
    // Reload Event List (32778): rebuilds the list rows from the history.
    void ReloadEventList();

    // Session file (Open and Save). Both refuse during a connection with
    // message 61475 and report every failure to the user.
    // With bStreams (the command line), a pipe, named pipe or device is read
    // as a stream, a named pipe once its writer comes, and "-" is standard
    // input; without, they are refused, since a window cannot wait for them.
    BOOL OnOpenDocument(const std::string& strPath, bool bStreams = false);
    // With bNoWait, a named pipe that no program reads is refused at once
    // rather than waited for: the File commands cannot wait without hanging
    // the window.
    BOOL OnSaveDocument(const std::string& strPath, bool bNoWait = false);
    // The session's name for the caption: the file name, or "Untitled".
    std::string GetTitle() const;

    // Whole-list walks of the history (load, save, reload, playback set-up,
    // printing, Save Special) mark themselves here; commands that change the
    // history are refused while one runs. A walk takes no lock, so workers
    // that End gave up waiting for are joined first: they still record their
    // last events (the pending piece, the disconnection).
    bool IsWalking() const { return m_nWalks > 0; }
    class CWalkGuard {
    public:
        explicit CWalkGuard(CMidwireDoc& doc) : m_doc(doc)
        {
            if (!m_doc.m_bConnected)
                m_doc.JoinWorkers();
            ++m_doc.m_nWalks;
        }
        ~CWalkGuard() { --m_doc.m_nWalks; }
        CWalkGuard(const CWalkGuard&) = delete;
        CWalkGuard& operator=(const CWalkGuard&) = delete;

    private:
        CMidwireDoc& m_doc;
    };

    // Empties the playback script, destroying its events when it owns them.
    void EmptyPlaybackList();
    // Destroys the replayed events still queued for sending, keeping the
    // order of the rest: a replayed event is recorded only as its worker
    // sends it, so one still queued belongs to no other list.
    void ReleaseUnsentReplays();

private:
    void ResetSettings();
    void FreePendingBuffers();
    // Ends and joins relay workers that End gave up waiting for, before the
    // sockets, queues and events they use are reset or freed.
    void JoinWorkers();
    // Frees every event: the history, the playback script, pending pieces;
    // empties the queues and held lists that point into the history. The
    // freed memory goes back to the system unless a load is about to refill
    // it (m_bRefilling), which then gives back what it did not reuse.
    void EmptyEventStores();
    static void GiveBackFreedMemory();
    void ResolveDatagramSettings();

    int m_nWalks = 0;
    bool m_bRefilling = false;  // set by Open around the New that precedes its load
    // Held while an event goes into the history and its row into the list:
    // the workers and the window thread record at the same time, and the
    // list must show their events in the order the history keeps them.
    std::mutex m_recordLock;
};
