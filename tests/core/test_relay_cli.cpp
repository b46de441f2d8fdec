// midwire relay between real programs on loopback: curl and a Python HTTP
// server, socat clients in keep-alive mode, signals, and failed starts.

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <random>
#include <sstream>

#include "RelayTestUtil.h"
#include "app/CliSupport.h"
#include "TestUtil.h"
#include "views/DisplayTranslation.h"

using namespace relaytest;
using testutil::RunCommand;
using testutil::TempDir;

namespace {

// Shell lines that wait (at most twenty seconds) until a port listens; with a
// program name, until that program listens there (another test running in
// parallel may briefly hold the same free port).
std::string WaitListening(std::uint16_t nPort, const std::string& strProgram = std::string())
{
    const std::string strMatch = strProgram.empty() ? "." : "'\"" + strProgram + "\"'";
    return "for i in $(seq 400); do ss -Htlnp \"sport = :" + std::to_string(nPort) + "\" | grep -q " + strMatch +
           " && break; sleep 0.05; done\n";
}

// A script, run in dir, that starts server.py on nServer, a relay from
// nListen to it with strOptions (its lines to relay.out, its errors to
// relay.err), then client.py against the relay; three seconds later it
// interrupts the relay and prints "relay=" and the relay's exit status. The
// relay is killed after twenty seconds.
std::string InterruptedRelayScript(const TempDir& dir, std::uint16_t nServer, std::uint16_t nListen,
                                   const std::string& strOptions)
{
    return "cd '" + dir.Root() + "'\n" + "timeout 40 python3 server.py " + std::to_string(nServer) +
           " & PY=$!\ntrap 'kill $PY $CL 2>/dev/null' EXIT\n" + WaitListening(nServer) + "timeout -s KILL 20 '" +
           testutil::Midwire() + "' relay --listen " + std::to_string(nListen) + " --connect 127.0.0.1:" +
           std::to_string(nServer) + " " + strOptions + " > relay.out 2> relay.err & R=$!\n" +
           WaitListening(nListen, "midwire") + "timeout 40 python3 client.py " + std::to_string(nListen) +
           " & CL=$!\nsleep 3\nkill -INT $R\nwait $R\necho relay=$?\n";
}

// The start of a Python server script: imports, and a socket `s` listening on
// the loopback port given as the script's argument.
std::string PythonListener(int nBacklog, const char* pszAcceptTimeout)
{
    return std::string("import socket, sys, time\n"
                       "s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
                       "s.bind(('127.0.0.1', int(sys.argv[1]))); s.listen(") +
           std::to_string(nBacklog) + "); s.settimeout(" + pszAcceptTimeout + ")\n";
}

// A script, run in dir, that starts server.py on nServer, a relay from
// nListen to it with strOptions (saving session.mwx, its lines to
// relay.out, its errors to relay.err), then client.py against the relay;
// it prints what the client prints and "relay=" with the relay's exit
// status. Every program is given at most forty seconds.
std::string RelayedExchangeScript(const TempDir& dir, std::uint16_t nServer, std::uint16_t nListen,
                                  const std::string& strOptions)
{
    return "cd '" + dir.Root() + "'\n" + "timeout 40 python3 server.py " + std::to_string(nServer) +
           " > server.out 2>&1 & PY=$!\ntrap 'kill $PY 2>/dev/null' EXIT\n" + WaitListening(nServer) + "timeout 40 '" +
           testutil::Midwire() + "' relay --listen " + std::to_string(nListen) + " --connect 127.0.0.1:" +
           std::to_string(nServer) + " --save session.mwx " + strOptions + " > relay.out 2> relay.err & R=$!\n" +
           WaitListening(nListen, "midwire") + "timeout 40 python3 client.py " + std::to_string(nListen) +
           "\nwait $R\necho relay=$?\nwait $PY\n";
}

struct Session {
    CHeadlessFrontEnd frontEnd;
    CMidwireDoc doc;
    Session() { frontEnd.SetEcho(false); }
    bool Load(const std::string& strPath) { return doc.OnOpenDocument(strPath); }
    std::string Concat(std::uint32_t kind) const
    {
        std::string s;
        for (const HistoryEvent* p : doc.m_history)
            if (p->m_kind == kind)
                s += Bytes(*p);
        return s;
    }
    std::vector<const HistoryEvent*> Events(std::uint32_t kind) const
    {
        std::vector<const HistoryEvent*> v;
        for (const HistoryEvent* p : doc.m_history)
            if (p->m_kind == kind)
                v.push_back(p);
        return v;
    }
};

}  // namespace

// An HTTP exchange through the relay: what curl gets is what the server
// sent, and the saved session holds both directions byte for byte.
TEST(RelayCliTest, HttpExchangeBetweenCurlAndPythonServer)
{
    TempDir dir;
    std::mt19937 rng(11);
    const std::string content = testutil::RandomBytes(rng, 1 << 20);
    testutil::WriteFile(dir.Path("data.bin"), content);
    const std::uint16_t nServer = FreePort();
    const std::uint16_t nListen = FreePort();
    const std::string script =
        "cd '" + dir.Root() + "'\n" + "python3 -m http.server " + std::to_string(nServer) +
        " --bind 127.0.0.1 >/dev/null 2>&1 & PY=$!\n" + "trap 'kill $PY 2>/dev/null' EXIT\n" +
        WaitListening(nServer) + "timeout 60 '" + testutil::Midwire() + "' relay --listen " + std::to_string(nListen) +
        " --connect 127.0.0.1:" + std::to_string(nServer) +
        " --client-time-wait 10 --server-time-wait 10 --save session.mwx > relay.out 2> relay.err & R=$!\n" +
        WaitListening(nListen, "midwire") + "timeout 60 curl -s -H 'User-Agent: t' -D headers.bin -o body.bin http://127.0.0.1:" +
        std::to_string(nListen) + "/data.bin\n" + "echo curl=$?\n" + "wait $R\necho relay=$?\n";
    testutil::WriteFile(dir.Path("run.sh"), script);
    const testutil::RunResult r = RunCommand("bash '" + dir.Path("run.sh") + "'");
    EXPECT_NE(r.out.find("curl=0"), std::string::npos) << r.out << r.err;
    EXPECT_NE(r.out.find("relay=0"), std::string::npos) << r.out << testutil::ReadFile(dir.Path("relay.err"));

    const std::string body = testutil::ReadFile(dir.Path("body.bin"));
    const std::string headers = testutil::ReadFile(dir.Path("headers.bin"));
    EXPECT_TRUE(body == content) << body.size();

    Session s;
    ASSERT_TRUE(s.Load(dir.Path("session.mwx")));
    const std::string request = "GET /data.bin HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(nListen) +
                                "\r\nAccept: */*\r\nUser-Agent: t\r\n\r\n";
    EXPECT_EQ(s.Concat(EK_MOVED_TO_SERVER), request);
    EXPECT_TRUE(s.Concat(EK_MOVED_TO_CLIENT) == headers + body);
    EXPECT_EQ(s.Events(EK_CONNECT_CLIENT).size(), 1u);
    EXPECT_EQ(s.Events(EK_CONNECT_SERVER).size(), 1u);
    EXPECT_EQ(s.Events(EK_DISCONNECT_SERVER).size(), 1u);
    EXPECT_EQ(s.Events(EK_DISCONNECT_CLIENT).size(), 1u);
    EXPECT_TRUE(s.Events(EK_ERROR).empty());

    // One printed line per shown event.
    const std::string out = testutil::ReadFile(dir.Path("relay.out"));
    EXPECT_EQ(out.rfind("Connect from:\t", 0), 0u) << out.substr(0, 200);
    EXPECT_NE(out.find("Moved to:\t127.0.0.1\t"), std::string::npos);
    EXPECT_NE(out.find("Disconnect to:\t"), std::string::npos);
}

