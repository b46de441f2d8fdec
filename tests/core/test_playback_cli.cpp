// 'midwire playback' against real peers on loopback: exchanges recorded with
// 'midwire relay --save' between a small python3 client and server, then
// replayed as client against a live server and as server against a live
// client, with the exit status, the printed rows and the saved session
// checked.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "TestUtil.h"
#include "app/HeadlessFrontEnd.h"
#include "net/Sock.h"
#include "playback/Playback.h"
#include "session/MidwireDoc.h"

extern char** environ;

namespace {

using testutil::ReadFile;
using testutil::RunCommand;
using testutil::TempDir;
using testutil::WriteFile;

// A line server: prints its port, then answers every line of every client.
// answer: "ANSWER " + line; other: "OTHER " + line; double: two lines,
// "A1 " + line and "A2 " + line; silent: never answers; once: answers the
// first line as answer does, then closes.
const char* const kServerScript = R"PY(
import socket, sys, threading
mode = sys.argv[2]
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind((sys.argv[1], 0)); s.listen(16)
print(s.getsockname()[1], flush=True)
def serve(c):
    f = c.makefile("rb")
    for line in f:
        if mode == "answer": c.sendall(b"ANSWER " + line)
        elif mode == "other": c.sendall(b"OTHER " + line)
        elif mode == "double": c.sendall(b"A1 " + line); c.sendall(b"A2 " + line)
        elif mode == "once": c.sendall(b"ANSWER " + line); break
    c.close()
while True:
    c, _ = s.accept()
    threading.Thread(target=serve, args=(c,), daemon=True).start()
)PY";

// A line client: connects (retrying while nobody listens yet), sends N
// lines, each holding bytes outside the printable range, reads REPLIES
// lines after each, writes every byte it received to OUT, and closes.
const char* const kClientScript = R"PY(
import socket, sys, time
host, port, out, n, replies = sys.argv[1], int(sys.argv[2]), sys.argv[3], int(sys.argv[4]), int(sys.argv[5])
for attempt in range(100):
    try:
        c = socket.create_connection((host, port), timeout=10); break
    except OSError:
        time.sleep(0.05)
else:
    sys.exit(3)
f = c.makefile("rb")
got = b""
for i in range(n):
    c.sendall(b"line %d \x00\xff[\n" % i)
    for r in range(replies):
        got += f.readline()
c.close()
open(out, "wb").write(got)
)PY";

std::string LocalHostText()
{
    in_addr addr{htonl(SockLocalHostAddress())};
    char buf[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &addr, buf, sizeof buf);
    return buf;
}

// A loopback port that nothing listens on at the moment.
int UnusedPort()
{
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(SockLocalHostAddress());
    socklen_t len = sizeof addr;
    int nPort = 0;
    if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        nPort = ntohs(addr.sin_port);
    ::close(s);
    return nPort;
}

