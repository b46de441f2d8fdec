// Playback benchmark: a recording of N request/response exchanges replayed
// as client ('midwire playback --as client --check-reply') against a local
// line server, against a small client that runs the same exchanges directly
// with the same server, in the same run. Prints both rates and their ratio.
//
// Usage: bench_playback [EXCHANGES] [DIR]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "app/HeadlessFrontEnd.h"
#include "net/Sock.h"
#include "session/MidwireDoc.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string Request(long i)
{
    return "GET item " + std::to_string(i) + "\n";
}

// The server's answer to a line: a fixed prefix and the line.
const char kAnswerPrefix[] = "ANSWER ";

// A line server on the local host address: answers every line of each
// client in turn with kAnswerPrefix + line, until it is stopped.
class LineServer {
public:
    LineServer()
    {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(SockLocalHostAddress());
        socklen_t len = sizeof addr;
        if (::bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(m_listen, 8) != 0 ||
            ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            std::perror("bench_playback: server");
            std::exit(1);
        }
        m_nPort = ntohs(addr.sin_port);
        m_thread = std::thread([this] { Run(); });
    }
    ~LineServer()
    {
        m_bStop = true;
        ::shutdown(m_listen, SHUT_RDWR);
        m_thread.join();
        ::close(m_listen);
    }
    int Port() const { return m_nPort; }

private:
    void Run()
    {
        while (!m_bStop) {
            const int c = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0)
                return;
            const int one = 1;
            ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            Serve(c);
            ::close(c);
        }
    }
    static void Serve(int c)
    {
        std::string pending, out;
        char buf[65536];
        for (;;) {
            const ssize_t n = ::recv(c, buf, sizeof buf, 0);
            if (n <= 0)
                return;
            pending.append(buf, static_cast<size_t>(n));
            out.clear();
            std::size_t nStart = 0;
            for (std::size_t nEnd; (nEnd = pending.find('\n', nStart)) != std::string::npos; nStart = nEnd + 1) {
                out += kAnswerPrefix;
                out.append(pending, nStart, nEnd + 1 - nStart);
            }
            pending.erase(0, nStart);
            if (!out.empty() && ::send(c, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size()))
                return;
        }
    }

    int m_listen = -1;
    int m_nPort = 0;
    std::atomic<bool> m_bStop{false};
    std::thread m_thread;
};

// The direct client: each request is sent once its predecessor's answer has
// arrived, as the replay does. Returns the seconds taken, or -1.
double RunDirect(int nPort, long nExchanges)
{
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(nPort));
    addr.sin_addr.s_addr = htonl(SockLocalHostAddress());
    if (::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(s);
        return -1;
    }
    const int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const auto t0 = Clock::now();
    std::string pending;
    char buf[65536];
    for (long i = 0; i < nExchanges; ++i) {
        const std::string req = Request(i);
        const std::string expected = kAnswerPrefix + req;
        if (::send(s, req.data(), req.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(req.size()))
            return -1;
        while (pending.find('\n') == std::string::npos) {
            const ssize_t n = ::recv(s, buf, sizeof buf, 0);
            if (n <= 0)
                return -1;
            pending.append(buf, static_cast<size_t>(n));
        }
        const std::size_t nEnd = pending.find('\n');
        if (pending.compare(0, nEnd + 1, expected) != 0) {
            std::fprintf(stderr, "bench_playback: wrong answer\n");
            return -1;
        }
        pending.erase(0, nEnd + 1);
    }
    const double t = Seconds(t0);
    ::close(s);
    return t;
}

// A recording of the exchanges as the relay makes it: each request moved to
// the server, each answer moved to the client, then the two disconnections.
bool WriteRecording(const std::string& path, int nPort, long nExchanges)
{
    CHeadlessFrontEnd frontEnd;
    frontEnd.SetEcho(false);
    CMidwireDoc doc;
    doc.OnNewDocument();
    doc.m_bConnectToHost = TRUE;
    doc.m_strServerHost = "127.0.0.1";
    doc.m_strServerPort = std::to_string(nPort);
    doc.m_nServerTimeWait = 10;
    doc.m_nClientTimeWait = 10;
    auto add = [&doc](std::uint32_t kind, const std::string& bytes, const std::string& text = std::string()) {
        auto* p = new HistoryEvent;
        p->m_kind = kind;
        p->m_strText = text;
        if (!bytes.empty()) {
            auto* block = static_cast<unsigned char*>(std::malloc(bytes.size()));
            std::memcpy(block, bytes.data(), bytes.size());
            p->AdoptData(block, static_cast<std::int32_t>(bytes.size()));
        }
        doc.AddToHistory(p);
    };
    add(EK_CONNECT_SERVER, std::string(), "Connected to: 127.0.0.1 port: " + std::to_string(nPort) + ".");
    for (long i = 0; i < nExchanges; ++i) {
        const std::string req = Request(i);
        add(EK_MOVED_TO_SERVER, req);
        add(EK_MOVED_TO_CLIENT, kAnswerPrefix + req);
    }
    add(EK_DISCONNECT_SERVER, std::string(), "Connection to server: 127.0.0.1 closed.");
    return doc.OnSaveDocument(path);
}

}  // namespace

int main(int argc, char** argv)
{
    const long nExchanges = argc > 1 ? std::atol(argv[1]) : 100000;
    const std::string dir = argc > 2 ? argv[2] : std::filesystem::temp_directory_path().string();
    const std::string rec = dir + "/bench-playback.mwx";
    const std::string out = dir + "/bench-playback-out.mwx";

    LineServer server;
    if (!WriteRecording(rec, server.Port(), nExchanges)) {
        std::fprintf(stderr, "bench_playback: cannot write %s\n", rec.c_str());
        return 1;
    }

    const double tDirect = RunDirect(server.Port(), nExchanges);
    if (tDirect <= 0) {
        std::fprintf(stderr, "bench_playback: the direct exchange failed\n");
        return 1;
    }

    const std::string command = std::string(MIDWIRE_BINARY) + " playback " + rec +
                                " --as client --check-reply --end-connection --timeout 900 --save " + out +
                                " >/dev/null";
    const auto t0 = Clock::now();
    const int rc = std::system(command.c_str());
    const double tPlayback = Seconds(t0);
    if (!WIFEXITED(rc) || WEXITSTATUS(rc) != 0) {
        std::fprintf(stderr, "bench_playback: the playback failed (%d)\n", rc);
        return 1;
    }

    const double rDirect = nExchanges / tDirect;
    const double rPlayback = nExchanges / tPlayback;
    std::printf("exchanges: %ld\n", nExchanges);
    std::printf("direct client:      %8.3f s  %10.0f exchanges/s\n", tDirect, rDirect);
    std::printf("playback as client: %8.3f s  %10.0f exchanges/s (process start, load and save included)\n",
                tPlayback, rPlayback);
    std::printf("playback / direct:  %8.1f %%  (goal: at least 50 %%)\n", 100.0 * rPlayback / rDirect);
    std::filesystem::remove(rec);
    std::filesystem::remove(out);
    return 0;
}