// Keep-alive serves twenty clients in a row, each its own session, and
// --sessions ends the program after the last one.
TEST(RelayCliTest, KeepAliveServesTwentyClientsInARow)
{
    TempDir dir;
    const std::uint16_t nListen = FreePort();
    const std::string strPort = std::to_string(nListen);
    const std::string script =
        "cd '" + dir.Root() + "'\n" + "timeout 120 '" + testutil::Midwire() + "' relay --listen " + strPort +
        " --keep-alive --sessions 20 --client-time-wait 2 --save session.mwx > relay.out 2> relay.err & R=$!\n" +
        WaitListening(nListen, "midwire") +
        "for i in $(seq 1 20); do printf 'client %d\\n' $i | timeout 20 socat -t 5 - TCP:127.0.0.1:" + strPort +
        " >/dev/null || echo failed=$i; done\n" + "wait $R\necho relay=$?\n";
    testutil::WriteFile(dir.Path("run.sh"), script);
    const testutil::RunResult r = RunCommand("bash '" + dir.Path("run.sh") + "'");
    EXPECT_EQ(r.out.find("failed="), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("relay=0"), std::string::npos) << r.out << testutil::ReadFile(dir.Path("relay.err"));

    Session s;
    ASSERT_TRUE(s.Load(dir.Path("session.mwx")));
    const auto connects = s.Events(EK_CONNECT_CLIENT);
    const auto pieces = s.Events(EK_RECEIVED_FROM_CLIENT);
    ASSERT_EQ(connects.size(), 20u);
    ASSERT_EQ(pieces.size(), 20u);
    EXPECT_EQ(s.Events(EK_DISCONNECT_CLIENT).size(), 20u);
    for (size_t i = 0; i < 20; ++i) {
        EXPECT_EQ(Bytes(*pieces[i]), "client " + std::to_string(i + 1) + "\n");
        const std::string& t = connects[i]->m_strText;
        const bool bKnownSuffix = t.ends_with(" (From accept dialog)") || t.ends_with(" (From accept function)");
        EXPECT_TRUE(bKnownSuffix) << t;
        EXPECT_EQ(t.rfind("Accepted connection from: ", 0), 0u) << t;
    }
    EXPECT_TRUE(s.doc.m_bKeepAlive);
}

// With --keep-alive, a later session whose server has gone away ends the run
// as a failure, with the reason, and the sessions that ran are still saved.
TEST(RelayCliTest, KeepAliveSessionThatCannotStartFailsTheRun)
{
    TempDir dir;
    const std::uint16_t nServer = FreePort();
    const std::uint16_t nListen = FreePort();
    // A server for one client only: it answers it, then stops listening.
    testutil::WriteFile(dir.Path("server.py"), PythonListener(1, "20") +
                                                   "c = s.accept()[0]; s.close()\n"
                                                   "c.sendall(c.recv(100)); c.close()\n");
    // The first client waits for its answer before it closes.
    testutil::WriteFile(dir.Path("client.py"), "import socket, sys\n"
                                               "c = socket.create_connection(('127.0.0.1', int(sys.argv[1])))\n"
                                               "c.sendall(b'one\\n'); c.settimeout(10)\n"
                                               "print(c.recv(100).decode(), end='')\n");
    const std::string strListen = std::to_string(nListen);
    const std::string script =
        "cd '" + dir.Root() + "'\n" + "timeout 40 python3 server.py " + std::to_string(nServer) + " & PY=$!\n" +
        WaitListening(nServer) + "timeout 60 '" + testutil::Midwire() + "' relay --listen " + strListen +
        " --connect 127.0.0.1:" + std::to_string(nServer) +
        " --keep-alive --sessions 3 --client-time-wait 2 --server-time-wait 2 --save session.mwx"
        " > relay.out 2> relay.err & R=$!\n" +
        WaitListening(nListen, "midwire") +
        "timeout 20 python3 client.py " + strListen + "\n" + "wait $PY\n" +
        "printf 'two\\n' | timeout 20 socat -t 5 - TCP:127.0.0.1:" + strListen + " >/dev/null 2>&1\n" +
        "wait $R\necho relay=$?\n";
    testutil::WriteFile(dir.Path("run.sh"), script);
    const testutil::RunResult r = RunCommand("bash '" + dir.Path("run.sh") + "'");
    const std::string strErr = testutil::ReadFile(dir.Path("relay.err"));
    EXPECT_NE(r.out.find("one\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("relay=1"), std::string::npos) << r.out << strErr;
    EXPECT_NE(strErr.find("Error trying a connection to the host: 127.0.0.1 port"), std::string::npos) << strErr;

    Session s;
    ASSERT_TRUE(s.Load(dir.Path("session.mwx")));
    EXPECT_EQ(s.Concat(EK_MOVED_TO_CLIENT), "one\n");
}

// A signal while waiting for the client ends the program cleanly, still
// saving; a server that refuses fails the start with its message.
TEST(RelayCliTest, SignalWhileWaitingAndRefusedServer)
{
    TempDir dir;
    const std::uint16_t nListen = FreePort();
    const std::string script = "cd '" + dir.Root() + "'\n" + "timeout 30 '" + testutil::Midwire() +
                               "' relay --listen " + std::to_string(nListen) +
                               " --save waited.mwx > relay.out 2> relay.err & R=$!\n" + WaitListening(nListen, "midwire") +
                               "kill -INT $R\nwait $R\necho relay=$?\n";
    testutil::WriteFile(dir.Path("run.sh"), script);
    const testutil::RunResult r = RunCommand("bash '" + dir.Path("run.sh") + "'");
    EXPECT_NE(r.out.find("relay=0"), std::string::npos) << r.out;
    EXPECT_NE(testutil::ReadFile(dir.Path("relay.err")).find("Listening has been stopped."), std::string::npos);
    Session s;
    EXPECT_TRUE(s.Load(dir.Path("waited.mwx")));
    EXPECT_TRUE(s.doc.m_bAcceptConnections);

    const testutil::RunResult refused = RunCommand("'" + testutil::Midwire() + "' relay --connect 127.0.0.1:" +
                                            std::to_string(FreePort()) + " </dev/null");
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("Error trying a connection to the host: 127.0.0.1 port"), std::string::npos)
        << refused.err;

    EXPECT_EQ(RunCommand("'" + testutil::Midwire() + "' relay").status, 2);
    EXPECT_EQ(RunCommand("'" + testutil::Midwire() + "' relay --listen 1 --break-char ''").status, 2);
    const testutil::RunResult help = RunCommand("'" + testutil::Midwire() + "' relay --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--keep-alive"), std::string::npos);
}