// A child process that is stopped when the test ends; its standard output
// can be read line by line.
class Child {
public:
    explicit Child(const std::vector<std::string>& argv)
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        std::vector<char*> args;
        for (const std::string& s : argv)
            args.push_back(const_cast<char*>(s.c_str()));
        args.push_back(nullptr);
        if (posix_spawnp(&m_pid, args[0], &actions, nullptr, args.data(), environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        m_out = ::fdopen(fds[0], "r");
    }
    ~Child()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            Wait();
        }
        if (m_out)
            std::fclose(m_out);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    std::string ReadLine()
    {
        char buf[4096];
        if (!m_out || !std::fgets(buf, sizeof buf, m_out))
            return std::string();
        std::string s(buf);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
            s.pop_back();
        return s;
    }
    std::string ReadAll()
    {
        std::string s;
        char buf[4096];
        size_t n;
        while (m_out && (n = std::fread(buf, 1, sizeof buf, m_out)) > 0)
            s.append(buf, n);
        return s;
    }
    bool Signal(int nSignal) const { return m_pid > 0 && ::kill(m_pid, nSignal) == 0; }
    // Whether the child has a handler of its own for the signal.
    bool Catches(int nSignal) const
    {
        const std::string status = ReadFile("/proc/" + std::to_string(m_pid) + "/status");
        const std::size_t nAt = status.find("SigCgt:\t");
        if (m_pid <= 0 || nAt == std::string::npos)
            return false;
        const unsigned long long nMask = std::strtoull(status.c_str() + nAt + 8, nullptr, 16);
        return (nMask >> (nSignal - 1)) & 1;
    }
    // The exit status once the child ended within the time, else -2 (it is
    // then stopped by the destructor).
    int WaitFor(std::chrono::milliseconds limit)
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (m_pid > 0 && std::chrono::steady_clock::now() < end) {
            int rc = 0;
            if (::waitpid(m_pid, &rc, WNOHANG) == m_pid) {
                m_status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
                m_pid = -1;
                return m_status;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return m_pid > 0 ? -2 : m_status;
    }
    // The exit status, or -1.
    int Wait()
    {
        if (m_pid <= 0)
            return m_status;
        int rc = 0;
        if (::waitpid(m_pid, &rc, 0) == m_pid)
            m_status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
        m_pid = -1;
        return m_status;
    }

private:
    pid_t m_pid = -1;
    std::FILE* m_out = nullptr;
    int m_status = -1;
};

struct SavedSession {
    std::vector<std::uint32_t> kinds;
    std::vector<std::string> texts;
    std::vector<std::string> data;
    BOOL bConnectToHost = FALSE;
    BOOL bAcceptConnections = FALSE;
    int Count(std::uint32_t kind) const { return static_cast<int>(std::count(kinds.begin(), kinds.end(), kind)); }
    int CountText(const std::string& s) const { return static_cast<int>(std::count(texts.begin(), texts.end(), s)); }
};

SavedSession LoadSession(const std::string& path)
{
    CHeadlessFrontEnd frontEnd;
    frontEnd.SetEcho(false);
    CMidwireDoc doc;
    doc.OnNewDocument();
    SavedSession saved;
    EXPECT_TRUE(doc.OnOpenDocument(path)) << path;
    saved.bConnectToHost = doc.m_bConnectToHost;
    saved.bAcceptConnections = doc.m_bAcceptConnections;
    for (const HistoryEvent* p : doc.m_history) {
        saved.kinds.push_back(p->m_kind);
        saved.texts.push_back(p->m_strText);
        saved.data.push_back(p->m_pData ? std::string(reinterpret_cast<const char*>(p->m_pData),
                                                      static_cast<size_t>(p->m_nLength))
                                        : std::string());
    }
    return saved;
}

// Writes a session file made by configure from a new session.
void SaveSessionFile(const std::string& path, const std::function<void(CMidwireDoc&)>& configure)
{
    CHeadlessFrontEnd frontEnd;
    frontEnd.SetEcho(false);
    CMidwireDoc doc;
    doc.OnNewDocument();
    configure(doc);
    ASSERT_TRUE(doc.OnSaveDocument(path)) << path;
}

class PlaybackCliTest : public ::testing::Test {
protected:
    PlaybackCliTest() : m_strHost(LocalHostText())
    {
        WriteFile(m_dir.Path("server.py"), kServerScript);
        WriteFile(m_dir.Path("client.py"), kClientScript);
    }

    // Starts a line server; its port in nPort.
    std::unique_ptr<Child> StartServer(const std::string& strMode, int& nPort)
    {
        auto server = std::make_unique<Child>(
            std::vector<std::string>{"python3", m_dir.Path("server.py"), m_strHost, strMode});
        nPort = std::atoi(server->ReadLine().c_str());
        return server;
    }