// The server named by --connect: a text that is no HOST:PORT is a wrong
// command line, and so is a host longer than a session keeps, which was cut
// short (in the middle of a character, too) and tried as another host. A
// host that cannot be had (no name, an IPv6 literal) fails the start.
TEST(RelayCliTest, ConnectTargetsThatAreWrongOrCannotBeReached)
{
    const std::string strMidwire = "'" + testutil::Midwire() + "' ";
    for (const char* pszTarget : {"127.0.0.1", ":80", "127.0.0.1:", ""}) {
        const testutil::RunResult r = RunCommand(strMidwire + "relay --connect '" + pszTarget + "' </dev/null");
        EXPECT_EQ(r.status, 2) << pszTarget;
        EXPECT_EQ(r.err.rfind("midwire: relay: --connect needs HOST:PORT\n", 0), 0u) << r.err;
    }

    // 1023 bytes and then a two-byte character: the limit falls inside it.
    const std::string strLong = std::string(1023, 'a') + "\xc3\xa9";
    for (const char* pszCommand : {"relay", "playback missing.mwx --as client"}) {
        const testutil::RunResult r =
            RunCommand(strMidwire + pszCommand + " --connect '" + strLong + ":80' </dev/null");
        EXPECT_EQ(r.status, 2) << pszCommand;
        const std::string strName = std::string(pszCommand).substr(0, std::string(pszCommand).find(' '));
        EXPECT_EQ(r.err.rfind("midwire: " + strName + ": --connect HOST is longer than 1024 bytes\n", 0), 0u)
            << r.err;
    }
    // A host of exactly 1024 bytes is taken whole, and named whole when it
    // does not resolve.
    const std::string strLongest = std::string(1016, 'a') + ".invalid";
    testutil::RunResult r = RunCommand(strMidwire + "relay --connect '" + strLongest + ":80' </dev/null");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Error trying a connection to the host: " + strLongest + " port 80."), std::string::npos)
        << r.err;

    for (const char* pszHost : {"no-such-host.invalid", "::1", "[::1]"}) {
        r = RunCommand(strMidwire + "relay --connect '" + pszHost + ":80' </dev/null");
        EXPECT_EQ(r.status, 1) << pszHost;
        EXPECT_NE(r.err.find("Warning: Unknow host\n"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(std::string("Error trying a connection to the host: ") + pszHost + " port 80.\n"
                             "Connection refused or unknow host."),
                  std::string::npos)
            << r.err;
    }
}

// A server whose backlog is full drops the connect request, and the connect
// would wait out the system's retries (minutes). A signal meanwhile ends the
// run at once, as an interruption, still saving: for the relay and for a
// playback as client.
TEST(RelayCliTest, SignalWhileConnectingToAServerThatDoesNotAnswer)
{
    TempDir dir;
    const std::uint16_t nServer = FreePort();
    testutil::WriteFile(dir.Path("server.py"),
                        "import socket, sys, time\n"
                        "s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
                        "s.bind(('127.0.0.1', int(sys.argv[1]))); s.listen(0)\n"
                        "held = []\n"
                        "for i in range(3):\n"  // fill the backlog, never accept
                        "    c = socket.socket(); c.setblocking(False); held.append(c)\n"
                        "    try: c.connect(('127.0.0.1', int(sys.argv[1])))\n"
                        "    except BlockingIOError: pass\n"
                        "open('ready', 'w').close()\n"
                        "time.sleep(60)\n");
    const std::string mw = "timeout -s KILL 40 '" + testutil::Midwire() + "' ";
    const std::string connect = " --connect 127.0.0.1:" + std::to_string(nServer);
    const std::string waitConnecting = "for i in $(seq 400); do ss -Htnp state syn-sent \"dport = :" +
                                       std::to_string(nServer) + "\" | grep -q midwire && break; sleep 0.05; done\n";
    const std::string script =
        "cd '" + dir.Root() + "'\n" + "timeout 60 python3 server.py " + std::to_string(nServer) +
        " & PY=$!\ntrap 'kill $PY 2>/dev/null' EXIT\n" + "for i in $(seq 400); do [ -e ready ] && break; sleep 0.05; done\n" +
        mw + "session new rec.mwx\n" + mw + "relay" + connect + " --save relay.mwx > relay.out 2> relay.err & R=$!\n" +
        waitConnecting + "kill -INT $R\nwait $R\necho relay=$?\n" + mw + "playback rec.mwx --as client" + connect +
        " --save playback.mwx > playback.out 2> playback.err & R=$!\n" + waitConnecting +
        "kill -TERM $R\nwait $R\necho playback=$?\n";
    testutil::WriteFile(dir.Path("run.sh"), script);
    const testutil::RunResult r = RunCommand("bash '" + dir.Path("run.sh") + "'");
    EXPECT_NE(r.out.find("relay=0"), std::string::npos) << r.out << testutil::ReadFile(dir.Path("relay.err"));
    // A playback that never started ends with its start-failure status,
    // without saying that the start failed on its own.
    EXPECT_NE(r.out.find("playback=2"), std::string::npos) << r.out;
    EXPECT_EQ(testutil::ReadFile(dir.Path("playback.err")).find("could not be started"), std::string::npos);
    Session relay;
    ASSERT_TRUE(relay.Load(dir.Path("relay.mwx")));
    EXPECT_TRUE(relay.doc.m_bConnectToHost);
    EXPECT_TRUE(relay.Events(EK_CONNECT_SERVER).empty());
    Session playback;
    EXPECT_TRUE(playback.Load(dir.Path("playback.mwx")));
}

// A --save path that cannot be written is refused before a session starts,
// not found out when a long session ends and is lost; what a save can write
// (a new file in a writable directory, a device) is left alone.
TEST(RelayCliTest, SavePathThatCannotBeWrittenIsRefusedBeforeTheStart)
{
    TempDir dir;
    testutil::WriteFile(dir.Path("file"), "x");
    const std::string mw = "timeout -s KILL 20 '" + testutil::Midwire() + "' ";
    const std::string listen = " --listen " + std::to_string(FreePort());
    ASSERT_EQ(RunCommand(mw + "session new " + dir.Path("rec.mwx")).status, 0);
    struct Bad {
        std::string strArgs;
        int nStatus;
    };
    for (const std::string& strSave : {dir.Path("no/such/dir/s.mwx"), dir.Root(), dir.Path("file/s.mwx")}) {
        const std::string strError = "cannot save the session to " + strSave + ": ";
        for (const Bad& bad : {Bad{"relay" + listen, 1}, Bad{"playback " + dir.Path("rec.mwx") + " --as server" + listen, 2},
                               Bad{"dgram --bind " + std::to_string(FreePort()) + " --duration 15", 1}}) {
            const testutil::RunResult r = RunCommand(mw + bad.strArgs + " --save '" + strSave + "' </dev/null");
            EXPECT_EQ(r.status, bad.nStatus) << bad.strArgs << " " << strSave << ": " << r.err;
            EXPECT_NE(r.err.find(strError), std::string::npos) << r.err;
            EXPECT_TRUE(r.out.empty()) << r.out;
        }
    }
    // Writable targets still pass the check: the refused server fails the
    // start after it, with its own message.
    for (const std::string& strSave : {dir.Path("new.mwx"), std::string("/dev/null")}) {
        const testutil::RunResult r =
            RunCommand(mw + "relay --connect 127.0.0.1:" + std::to_string(FreePort()) + " --save " + strSave);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("Error trying a connection"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("cannot save"), std::string::npos) << r.err;
    }
    Session saved;
    EXPECT_TRUE(saved.Load(dir.Path("new.mwx")));
}

// With every descriptor in use, a client the relay cannot take is turned
// away once, with one warning, instead of the listening socket calling for
// the same failed accept again and again; the session being served goes on.
TEST(RelayCliTest, ClientsBeyondTheDescriptorLimitAreTurnedAwayOnce)
{
#if defined(__SANITIZE_ADDRESS__)
    // The undefined-behaviour checks of this build open a pipe of their own
    // to test memory they inspect; with no descriptor left they fail.
    GTEST_SKIP() << "the sanitizers of this build need descriptors of their own";
#endif
    TempDir dir;
    const std::uint16_t nServer = FreePort();
    const std::uint16_t nListen = FreePort();
    testutil::WriteFile(dir.Path("server.py"),
                        PythonListener(8, "0.2") +
                            "held = []\n"
                            "end = time.time() + 30\n"
                            "while time.time() < end:\n"
                            "    try: c = s.accept()[0]\n"
                            "    except OSError: continue\n"
                            "    c.sendall(b'hello\\n'); held.append(c)\n");
    // The first client is served (the server's greeting reaches it); sixty
    // more arrive while it is, more than the relay has descriptors for.
    testutil::WriteFile(dir.Path("clients.py"),
                        "import socket, sys, time\n"
                        "port = int(sys.argv[1])\n"
                        "first = socket.create_connection(('127.0.0.1', port)); first.sendall(b'first\\n')\n"
                        "first.settimeout(10); first.recv(16)\n"
                        "others = [socket.create_connection(('127.0.0.1', port)) for i in range(60)]\n"
                        "closed = set()\n"
                        "end = time.time() + 3\n"
                        "while time.time() < end and len(closed) < len(others):\n"
                        "    for i, c in enumerate(others):\n"
                        "        if i in closed: continue\n"
                        "        c.settimeout(0.01)\n"
                        "        try:\n"
                        "            if c.recv(16) == b'': closed.add(i)\n"
                        "        except socket.timeout: pass\n"
                        "        except OSError: closed.add(i)\n"
                        "print('closed=%d' % len(closed))\n"
                        "first.close()\n"
                        "time.sleep(1)\n");
    const std::string script =
        "cd '" + dir.Root() + "'\n" + "timeout 40 python3 server.py " + std::to_string(nServer) +
        " & PY=$!\ntrap 'kill $PY 2>/dev/null' EXIT\n" + WaitListening(nServer) + "(ulimit -n 40; exec timeout 60 '" +
        testutil::Midwire() + "' relay --listen " + std::to_string(nListen) + " --connect 127.0.0.1:" +
        std::to_string(nServer) +
        " --keep-alive --sessions 1 --client-time-wait 2 --server-time-wait 2 > relay.out 2> relay.err) & R=$!\n" +
        WaitListening(nListen, "midwire") + "timeout 30 python3 clients.py " + std::to_string(nListen) + "\n" +
        "wait $R\necho relay=$?\n";
    testutil::WriteFile(dir.Path("run.sh"), script);
    const testutil::RunResult r = RunCommand("bash '" + dir.Path("run.sh") + "'");
    const std::string strErr = testutil::ReadFile(dir.Path("relay.err"));
    EXPECT_NE(r.out.find("relay=0"), std::string::npos) << r.out << strErr.substr(0, 2000);

    std::size_t nWarnings = 0;
    for (std::size_t at = strErr.find("Warning: Error accepting a connection"); at != std::string::npos;
         at = strErr.find("Warning: Error accepting a connection", at + 1))
        ++nWarnings;
    EXPECT_GE(nWarnings, 1u) << "the limit was not reached: " << r.out;
    EXPECT_LE(nWarnings, 60u) << "one failed accept per client, not a storm";
    const std::size_t nAt = r.out.find("closed=");
    ASSERT_NE(nAt, std::string::npos) << r.out;
    EXPECT_EQ(std::stoul(r.out.substr(nAt + 7)), nWarnings) << "each client turned away sees its connection end";
    EXPECT_NE(testutil::ReadFile(dir.Path("relay.out")).find("Moved to:\t"), std::string::npos)
        << "the session being served goes on";
}

// Event lines go to an output that nobody reads: the relay still moves all
// the data, and a signal still ends it, saving the session; the lines that
// could not be written make the run a failure, said as such.
TEST(RelayCliTest, OutputThatNobodyReadsHoldsUpNeitherTheDataNorTheEnd)
{
    TempDir dir;
    const std::uint16_t nServer = FreePort();
    const std::uint16_t nListen = FreePort();
    testutil::WriteFile(dir.Path("server.py"),
                        PythonListener(1, "20") +
                            "c = s.accept()[0]\n"
                            "c.sendall(open('data.bin', 'rb').read())\n"
                            "time.sleep(20)\n");
    testutil::WriteFile(dir.Path("client.py"),
                        "import socket, sys\n"
                        "c = socket.create_connection(('127.0.0.1', int(sys.argv[1]))); c.settimeout(15)\n"
                        "want = int(sys.argv[2]); got = b''\n"
                        "try:\n"
                        "    while len(got) < want:\n"
                        "        d = c.recv(65536)\n"
                        "        if not d: break\n"
                        "        got += d\n"
                        "except socket.timeout: pass\n"
                        "print('got=%d' % len(got))\n");
    std::mt19937 rng(3);
    const std::string data = testutil::RandomBytes(rng, 2u << 20);
    testutil::WriteFile(dir.Path("data.bin"), data);
    const std::string script =
        "cd '" + dir.Root() + "'\n" + "mkfifo lines.fifo\nexec 3<>lines.fifo\n" +  // open, never read
        "timeout 40 python3 server.py " + std::to_string(nServer) + " & PY=$!\ntrap 'kill $PY 2>/dev/null' EXIT\n" +
        WaitListening(nServer) + "timeout -s KILL 40 '" + testutil::Midwire() + "' relay --listen " +
        std::to_string(nListen) + " --connect 127.0.0.1:" + std::to_string(nServer) +
        " --no-break-char --save session.mwx > lines.fifo 2> relay.err & R=$!\n" + WaitListening(nListen, "midwire") +
        "timeout 30 python3 client.py " + std::to_string(nListen) + " " + std::to_string(data.size()) + "\n" +
        "kill -TERM $R\nwait $R\necho relay=$?\n";
    testutil::WriteFile(dir.Path("run.sh"), script);
    const testutil::RunResult r = RunCommand("bash '" + dir.Path("run.sh") + "'");
    const std::string strErr = testutil::ReadFile(dir.Path("relay.err"));
    EXPECT_NE(r.out.find("got=" + std::to_string(data.size())), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("relay=1"), std::string::npos) << r.out << strErr;
    EXPECT_NE(strErr.find("relay: writing to standard output failed: the output took nothing for 2 s"),
              std::string::npos)
        << strErr;
    Session s;
    ASSERT_TRUE(s.Load(dir.Path("session.mwx")));
    EXPECT_TRUE(s.Concat(EK_MOVED_TO_CLIENT) == data) << s.Concat(EK_MOVED_TO_CLIENT).size();
}

// A history that fills the address space the relay may use: the relay
// stops taking data in, ends the session as for a signal (both connections
// closed and recorded), saves it, and fails with its out-of-memory message,
// where it used to abort from the worker thread that ran out.
TEST(RelayCliTest, SessionThatRunsOutOfMemoryIsEndedSavedAndFails)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's shadow memory needs more address space than the limit leaves";
#else
    TempDir dir;
    const std::uint16_t nServer = FreePort();
    const std::uint16_t nListen = FreePort();
    // The server streams until the relay closes the connection (4 GiB at
    // most); the client reads until the relay closes its end.
    testutil::WriteFile(dir.Path("server.py"),
                        PythonListener(1, "30") +
                            "c = s.accept()[0]; block = bytes(1 << 20)\n"
                            "try:\n"
                            "    for i in range(4096): c.sendall(block)\n"
                            "except OSError: pass\n");
    testutil::WriteFile(dir.Path("client.py"),
                        "import socket, sys\n"
                        "c = socket.create_connection(('127.0.0.1', int(sys.argv[1]))); c.settimeout(30)\n"
                        "try:\n"
                        "    while c.recv(1 << 20): pass\n"
                        "except OSError: pass\n");
    const std::string script =
        "cd '" + dir.Root() + "'\n" + "timeout 60 python3 server.py " + std::to_string(nServer) +
        " & PY=$!\ntrap 'kill $PY $CL 2>/dev/null' EXIT\n" + WaitListening(nServer) +
        "(ulimit -v 600000; exec timeout -s KILL 60 '" + testutil::Midwire() + "' relay --listen " +
        std::to_string(nListen) + " --connect 127.0.0.1:" + std::to_string(nServer) +
        " --no-break-char --quiet --save session.mwx > relay.out 2> relay.err) & R=$!\n" +
        WaitListening(nListen, "midwire") + "timeout 60 python3 client.py " + std::to_string(nListen) +
        " & CL=$!\nwait $R\necho relay=$?\n";
    testutil::WriteFile(dir.Path("run.sh"), script);
    const testutil::RunResult r = RunCommand("bash '" + dir.Path("run.sh") + "'");
    const std::string strErr = testutil::ReadFile(dir.Path("relay.err"));
    EXPECT_NE(r.out.find("relay=1"), std::string::npos) << r.out << strErr;
    EXPECT_NE(strErr.find("midwire: relay: out of memory"), std::string::npos) << strErr;
    EXPECT_EQ(strErr.find("terminate"), std::string::npos) << strErr;
    const std::string strLines = testutil::ReadFile(dir.Path("relay.out"));
    EXPECT_NE(strLines.find("Connection to server: 127.0.0.1 port: " + std::to_string(nServer) + " closed."),
              std::string::npos)
        << strLines;
    Session s;
    ASSERT_TRUE(s.Load(dir.Path("session.mwx")));
    EXPECT_EQ(s.Events(EK_DISCONNECT_SERVER).size(), 1u);
    EXPECT_EQ(s.Events(EK_DISCONNECT_CLIENT).size(), 1u);
    EXPECT_FALSE(s.Events(EK_MOVED_TO_CLIENT).empty());
#endif
}