    std::string RunClient(int nPort, int nLines, int nReplies, int* pStatus = nullptr)
    {
        const std::string out = m_dir.Path("client-" + std::to_string(++m_nClients) + ".bin");
        Child client({"python3", m_dir.Path("client.py"), m_strHost, std::to_string(nPort), out,
                      std::to_string(nLines), std::to_string(nReplies)});
        const int nStatus = client.Wait();
        if (pStatus)
            *pStatus = nStatus;
        EXPECT_EQ(nStatus, 0);
        return ReadFile(out);
    }

    // Records a client exchanging nLines lines with a server through the
    // relay; returns the session file.
    std::string Record(int nServerPort, int nLines, int nReplies, std::string* pClientGot = nullptr)
    {
        const std::string path = m_dir.Path("recording.mwx");
        const int nListen = UnusedPort();
        Child relay({testutil::Midwire(), "relay", "--listen", std::to_string(nListen), "--connect",
                     m_strHost + ":" + std::to_string(nServerPort), "--save", path, "--client-time-wait", "20",
                     "--server-time-wait", "20"});
        const std::string got = RunClient(nListen, nLines, nReplies);
        EXPECT_EQ(relay.Wait(), 0);
        if (pClientGot)
            *pClientGot = got;
        return path;
    }

    testutil::RunResult Playback(const std::string& strArgs)
    {
        return RunCommand(testutil::Midwire() + " playback " + strArgs + " --timeout 20");
    }

    TempDir m_dir;
    std::string m_strHost;
    int m_nClients = 0;
};

int CountLines(const std::string& out, const std::string& strPrefix)
{
    int n = 0;
    std::size_t i = 0;
    while (i < out.size()) {
        const std::size_t nEnd = out.find('\n', i);
        if (out.compare(i, strPrefix.size(), strPrefix) == 0)
            ++n;
        if (nEnd == std::string::npos)
            break;
        i = nEnd + 1;
    }
    return n;
}

TEST_F(PlaybackCliTest, ReplayAsClientPassesAgainstTheSameServerAndFailsAgainstAnother)
{
    int nPort = 0;
    auto server = StartServer("answer", nPort);
    const std::string rec = Record(nPort, 3, 1);
    const SavedSession recorded = LoadSession(rec);
    ASSERT_EQ(recorded.Count(EK_MOVED_TO_SERVER), 3);
    ASSERT_EQ(recorded.Count(EK_MOVED_TO_CLIENT), 3);

    // The same server: every reply agrees, and the recorded close of the
    // server connection closes the live one.
    const std::string out = m_dir.Path("same.mwx");
    auto r = Playback(rec + " --as client --check-reply --end-connection --save " + out);
    EXPECT_EQ(r.status, 0) << r.err << r.out;
    EXPECT_EQ(r.err.find("timed out"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("did not match"), std::string::npos) << r.err;
    EXPECT_EQ(CountLines(r.out, "Start PlayBack\t"), 1) << r.out;
    EXPECT_EQ(CountLines(r.out, "Sent to:\t"), 3) << r.out;
    EXPECT_EQ(CountLines(r.out, "Received from:\t"), 3) << r.out;
    const SavedSession same = LoadSession(out);
    EXPECT_EQ(same.Count(EK_ERROR), 0);
    EXPECT_EQ(same.Count(EK_PLAYBACK_START), 1);
    EXPECT_EQ(same.Count(EK_PLAYBACK_SENT_TO_SERVER), 3);
    EXPECT_EQ(same.Count(EK_PLAYBACK_RECEIVED_FROM_SERVER), 3);
    EXPECT_EQ(same.Count(EK_MOVED_TO_SERVER), 0);  // the recording was moved into the script
    // The client side, switched off for the replay, is saved as recorded.
    EXPECT_TRUE(recorded.bConnectToHost && recorded.bAcceptConnections);
    EXPECT_TRUE(same.bConnectToHost);
    EXPECT_TRUE(same.bAcceptConnections);

    // A server that answers differently.
    int nOtherPort = 0;
    auto other = StartServer("other", nOtherPort);
    const std::string wrong = m_dir.Path("wrong.mwx");
    r = Playback(rec + " --as client --check-reply --end-connection --connect " + m_strHost + ":" +
                 std::to_string(nOtherPort) + " --save " + wrong);
    EXPECT_EQ(r.status, 1) << r.err << r.out;
    EXPECT_NE(r.err.find("playback: the peer's data did not match the recording"), std::string::npos) << r.err;
    const SavedSession bad = LoadSession(wrong);
    EXPECT_EQ(bad.CountText(kWrongReplyText), 3);

    // The same with N = 0 compares nothing, and without Check Reply nothing
    // is checked at all.
    r = Playback(rec + " --as client --check-reply --controlled-chars 0 --end-connection --connect " + m_strHost +
                 ":" + std::to_string(nOtherPort));
    EXPECT_EQ(r.status, 0) << r.err;
    r = Playback(rec + " --as client --end-connection --connect " + m_strHost + ":" + std::to_string(nOtherPort));
    EXPECT_EQ(r.status, 0) << r.err;
    // Only the first bytes, which agree ("ANSWER " against "OTHER ": none).
    r = Playback(rec + " --as client --check-reply --controlled-chars 1 --end-connection --connect " + m_strHost +
                 ":" + std::to_string(nOtherPort));
    EXPECT_EQ(r.status, 1) << r.err;
}

// A long replay whose event lines a slow reader takes, with both outputs in
// one log (2>&1): the verdict on standard error comes after the last event
// line, not somewhere among them.
TEST_F(PlaybackCliTest, VerdictFollowsTheLastEventLineInACombinedLog)
{
    int nOtherPort = 0;
    auto other = StartServer("other", nOtherPort);
    const std::string rec = m_dir.Path("long.mwx");
    SaveSessionFile(rec, [&](CMidwireDoc& doc) {
        doc.m_bConnectToHost = TRUE;
        for (int i = 0; i < 1500; ++i) {
            const std::string strLine = "line " + std::to_string(i) + "\n";
            doc.AddToHistory(testutil::MakeEvent(EK_MOVED_TO_SERVER, strLine));
            doc.AddToHistory(testutil::MakeEvent(EK_MOVED_TO_CLIENT, "ANSWER " + strLine));
        }
        doc.AddToHistory(testutil::MakeEvent(EK_DISCONNECT_SERVER, "", "closed"));
    });
    const auto r = RunCommand("{ " + testutil::Midwire() + " playback " + rec +
                              " --as client --check-reply --end-connection --timeout 60 --connect " + m_strHost +
                              ":" + std::to_string(nOtherPort) + " 2>&1; echo \"status $?\"; } | { sleep 3; cat; }");
    const std::string strVerdict = "midwire: playback: the peer's data did not match the recording\nstatus 1\n";
    ASSERT_GE(r.out.size(), strVerdict.size());
    EXPECT_EQ(r.out.substr(r.out.size() - strVerdict.size()), strVerdict) << r.out.substr(r.out.size() - 300);
    EXPECT_EQ(CountLines(r.out, "midwire:"), 1);
    EXPECT_EQ(CountLines(r.out, "Sent to:\t"), 1500);
}

TEST_F(PlaybackCliTest, RecordingThatHoldsAnEarlierPlaybackReplaysOnlyTheRecording)
{
    int nPort = 0;
    auto server = StartServer("answer", nPort);
    const std::string rec = Record(nPort, 2, 1);
    const std::string first = m_dir.Path("first.mwx");
    auto r = Playback(rec + " --as client --check-reply --end-connection --keep-history --save " + first);
    ASSERT_EQ(r.status, 0) << r.err;
    const SavedSession once = LoadSession(first);
    EXPECT_EQ(once.Count(EK_MOVED_TO_SERVER), 2);  // the recording stays
    EXPECT_EQ(once.Count(EK_PLAYBACK_START), 1);

    // Kept again: the new playback follows a second marker and sends the
    // recording's two requests, not those of the earlier playback.
    const std::string second = m_dir.Path("second.mwx");
    r = Playback(first + " --as client --check-reply --end-connection --keep-history --save " + second);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(CountLines(r.out, "Sent to:\t"), 2) << r.out;
    const SavedSession twice = LoadSession(second);
    EXPECT_EQ(twice.Count(EK_PLAYBACK_START), 2);
    EXPECT_EQ(twice.Count(EK_PLAYBACK_SENT_TO_SERVER), 4);

    // Moved: the earlier playback is dropped with its marker.
    const std::string moved = m_dir.Path("moved.mwx");
    r = Playback(second + " --as client --check-reply --end-connection --save " + moved);
    EXPECT_EQ(r.status, 0) << r.err;
    const SavedSession after = LoadSession(moved);
    EXPECT_EQ(after.Count(EK_PLAYBACK_START), 1);
    EXPECT_EQ(after.Count(EK_PLAYBACK_SENT_TO_SERVER), 2);
    EXPECT_EQ(after.Count(EK_MOVED_TO_SERVER), 0);
    EXPECT_EQ(r.err, "");

    // That session starts with its marker: replaying it sends and checks
    // nothing, which passes, but not without a word.
    r = RunCommand(testutil::Midwire() + " playback " + moved + " --as client --check-reply --timeout 1");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(CountLines(r.out, "Sent to:\t"), 0) << r.out;
    EXPECT_EQ(r.err, "midwire: playback: " + moved +
                         " holds no recorded exchange for this side before its first playback: nothing was sent or "
                         "checked\n");
}

TEST_F(PlaybackCliTest, ReplayAsServerAnswersTheClientByteForByte)
{
    int nPort = 0;
    auto server = StartServer("answer", nPort);
    std::string recordedReplies;
    const std::string rec = Record(nPort, 3, 1, &recordedReplies);
    ASSERT_NE(recordedReplies.find(std::string("ANSWER line 2 \0\xff[\n", 18)), std::string::npos);
    server.reset();  // the program stands in for it now

    const int nListen = UnusedPort();
    const std::string out = m_dir.Path("as-server.mwx");
    Child playback({testutil::Midwire(), "playback", rec, "--as", "server", "--check-reply", "--listen",
                    std::to_string(nListen), "--save", out, "--timeout", "20"});
    const std::string got = RunClient(nListen, 3, 1);
    EXPECT_EQ(got, recordedReplies);
    EXPECT_EQ(playback.Wait(), 0);
    const SavedSession saved = LoadSession(out);
    EXPECT_EQ(saved.Count(EK_PLAYBACK_SENT_TO_CLIENT), 3);
    EXPECT_EQ(saved.Count(EK_PLAYBACK_RECEIVED_FROM_CLIENT), 3);
    EXPECT_EQ(saved.Count(EK_ERROR), 0);
    EXPECT_EQ(saved.CountText("Starting PlayBack as: Server."), 1);
    EXPECT_TRUE(saved.bConnectToHost);
    EXPECT_TRUE(saved.bAcceptConnections);
}

TEST_F(PlaybackCliTest, WaitForAllResponsesWithTwoResponsesInARow)
{
    int nPort = 0;
    auto server = StartServer("double", nPort);
    const std::string rec = Record(nPort, 2, 2);
    ASSERT_EQ(LoadSession(rec).Count(EK_MOVED_TO_CLIENT), 4);

    // Each live reply meets its own recorded reply.
    auto r = Playback(rec + " --as client --check-reply --end-connection");
    EXPECT_EQ(r.status, 0) << r.err << r.out;
    EXPECT_EQ(CountLines(r.out, "Sent to:\t"), 2) << r.out;

    // One live piece meets both recorded replies (the second differs from
    // it), and the next request is then reported as unexpected.
    const std::string out = m_dir.Path("nowait.mwx");
    r = Playback(rec + " --as client --check-reply --no-wait-all-responses --end-connection --save " + out);
    EXPECT_EQ(r.status, 1) << r.err << r.out;
    const SavedSession saved = LoadSession(out);
    EXPECT_GE(saved.CountText(kWrongReplyText), 1);
    EXPECT_GE(saved.CountText(kUnexpectedReplyText), 1);
}

TEST_F(PlaybackCliTest, EndConnectionClosesWhereTheRecordingClosed)
{
    // In the recording the client closed after the third reply.
    int nPort = 0;
    auto server = StartServer("answer", nPort);
    const std::string rec = Record(nPort, 3, 1);

    // Replayed as server against a client that keeps its connection open:
    // without End connection only the time-out ends it; with it, the recorded
    // close of the client connection ends the live one.
    const int nListen = UnusedPort();
    Child playback({testutil::Midwire(), "playback", rec, "--as", "server", "--end-connection", "--listen",
                    std::to_string(nListen), "--timeout", "20"});
    // A client that sends the three lines and then waits for the close.
    const std::string script = std::string(R"PY(
import socket, sys, time
for attempt in range(100):
    try:
        c = socket.create_connection((sys.argv[1], int(sys.argv[2])), timeout=15); break
    except OSError:
        time.sleep(0.05)
f = c.makefile("rb")
for i in range(3):
    c.sendall(b"line %d \x00\xff[\n" % i)
    f.readline()
sys.exit(0 if c.recv(100) == b"" else 4)
)PY");
    WriteFile(m_dir.Path("waiting_client.py"), script);
    Child client({"python3", m_dir.Path("waiting_client.py"), m_strHost, std::to_string(nListen)});
    EXPECT_EQ(client.Wait(), 0);
    EXPECT_EQ(playback.Wait(), 0);
}

TEST_F(PlaybackCliTest, EmptyHistoryStartsTheConnectionAndSendsNothing)
{
    int nPort = 0;
    auto server = StartServer("answer", nPort);
    const std::string path = m_dir.Path("empty.mwx");
    SaveSessionFile(path, [&](CMidwireDoc& doc) {
        doc.m_bConnectToHost = TRUE;
        doc.m_strServerHost = m_strHost;
        doc.m_strServerPort = std::to_string(nPort);
    });
    const auto r = RunCommand(testutil::Midwire() + " playback " + path + " --as client --timeout 1");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(CountLines(r.out, "Start PlayBack\t"), 1) << r.out;
    EXPECT_EQ(CountLines(r.out, "Connect to:\t"), 1) << r.out;
    EXPECT_EQ(CountLines(r.out, "Sent to:\t"), 0) << r.out;
    EXPECT_NE(r.err.find("holds no recorded exchange"), std::string::npos) << r.err;
}

// A client that never reads: the recorded answer, larger than the
// connection's buffers, cannot leave before the time-out. Its piece has left
// the script, yet it did not reach the client, so the run is no success.
TEST_F(PlaybackCliTest, AnswerThatTheClientNeverTakesIsAFailure)
{
    const int nListen = UnusedPort();
    const std::string rec = m_dir.Path("big-answer.mwx");
    SaveSessionFile(rec, [&](CMidwireDoc& doc) {
        doc.m_bAcceptConnections = TRUE;
        doc.m_strListenPort = std::to_string(nListen);
        auto* pAnswer = new HistoryEvent;
        pAnswer->m_kind = EK_MOVED_TO_CLIENT;
        const std::string strAnswer(32 << 20, 'a');
        auto* pBytes = static_cast<unsigned char*>(std::malloc(strAnswer.size()));
        std::memcpy(pBytes, strAnswer.data(), strAnswer.size());
        pAnswer->AdoptData(pBytes, static_cast<std::int32_t>(strAnswer.size()));
        doc.AddToHistory(pAnswer);
    });

    const std::string out = m_dir.Path("never-read.mwx");
    Child playback({testutil::Midwire(), "playback", rec, "--as", "server", "--timeout", "1", "--save", out});
    int fd = -1;
    for (int i = 0; i < 500 && fd < 0; ++i) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(nListen));
        addr.sin_addr.s_addr = htonl(SockLocalHostAddress());
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(fd);
            fd = -1;
            ::usleep(20000);
        }
    }
    ASSERT_GE(fd, 0) << "the playback never listened";
    playback.ReadAll();  // the rows, which show the answer
    EXPECT_EQ(playback.Wait(), 1);
    ::close(fd);
    EXPECT_GE(LoadSession(out).Count(EK_ERROR), 1) << "the cut-short send is recorded";
}