// The reader of the event lines goes away (a pipe into head): the relay ends
// the session as for a signal instead of being killed by the broken pipe, so
// the session is still saved; the lines it could not write make it fail. The
// datagram relay does the same.
TEST(RelayCliTest, ReaderOfTheLinesThatGoesAwayEndsTheSessionSaved)
{
    TempDir dir;
    const std::uint16_t nServer = FreePort();
    testutil::WriteFile(dir.Path("server.py"), PythonListener(1, "20") +
                                                   "c = s.accept()[0]; c.settimeout(20)\n"
                                                   "try:\n"
                                                   "    for i in range(200000): c.sendall(b'line %d\\n' % i)\n"
                                                   "    c.recv(1)\n"
                                                   "except OSError: pass\n");
    const std::string mw = "timeout -s KILL 40 '" + testutil::Midwire() + "' ";
    const std::string script =
        "cd '" + dir.Root() + "'\n" + "timeout 40 python3 server.py " + std::to_string(nServer) +
        " & PY=$!\ntrap 'kill $PY 2>/dev/null' EXIT\n" + WaitListening(nServer) + "(" + mw +
        "relay --connect 127.0.0.1:" + std::to_string(nServer) +
        " --save relay.mwx 2> relay.err; echo relay=$? > relay.rc) | head -1 > relay.out\n" + "cat relay.rc\n" +
        // A pipe with no reader from the start: the very first line fails.
        "python3 -c 'import os, subprocess, sys; r, w = os.pipe(); os.close(r); "
        "print(\"dgram=%d\" % subprocess.run(sys.argv[1:], stdout=w).returncode)' " +
        mw + "dgram --bind " + std::to_string(FreePort()) + " --save dgram.mwx 2> dgram.err\n";
    testutil::WriteFile(dir.Path("run.sh"), script);
    const testutil::RunResult r = RunCommand("bash '" + dir.Path("run.sh") + "'");
    EXPECT_NE(r.out.find("relay=1"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("dgram=1"), std::string::npos) << r.out;
    EXPECT_NE(testutil::ReadFile(dir.Path("relay.err")).find("relay: writing to standard output failed: Broken pipe"),
              std::string::npos)
        << testutil::ReadFile(dir.Path("relay.err"));
    EXPECT_EQ(testutil::ReadFile(dir.Path("relay.out")).rfind("Connect to:\t127.0.0.1\t", 0), 0u);
    Session relay;
    ASSERT_TRUE(relay.Load(dir.Path("relay.mwx")));
    EXPECT_EQ(relay.Events(EK_CONNECT_SERVER).size(), 1u);
    EXPECT_EQ(relay.Events(EK_DISCONNECT_SERVER).size(), 1u);
    Session dgram;
    ASSERT_TRUE(dgram.Load(dir.Path("dgram.mwx")));
    EXPECT_EQ(dgram.Events(EK_DGRAM_BIND).size(), 1u);
    EXPECT_EQ(dgram.Events(EK_DGRAM_UNBIND).size(), 1u);
}

// A signal while the relay waits for a closed server's data to reach a
// client that reads it steadily but slowly ends the relay then, not once the
// client has it all.
TEST(RelayCliTest, SignalEndsTheWaitForASlowReader)
{
    TempDir dir;
    const std::uint16_t nServer = FreePort();
    const std::uint16_t nListen = FreePort();
    testutil::WriteFile(dir.Path("server.py"), PythonListener(1, "20") +
                                                   "c = s.accept()[0]\n"
                                                   "c.sendall(b'x' * (16 << 20))\n"
                                                   "c.close()\n");
    // About 400 kB a second: the whole reply would take forty seconds.
    testutil::WriteFile(dir.Path("client.py"),
                        "import socket, sys, time\n"
                        "c = socket.create_connection(('127.0.0.1', int(sys.argv[1]))); c.settimeout(20)\n"
                        "got = 0\n"
                        "try:\n"
                        "    while True:\n"
                        "        d = c.recv(4096)\n"
                        "        if not d: break\n"
                        "        got += len(d); time.sleep(0.01)\n"
                        "except OSError: pass\n");
    testutil::WriteFile(dir.Path("run.sh"),
                        InterruptedRelayScript(dir, nServer, nListen, "--no-break-char --quiet"));
    const testutil::RunResult r = RunCommand("bash '" + dir.Path("run.sh") + "'");
    EXPECT_NE(r.out.find("relay=0"), std::string::npos) << r.out << testutil::ReadFile(dir.Path("relay.err"));
}

// A signal while the relay pauses after a peer's close (a long time wait)
// ends the session then, not after the pauses.
TEST(RelayCliTest, SignalCutsShortTheTimeWaitAfterAPeersClose)
{
    TempDir dir;
    const std::uint16_t nServer = FreePort();
    const std::uint16_t nListen = FreePort();
    testutil::WriteFile(dir.Path("server.py"), PythonListener(1, "20") +
                                                   "c = s.accept()[0]\n"
                                                   "time.sleep(0.5); c.close(); time.sleep(30)\n");
    testutil::WriteFile(dir.Path("client.py"),
                        "import socket, sys, time\n"
                        "c = socket.create_connection(('127.0.0.1', int(sys.argv[1])))\n"
                        "time.sleep(30)\n");
    // Each pause would last a minute; the relay is killed after twenty seconds.
    testutil::WriteFile(dir.Path("run.sh"), InterruptedRelayScript(dir, nServer, nListen, "--server-time-wait 60000"));
    const testutil::RunResult r = RunCommand("bash '" + dir.Path("run.sh") + "'");
    EXPECT_NE(r.out.find("relay=0"), std::string::npos) << r.out << testutil::ReadFile(dir.Path("relay.err"));
    const std::string strLines = testutil::ReadFile(dir.Path("relay.out"));
    EXPECT_NE(strLines.find("Connection to server: 127.0.0.1 port: " + std::to_string(nServer) + " closed."),
              std::string::npos)
        << strLines;
    EXPECT_NE(strLines.find("Connection to client: "), std::string::npos) << strLines;
}

// A signal reaches the watch's handler through the event loop. Once one has
// been seen, a repeat after the watch is gone (timeout sends one to the
// process and one to its group) must not kill the program that is ending
// cleanly; a watch that saw none gives the signals their default action back.
TEST(SignalWatchTest, RepeatAfterAnEndingSignalIsHarmless)
{
    relaytest::EnsureApplication();
    {
        int nCalls = 0;
        CSignalWatch watch([&] { ++nCalls; });
        ASSERT_TRUE(watch.IsValid());
        ::raise(SIGTERM);
        EXPECT_TRUE(relaytest::PumpUntil([&] { return nCalls > 0; }, 5000));
        EXPECT_EQ(nCalls, 1);
    }
    ::raise(SIGTERM);  // this test program would end here if the default were back
    ::raise(SIGINT);

    { CSignalWatch quiet([] {}); }
    struct sigaction now {};
    ::sigaction(SIGINT, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
    ::sigaction(SIGTERM, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
    ::sigaction(SIGHUP, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);

    // A hang-up is caught like SIGTERM, unless it was ignored when the watch
    // began: it then stays ignored, during the watch and after.
    {
        int nCalls = 0;
        CSignalWatch watch([&] { ++nCalls; });
        ::raise(SIGHUP);
        EXPECT_TRUE(relaytest::PumpUntil([&] { return nCalls > 0; }, 5000));
    }
    ::signal(SIGHUP, SIG_IGN);
    {
        CSignalWatch watch([] {});
        ::sigaction(SIGHUP, nullptr, &now);
        EXPECT_EQ(now.sa_handler, SIG_IGN);
    }
    ::sigaction(SIGHUP, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN);
    ::signal(SIGHUP, SIG_DFL);
}

// A hang-up (terminal closed, login dropped) ends a session like SIGTERM:
// cleanly, and with the session saved. Started with SIGHUP ignored (nohup),
// the command keeps it ignored: a hang-up followed by SIGTERM then ends it by
// the SIGTERM (a SIGHUP still at its default would kill it first, as the lower
// signal is delivered first).
TEST(RelayCliTest, HangupEndsTheSessionSavedUnlessIgnoredAtTheStart)
{
    TempDir dir;
    const std::uint16_t nServer = FreePort();
    testutil::WriteFile(dir.Path("server.py"), PythonListener(4, "20") +
                                                   "for n in range(2):\n"
                                                   "    c = s.accept()[0]; c.settimeout(20); c.sendall(b'hello\\n')\n"
                                                   "    try: c.recv(1)\n"
                                                   "    except OSError: pass\n");
    const std::string mw = "timeout -s KILL 20 '" + testutil::Midwire() + "' ";
    auto waitFor = [](const std::string& strFile, const std::string& strText) {
        return "for i in $(seq 400); do grep -q '" + strText + "' " + strFile + " 2>/dev/null && break; sleep 0.05; done\n";
    };
    const std::string relay = "relay --connect 127.0.0.1:" + std::to_string(nServer);
    const std::string dgramPort = std::to_string(FreePort());
    const std::string script =
        "cd '" + dir.Root() + "'\n" + "timeout 40 python3 server.py " + std::to_string(nServer) +
        " & PY=$!\ntrap 'kill $PY 2>/dev/null' EXIT\n" + WaitListening(nServer) +
        // timeout passes the signal on to the command it runs
        mw + relay + " --save hup.mwx > hup.out 2> hup.err & R=$!\n" + waitFor("hup.out", "hello") +
        "kill -HUP $R\nwait $R\necho hup=$?\n" +
        // Without timeout in between, which would give the command a SIGHUP
        // at its default again; a watchdog bounds the run instead.
        "(trap '' HUP; exec '" + testutil::Midwire() + "' " + relay +
        " --save nohup.mwx > nohup.out 2> nohup.err) & R=$!\n(trap 'kill $S; exit' TERM; sleep 20 & S=$!; wait $S; kill -KILL $R) > /dev/null 2>&1 & W=$!\n" +
        waitFor("nohup.out", "hello") +
        "echo ignored=$(( 0x$(sed -n 's/^SigIgn:\\s*//p' /proc/$R/status) & 1 ))\n"
        "kill -HUP $R\nkill -TERM $R\nwait $R\necho nohup=$?\nkill $W 2>/dev/null\n" +
        mw + "dgram --bind " + dgramPort + " --save dgram.mwx > dgram.out 2> dgram.err & R=$!\n" +
        waitFor("dgram.out", "binded") + "kill -HUP $R\nwait $R\necho dgram=$?\n";
    testutil::WriteFile(dir.Path("run.sh"), script);
    const testutil::RunResult r = RunCommand("bash '" + dir.Path("run.sh") + "'");
    EXPECT_NE(r.out.find("hup=0"), std::string::npos) << r.out << testutil::ReadFile(dir.Path("hup.err"));
    EXPECT_NE(r.out.find("ignored=1"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("nohup=0"), std::string::npos) << r.out << testutil::ReadFile(dir.Path("nohup.err"));
    EXPECT_NE(r.out.find("dgram=0"), std::string::npos) << r.out << testutil::ReadFile(dir.Path("dgram.err"));
    for (const char* pszFile : {"hup.mwx", "nohup.mwx"}) {
        Session session;
        ASSERT_TRUE(session.Load(dir.Path(pszFile))) << pszFile;
        EXPECT_EQ(session.Concat(EK_RECEIVED_FROM_SERVER), "hello\n") << pszFile;
        EXPECT_EQ(session.Events(EK_DISCONNECT_SERVER).size(), 1u) << pszFile;
    }
    Session dgram;
    ASSERT_TRUE(dgram.Load(dir.Path("dgram.mwx")));
    EXPECT_EQ(dgram.Events(EK_DGRAM_UNBIND).size(), 1u);
}

// In keep-alive mode a client that resets while it waits its turn has no
// peer address left for getpeername when its turn comes; its connect event
// still names the host it connected from, as the first client's does.
TEST(RelayCliTest, QueuedClientThatResetsIsStillNamed)
{
    TempDir dir;
    const std::uint16_t nServer = FreePort();
    const std::uint16_t nListen = FreePort();
    testutil::WriteFile(dir.Path("server.py"), PythonListener(4, "20") +
                                                   "for n in range(2):\n"
                                                   "    c = s.accept()[0]; c.settimeout(20)\n"
                                                   "    try: c.recv(1)\n"
                                                   "    except OSError: pass\n"
                                                   "    c.close()\n");
    testutil::WriteFile(dir.Path("clients.py"),
                        "import socket, struct, sys, time\n"
                        "port = int(sys.argv[1])\n"
                        "a = socket.create_connection(('127.0.0.1', port)); a.settimeout(20)\n"
                        "b = socket.create_connection(('127.0.0.1', port))\n"
                        "time.sleep(0.5)\n"
                        "b.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack('ii', 1, 0)); b.close()\n"
                        "time.sleep(0.2); a.close()\n");
    const std::string script =
        "cd '" + dir.Root() + "'\n" + "timeout 40 python3 server.py " + std::to_string(nServer) +
        " & PY=$!\ntrap 'kill $PY 2>/dev/null' EXIT\n" + WaitListening(nServer) + "timeout -s KILL 20 '" +
        testutil::Midwire() + "' relay --listen " + std::to_string(nListen) + " --keep-alive --sessions 2 --connect 127.0.0.1:" +
        std::to_string(nServer) + " > relay.out 2> relay.err & R=$!\n" + WaitListening(nListen, "midwire") +
        "timeout 20 python3 clients.py " + std::to_string(nListen) + "\nwait $R\necho relay=$?\n";
    testutil::WriteFile(dir.Path("run.sh"), script);
    const testutil::RunResult r = RunCommand("bash '" + dir.Path("run.sh") + "'");
    EXPECT_NE(r.out.find("relay=0"), std::string::npos) << r.out << testutil::ReadFile(dir.Path("relay.err"));
    const std::string out = testutil::ReadFile(dir.Path("relay.out"));
    std::vector<std::string> hosts;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("Connect from:\t", 0) == 0)
            hosts.push_back(line.substr(14, line.find('\t', 14) - 14));
    }
    ASSERT_EQ(hosts.size(), 2u) << out;
    EXPECT_FALSE(hosts[0].empty()) << out;
    EXPECT_EQ(hosts[1], hosts[0]) << out;
    EXPECT_EQ(testutil::ReadFile(dir.Path("relay.err")).find("peer host"), std::string::npos)
        << testutil::ReadFile(dir.Path("relay.err"));
}

// A session whose list breaks data lines (a line length, kept line feeds)
// still gives one printed line of four columns per event, so that a script
// can read the lines with a pipeline under set -euo pipefail.
TEST(RelayCliTest, EventLinesStayOneEachWhateverTheSessionsLineBreaking)
{
    TempDir dir;
    ASSERT_EQ(RunCommand(testutil::Midwire() + " session new '" + dir.Path("from.mwx") + "'").status, 0);
    std::string bytes = testutil::ReadFile(dir.Path("from.mwx"));
    ASSERT_EQ(bytes.size(), 138u);
    bytes.replace(14, 4, std::string("\x04\0\0\0", 4));  // max line length 4
    bytes.replace(19, 4, std::string("\x01\0\0\0", 4));  // keep breaks
    testutil::WriteFile(dir.Path("from.mwx"), bytes);

    const std::uint16_t nServer = FreePort();
    testutil::WriteFile(dir.Path("server.py"), PythonListener(1, "20") +
                                                   "c = s.accept()[0]\n"
                                                   "c.sendall(b'hello\\r\\nworld\\tx\\nabcdefghij\\n')\n"
                                                   "c.close()\n");
    const std::string script = "set -euo pipefail\ncd '" + dir.Root() + "'\n" + "timeout 40 python3 server.py " +
                               std::to_string(nServer) + " & PY=$!\ntrap 'kill $PY 2>/dev/null || true' EXIT\n" +
                               WaitListening(nServer) + "timeout 30 '" + testutil::Midwire() +
                               "' relay --from from.mwx --connect 127.0.0.1:" + std::to_string(nServer) +
                               " --server-time-wait 10 | awk -F '\\t' '{ print NF \"|\" $1 \"|\" $4 }'\n";
    testutil::WriteFile(dir.Path("run.sh"), script);
    const testutil::RunResult r = RunCommand("bash '" + dir.Path("run.sh") + "'");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "4|Connect to:|Connected to: 127.0.0.1 port: " + std::to_string(nServer) +
                         ".\n"
                         "4|Received from:|hello[13][10]\n"
                         "4|Received from:|world[9]x[10]\n"
                         "4|Received from:|abcdefghij[10]\n"
                         "4|Disconnect to:|Connection to server: 127.0.0.1 port: " +
                         std::to_string(nServer) + " closed.\n");
}

// A peer that shuts down only its sending side still reads, and the other
// peer may answer only once it has seen that end (a server that reads a
// request to its end, a client that acknowledges a whole download): the
// relay passes the end on once everything before it got through, and the
// answer reaches the peer that ended, byte for byte, before the session
// ends. Both directions, with the default break character and without.
TEST(RelayCliTest, EndOfDataIsPassedOnAndTheAnswerToItRelayed)
{
    struct Case {
        const char* pszName;
        const char* pszServer;  // after PythonListener
        const char* pszClient;
        const char* pszOptions;
        std::string toServer;
        std::string toClient;
    };
    const std::string request = "line one\nline two\r\npartial tail";
    const std::string download = std::string("file\0contents\n", 14) + "without end";
    const Case cases[] = {
        {"the client ends its request; the server answers at the end",
         "c = s.accept()[0]; c.settimeout(20); got = b''\n"
         "while True:\n"
         "    d = c.recv(65536)\n"
         "    if not d: break\n"
         "    got += d\n"
         "c.sendall(b'GOT %d\\n' % len(got) + got[-4:]); c.close()\n",
         "import socket, sys\n"
         "c = socket.create_connection(('127.0.0.1', int(sys.argv[1]))); c.settimeout(20)\n"
         "c.sendall(b'line one\\nline two\\r\\n'); c.sendall(b'partial tail'); c.shutdown(socket.SHUT_WR)\n"
         "got = b''\n"
         "while True:\n"
         "    d = c.recv(65536)\n"
         "    if not d: break\n"
         "    got += d\n"
         "print('client got %r' % got)\n",
         "", request, "GOT 31\ntail"},
        {"the server ends a download; the client acknowledges it",
         "c = s.accept()[0]; c.settimeout(20)\n"
         "c.sendall(b'file\\0contents\\nwithout end'); c.shutdown(socket.SHUT_WR); got = b''\n"
         "while True:\n"
         "    d = c.recv(65536)\n"
         "    if not d: break\n"
         "    got += d\n"
         "print('server got %r' % got)\n",
         "import socket, sys\n"
         "c = socket.create_connection(('127.0.0.1', int(sys.argv[1]))); c.settimeout(20); got = b''\n"
         "while True:\n"
         "    d = c.recv(65536)\n"
         "    if not d: break\n"
         "    got += d\n"
         "c.sendall(b'ack %d\\n' % len(got)); c.close()\n"
         "print('client got %r' % got)\n",
         "--no-break-char", "ack 25\n", download},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        TempDir dir;
        testutil::WriteFile(dir.Path("server.py"), PythonListener(1, "20") + c.pszServer);
        testutil::WriteFile(dir.Path("client.py"), c.pszClient);
        const std::uint16_t nServer = FreePort();
        const std::uint16_t nListen = FreePort();
        testutil::WriteFile(dir.Path("run.sh"), RelayedExchangeScript(dir, nServer, nListen, c.pszOptions));
        const testutil::RunResult r = RunCommand("bash '" + dir.Path("run.sh") + "'");
        EXPECT_NE(r.out.find("relay=0"), std::string::npos) << r.out << testutil::ReadFile(dir.Path("relay.err"));
        const std::string strServerOut = testutil::ReadFile(dir.Path("server.out"));
        if (c.toClient == download) {
            EXPECT_NE(r.out.find("client got b'file\\x00contents\\nwithout end'"), std::string::npos) << r.out;
            EXPECT_NE(strServerOut.find("server got b'ack 25\\n'"), std::string::npos) << strServerOut;
        } else {
            EXPECT_NE(r.out.find("client got b'GOT 31\\ntail'"), std::string::npos) << r.out << strServerOut;
        }

        Session s;
        ASSERT_TRUE(s.Load(dir.Path("session.mwx")));
        EXPECT_EQ(s.Concat(EK_MOVED_TO_SERVER), c.toServer);
        EXPECT_EQ(s.Concat(EK_MOVED_TO_CLIENT), c.toClient);
        EXPECT_TRUE(s.Events(EK_ERROR).empty());
        EXPECT_EQ(s.Events(EK_DISCONNECT_SERVER).size(), 1u);
        EXPECT_EQ(s.Events(EK_DISCONNECT_CLIENT).size(), 1u);
        // The answer is recorded after what it answers.
        std::vector<std::uint32_t> dataKinds;
        for (const HistoryEvent* p : s.doc.m_history) {
            if ((p->m_kind == EK_MOVED_TO_SERVER || p->m_kind == EK_MOVED_TO_CLIENT) &&
                (dataKinds.empty() || dataKinds.back() != p->m_kind))
                dataKinds.push_back(p->m_kind);
        }
        const std::vector<std::uint32_t> order =
            c.toClient == download ? std::vector<std::uint32_t>{EK_MOVED_TO_CLIENT, EK_MOVED_TO_SERVER}
                                   : std::vector<std::uint32_t>{EK_MOVED_TO_SERVER, EK_MOVED_TO_CLIENT};
        EXPECT_EQ(dataKinds, order);
    }
}

// A line feed or tab in an event's text or in a host name is printed in
// brackets: it would otherwise split the line or add a column.
TEST(RelayCliTest, ControlCharactersInTextAndHostKeepTheLineWhole)
{
    CHeadlessFrontEnd frontEnd;
    frontEnd.SetEcho(false);
    CMidwireDoc doc;
    doc.OnNewDocument();
    doc.m_strServerHost = "two\nlines";
    HistoryEvent message, connect, dgram;
    message.m_kind = EK_MESSAGE;
    message.m_strText = "a\tb\r\nc [1]";
    connect.m_kind = EK_CONNECT_SERVER;
    connect.m_strText = "ok";
    dgram.m_kind = EK_DGRAM_RECEIVED;
    dgram.m_strHost = "odd\thost";
    const std::string data = "x\ny";
    AppendBytes(dgram.m_pData, dgram.m_nLength, data.data(), static_cast<std::int32_t>(data.size()));

    auto columns = [](const std::string& strLine) {
        std::vector<std::string> v(1);
        for (const char c : strLine) {
            if (c == '\t')
                v.emplace_back();
            else
                v.back() += c;
        }
        return v;
    };
    std::vector<std::string> v = columns(FormatRowLine(message));
    ASSERT_EQ(v.size(), 4u);
    EXPECT_EQ(v[0], "Message");
    EXPECT_EQ(v[3], "a[9]b[13][10]c [1]");
    v = columns(FormatRowLine(connect));
    ASSERT_EQ(v.size(), 4u);
    EXPECT_EQ(v[1], "two[10]lines");
    v = columns(FormatRowLine(dgram));
    ASSERT_EQ(v.size(), 4u);
    EXPECT_EQ(v[1], "odd[9]host");
    EXPECT_EQ(v[3], "x[10]y");
}

// A system that gives no more threads (a user at the process limit): the
// relay does not start a session without its workers but says why, closes
// both connections and fails the run, its event lines still printed; an
// export still writes its file. As root, which no process limit binds, the
// commands run as nobody.
TEST(RelayCliTest, WithoutThreadsNoSessionStartsAndLinesAndExportsStillGetOut)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers of this build start threads of their own";
#endif
    const bool bRoot = ::geteuid() == 0;
    if (bRoot && RunCommand("command -v setpriv").status != 0)
        GTEST_SKIP() << "run as root without setpriv to run the commands as an ordinary user";
    const std::string strAs = bRoot ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
    TempDir dir;
    ASSERT_EQ(::chmod(dir.Root().c_str(), 0777), 0);
    {
        Session s;
        s.doc.OnNewDocument();
        auto* p = new HistoryEvent;
        p->m_kind = EK_MOVED_TO_SERVER;
        auto* pBlock = static_cast<unsigned char*>(std::malloc(5));
        std::memcpy(pBlock, "hello", 5);
        p->AdoptData(pBlock, 5);
        s.doc.RecordEvent(p, FALSE);
        ASSERT_TRUE(s.doc.OnSaveDocument(dir.Path("s.mwx")));
        ASSERT_EQ(::chmod(dir.Path("s.mwx").c_str(), 0644), 0);
    }
    // "ulimit -u N" leaves the program N - 1 threads of its own (fewer
    // when other processes of the user run); exec, which starts it, is not
    // held to the limit.
    const auto limited = [&](int nLimit, const std::string& strArgs) {
        return "timeout -s KILL 20 " + strAs + "bash -c \"ulimit -u " + std::to_string(nLimit) + "; exec '" +
               testutil::Midwire() + "' " + strArgs + "\"";
    };
    testutil::WriteFile(dir.Path("server.py"), PythonListener(1, "10") +
                                                   "c = s.accept()[0]; c.settimeout(10)\n"
                                                   "try:\n"
                                                   "    while c.recv(4096): pass\n"
                                                   "except OSError: pass\n"
                                                   "print('server closed')\n");
    testutil::WriteFile(dir.Path("client.py"), "import socket, sys\n"
                                               "c = socket.create_connection(('127.0.0.1', int(sys.argv[1])))\n"
                                               "c.settimeout(10)\n"
                                               "try:\n"
                                               "    c.sendall(b'hello')\n"
                                               "    while c.recv(4096): pass\n"
                                               "except socket.timeout: print('client waited in vain')\n"
                                               "except OSError: pass\n"
                                               "print('client closed')\n");
    // No thread at all; then, quiet (no line writer), one thread: the client
    // worker starts and must be stopped again when the server's cannot.
    for (const auto& [nLimit, strOptions] : {std::pair<int, std::string>{0, ""}, {3, " --quiet"}}) {
        const std::uint16_t nServer = FreePort();
        const std::uint16_t nListen = FreePort();
        const std::string script =
            "cd '" + dir.Root() + "'\n" + "timeout 40 python3 server.py " + std::to_string(nServer) +
            " & PY=$!\ntrap 'kill $PY 2>/dev/null' EXIT\n" + WaitListening(nServer) +
            limited(nLimit, "relay --listen " + std::to_string(nListen) + " --connect 127.0.0.1:" +
                                std::to_string(nServer) + strOptions) +
            " > relay.out 2> relay.err & R=$!\n" + WaitListening(nListen, "midwire") +
            "timeout 30 python3 client.py " + std::to_string(nListen) + "\nwait $R\necho relay=$?\nwait $PY\n";
        testutil::WriteFile(dir.Path("run.sh"), script);
        const testutil::RunResult r = RunCommand("bash '" + dir.Path("run.sh") + "'");
        const std::string strErr = testutil::ReadFile(dir.Path("relay.err"));
        EXPECT_NE(r.out.find("relay=1"), std::string::npos) << nLimit << r.out << strErr;
        EXPECT_NE(strErr.find("Unable to start a relay worker: "), std::string::npos) << strErr;
        EXPECT_NE(r.out.find("client closed"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("waited in vain"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("server closed"), std::string::npos) << r.out;
        const std::string strOut = testutil::ReadFile(dir.Path("relay.out"));
        EXPECT_EQ(strOut.rfind("Connect from:\t", 0), 0u) << strOut;
        EXPECT_NE(strOut.find("\nConnect to:\t"), std::string::npos) << strOut;
    }

    const testutil::RunResult r =
        RunCommand("cd '" + dir.Root() + "' && " + limited(0, "export s.mwx out.txt") + " 2> export.err; echo export=$?");
    EXPECT_NE(r.out.find("export=0"), std::string::npos) << r.out << testutil::ReadFile(dir.Path("export.err"));
    EXPECT_NE(testutil::ReadFile(dir.Path("out.txt")).find("hello"), std::string::npos);
}