// Ctrl-C while the recording is loaded, while the script is built from it or
// while the replay waits for its client: every moment before the replay runs
// ends the command at once, with the status of a playback that did not
// start. A session is saved only after the whole recording was loaded: as it
// was (the script was cancelled) or, the wait cancelled, with the recording
// back ahead of the playback's marker.
TEST_F(PlaybackCliTest, InterruptBeforeTheReplayStartsEndsTheCommand)
{
    constexpr int kEvents = 400000;
    const std::string rec = m_dir.Path("big.mwx");
    SaveSessionFile(rec, [](CMidwireDoc& doc) {
        for (int i = 0; i < kEvents; ++i) {
            auto* p = new HistoryEvent;
            p->m_kind = i % 2 ? EK_MOVED_TO_CLIENT : EK_MOVED_TO_SERVER;
            p->m_strHost = "127.0.0.1";
            p->AdoptData(static_cast<unsigned char*>(std::malloc(1)), 1);
            p->m_pData[0] = 'x';
            doc.AddToHistory(p);
        }
    });
    const std::string port = std::to_string(UnusedPort());
    int nRun = 0;
    for (const int nDelayMs : {0, 40, 120, 300, 800}) {
        SCOPED_TRACE("signal after " + std::to_string(nDelayMs) + " ms");
        const std::string saved = m_dir.Path("saved-" + std::to_string(++nRun) + ".mwx");
        Child playback({testutil::Midwire(), "playback", rec, "--as", "server", "--listen", port, "--save", saved});
        bool bCatching = false;
        for (int i = 0; i < 1000 && !(bCatching = playback.Catches(SIGINT)); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_TRUE(bCatching);
        std::this_thread::sleep_for(std::chrono::milliseconds(nDelayMs));
        ASSERT_TRUE(playback.Signal(SIGINT));
        EXPECT_EQ(playback.WaitFor(std::chrono::seconds(30)), 2);
        if (::access(saved.c_str(), F_OK) == 0) {
            const SavedSession session = LoadSession(saved);
            const bool bWhole = session.kinds.size() == static_cast<std::size_t>(kEvents);
            const bool bKept = session.kinds.size() == static_cast<std::size_t>(kEvents) + 1 &&
                               session.kinds.back() == EK_PLAYBACK_START;
            EXPECT_TRUE(bWhole || bKept) << session.kinds.size() << " events";
        }
    }
}

// A signal during the replay ends it like the time-out does: a recording
// not yet played through is a failure (a script that runs the playback under
// timeout(1) must not take a cut-short replay for a pass), while one played
// through and only waiting for the peer to close is a success.
TEST_F(PlaybackCliTest, InterruptDuringTheReplayFailsUnlessTheRecordingWasThrough)
{
    int nPort = 0;
    auto server = StartServer("answer", nPort);
    const std::string rec = Record(nPort, 2, 1);
    int nSilent = 0;
    auto silent = StartServer("silent", nSilent);

    struct Case {
        int nServer;
        const char* pszWaitFor;  // the printed line after which the signal comes
        int nLines;              // how many of them
        int nStatus;
    };
    for (const Case& c : {Case{nSilent, "Sent to:", 1, 1}, Case{nPort, "Received from:", 2, 0}}) {
        SCOPED_TRACE(c.pszWaitFor);
        Child playback({testutil::Midwire(), "playback", rec, "--as", "client", "--check-reply", "--timeout", "60",
                        "--connect", m_strHost + ":" + std::to_string(c.nServer)});
        int nSeen = 0;
        for (int i = 0; i < 50 && nSeen < c.nLines; ++i) {
            const std::string line = playback.ReadLine();
            if (line.empty())
                break;
            if (line.starts_with(c.pszWaitFor))
                ++nSeen;
        }
        ASSERT_EQ(nSeen, c.nLines);
        ASSERT_TRUE(playback.Signal(SIGINT));
        EXPECT_EQ(playback.WaitFor(std::chrono::seconds(30)), c.nStatus);
    }
}

TEST_F(PlaybackCliTest, FailuresAndTimeOut)
{
    int nPort = 0;
    auto server = StartServer("answer", nPort);
    const std::string rec = Record(nPort, 2, 1);

    // A server that never answers: the time-out comes first.
    int nSilent = 0;
    auto silent = StartServer("silent", nSilent);
    auto r = RunCommand(testutil::Midwire() + " playback " + rec + " --as client --timeout 1 --connect " + m_strHost +
                        ":" + std::to_string(nSilent));
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("timed out"), std::string::npos) << r.err;

    // A server that closes after the first exchange: the recording was not
    // played through, which is a failure even without a time-out.
    int nOnce = 0;
    auto once = StartServer("once", nOnce);
    r = Playback(rec + " --as client --check-reply --connect " + m_strHost + ":" + std::to_string(nOnce));
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("playback: the connection ended with "), std::string::npos)
        << r.err;

    // Nobody to connect to. The session saved over the recording itself
    // still holds the recording, ahead of the playback's marker; the
    // recording's rows are not printed again.
    const std::string copy = m_dir.Path("copy.mwx");
    ASSERT_EQ(RunCommand(testutil::Midwire() + " session copy " + rec + " " + copy).status, 0);
    const std::string strRecorded = RunCommand(testutil::Midwire() + " session dump " + copy).out;
    r = Playback(copy + " --as client --save " + copy + " --connect " + m_strHost + ":" +
                 std::to_string(UnusedPort()));
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("could not be started"), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
    EXPECT_NE(r.out.find("Starting PlayBack as: Client."), std::string::npos) << r.out;
    const std::string strSaved = RunCommand(testutil::Midwire() + " session dump " + copy).out;
    const std::size_t nRecordedEvents = strRecorded.find("events = ");
    ASSERT_NE(nRecordedEvents, std::string::npos);
    const std::size_t nFirstRow = strRecorded.find('\n', nRecordedEvents) + 1;
    EXPECT_NE(strSaved.find(strRecorded.substr(nFirstRow)), std::string::npos) << strSaved;

    // As server, no client comes before the time-out: that is the time-out's
    // failure, not a start that went wrong.
    r = RunCommand(testutil::Midwire() + " playback " + rec + " --as server --timeout 1 --listen " +
                   std::to_string(UnusedPort()));
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("timed out before a client connected"), std::string::npos) << r.err;

    // Wrong command lines.
    EXPECT_EQ(Playback(rec).status, 2);
    EXPECT_EQ(Playback(rec + " --as both").status, 2);
    EXPECT_EQ(Playback(rec + " --as client --controlled-chars -1").status, 2);
    EXPECT_EQ(Playback(m_dir.Path("missing.mwx") + " --as client").status, 2);
    const auto help = RunCommand(testutil::Midwire() + " playback --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--check-reply"), std::string::npos);
}

}  // namespace
