// The relay against socat on loopback, in one run:
//  1. one-way bulk transfer (256 KiB writes and reads at the ends): direct,
//     socat with its default buffer, socat -b 65536, socat -b 262144, and
//     midwire relay without break character, quiet; in three interleaved
//     rounds, the ratios being medians of the rounds' ratios;
//  2. 100-byte lines through midwire relay with the default break character:
//     routed pieces per second;
//  3. small request/response round trips: latency added by socat and by
//     midwire relay over a direct connection;
//  4. CPU time of midwire relay while the receiving peer reads nothing.
//
// Usage: bench_relay [MiB for the bulk transfer, default 1024]

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double>(b - a).count();
}

sockaddr_in Loopback(std::uint16_t nPort)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(nPort);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

int ListenOn(std::uint16_t& nPort)
{
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = Loopback(0);
    socklen_t len = sizeof addr;
    ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(s, 16);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    nPort = ntohs(addr.sin_port);
    return s;
}

std::uint16_t FreePort()
{
    std::uint16_t nPort = 0;
    ::close(ListenOn(nPort));
    return nPort;
}

// Connects, retrying while the proxy is not listening yet (a refused attempt
// uses up nothing; a proxy serves the first connection it accepts).
int ConnectRetrying(std::uint16_t nPort)
{
    for (int i = 0; i < 500; ++i) {
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr = Loopback(nPort);
        if (::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
            return s;
        ::close(s);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::fprintf(stderr, "cannot connect to port %u\n", nPort);
    std::exit(1);
}

void NoDelay(int s)
{
    const int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// A helper process (socat or midwire) with its output discarded.
class Process {
public:
    explicit Process(const std::vector<std::string>& args)
    {
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            std::fprintf(stderr, "cannot start %s\n", argv[0]);
            std::exit(1);
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Process()
    {
        // Give it a moment to end on its own (the session is over), then stop it.
        for (int i = 0; i < 300; ++i) {
            if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    pid_t Pid() const { return m_pid; }

    // User and system CPU seconds used so far.
    double CpuSeconds() const
    {
        char path[64];
        std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(m_pid));
        FILE* f = std::fopen(path, "r");
        if (!f)
            return 0;
        char buf[4096];
        const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
        std::fclose(f);
        buf[n] = '\0';
        const char* p = std::strrchr(buf, ')');
        unsigned long utime = 0, stime = 0;
        if (p)
            std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime);
        return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    }

private:
    pid_t m_pid = -1;
};

std::vector<std::string> SocatArgs(std::uint16_t nListen, std::uint16_t nTarget, int nBuffer)
{
    std::vector<std::string> args{"socat"};
    if (nBuffer > 0) {
        args.push_back("-b");
        args.push_back(std::to_string(nBuffer));
    }
    args.push_back("TCP-LISTEN:" + std::to_string(nListen) + ",bind=127.0.0.1,reuseaddr");
    args.push_back("TCP:127.0.0.1:" + std::to_string(nTarget));
    return args;
}

std::vector<std::string> MidwireArgs(std::uint16_t nListen, std::uint16_t nTarget, bool bBreakChar)
{
    std::vector<std::string> args{MIDWIRE_BINARY, "relay", "--listen", std::to_string(nListen), "--connect",
                                  "127.0.0.1:" + std::to_string(nTarget), "--quiet", "--client-time-wait", "0",
                                  "--server-time-wait", "0"};
    if (!bBreakChar)
        args.push_back("--no-break-char");
    return args;
}

// Sends nBytes of the pattern from writer to reader through the path whose
// entry port is nEntry (the reader listens on hListen). Returns seconds.
double Transfer(int hListen, std::uint16_t nEntry, std::uint64_t nBytes, const std::string& chunk)
{
    std::atomic<bool> bReaderReady{false};
    double dSeconds = 0;
    Clock::time_point start{};
    std::thread reader([&] {
        const int s = ::accept(hListen, nullptr, nullptr);
        bReaderReady = true;
        std::vector<char> buf(256 * 1024);
        std::uint64_t nGot = 0;
        while (nGot < nBytes) {
            const ssize_t r = ::recv(s, buf.data(), buf.size(), 0);
            if (r <= 0)
                break;
            nGot += static_cast<std::uint64_t>(r);
        }
        dSeconds = Seconds(start, Clock::now());
        if (nGot < nBytes)
            std::fprintf(stderr, "short transfer: %llu of %llu bytes\n", static_cast<unsigned long long>(nGot),
                         static_cast<unsigned long long>(nBytes));
        ::close(s);
    });
    const int w = ConnectRetrying(nEntry);
    start = Clock::now();
    std::uint64_t nSent = 0;
    while (nSent < nBytes) {
        const size_t n = static_cast<size_t>(std::min<std::uint64_t>(chunk.size(), nBytes - nSent));
        const ssize_t r = ::send(w, chunk.data(), n, MSG_NOSIGNAL);
        if (r <= 0)
            break;
        nSent += static_cast<std::uint64_t>(r);
    }
    reader.join();
    ::close(w);
    return dSeconds;
}

struct BulkResult {
    double dRate;  // bytes per second
    double dCpu;   // CPU seconds of the relay process; 0 for the direct path
};

BulkResult BulkThrough(std::uint64_t nBytes, const std::string& chunk, int nSocatBuffer, bool bMidwire,
                       bool bBreakChar, bool bDirect)
{
    std::uint16_t nTarget = 0;
    const int hListen = ListenOn(nTarget);
    double dSeconds;
    double dCpu = 0;
    if (bDirect) {
        dSeconds = Transfer(hListen, nTarget, nBytes, chunk);
    } else {
        const std::uint16_t nEntry = FreePort();
        Process proxy(bMidwire ? MidwireArgs(nEntry, nTarget, bBreakChar) : SocatArgs(nEntry, nTarget, nSocatBuffer));
        dSeconds = Transfer(hListen, nEntry, nBytes, chunk);
        dCpu = proxy.CpuSeconds();
    }
    ::close(hListen);
    return {static_cast<double>(nBytes) / dSeconds, dCpu};
}

// One transfer with its figures printed on a line of their own.
BulkResult BulkOnce(const char* pszName, std::uint64_t nBytes, const std::string& chunk, int nSocatBuffer,
                    bool bMidwire, bool bBreakChar)
{
    const BulkResult r = BulkThrough(nBytes, chunk, nSocatBuffer, bMidwire, bBreakChar, false);
    std::printf("  %-28s %8.3f s  %7.3f GB/s  (relay CPU %.2f s)\n", pszName,
                static_cast<double>(nBytes) / r.dRate, r.dRate / 1e9, r.dCpu);
    std::fflush(stdout);
    return r;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

std::string Figures(const std::vector<double>& v, double dScale, const char* pszFormat)
{
    std::string s;
    char buf[32];
    for (double d : v) {
        std::snprintf(buf, sizeof buf, pszFormat, d * dScale);
        s += s.empty() ? "" : " ";
        s += buf;
    }
    return s;
}

// The bulk transfer through every path in interleaved rounds, so that a
// drift of the machine's speed falls on all paths alike; the ratios are the
// medians of the rounds' own ratios.
void CompareBulk(std::uint64_t nMiB, const std::string& chunk)
{
    constexpr int ROUNDS = 3;
    struct Path {
        const char* pszName;
        int nSocatBuffer;
        bool bMidwire;
        bool bDirect;
        std::vector<double> rates, cpus;
    };
    std::vector<Path> paths = {{"direct", 0, false, true, {}, {}},
                               {"socat (default buffer)", 0, false, false, {}, {}},
                               {"socat -b 65536", 65536, false, false, {}, {}},
                               {"socat -b 262144", 262144, false, false, {}, {}},
                               {"midwire relay", 0, true, false, {}, {}}};
    std::printf("1. One-way transfer of %llu MiB, 256 KiB writes and reads, %d interleaved rounds\n",
                static_cast<unsigned long long>(nMiB), ROUNDS);
    for (int r = 0; r < ROUNDS; ++r) {
        for (Path& path : paths) {
            const BulkResult res = BulkThrough(nMiB << 20, chunk, path.nSocatBuffer, path.bMidwire, false, path.bDirect);
            path.rates.push_back(res.dRate);
            path.cpus.push_back(res.dCpu);
        }
    }
    for (const Path& path : paths) {
        std::printf("  %-24s GB/s %s (median %.3f)", path.pszName, Figures(path.rates, 1e-9, "%.3f").c_str(),
                    Median(path.rates) / 1e9);
        if (!path.bDirect)
            std::printf("  relay CPU s %s", Figures(path.cpus, 1, "%.2f").c_str());
        std::printf("\n");
    }
    auto ratios = [&](const Path& a, const Path& b) {
        std::vector<double> v;
        for (int r = 0; r < ROUNDS; ++r)
            v.push_back(a.rates[r] / b.rates[r]);
        return v;
    };
    const Path& mid = paths[4];
    for (const Path* pOther : {&paths[3], &paths[2], &paths[0]}) {
        const std::vector<double> v = ratios(mid, *pOther);
        std::printf("  midwire / %-16s = %.2f (rounds %s)\n", pOther->pszName, Median(v), Figures(v, 1, "%.2f").c_str());
    }
}

// nTrips request/response pairs of 64 bytes through the path; seconds.
double RoundTrips(int nTrips, bool bProxy, bool bMidwire)
{
    std::uint16_t nTarget = 0;
    const int hListen = ListenOn(nTarget);
    std::thread echo([&] {
        const int s = ::accept(hListen, nullptr, nullptr);
        NoDelay(s);
        char buf[64];
        for (int i = 0; i < nTrips; ++i) {
            size_t nGot = 0;
            while (nGot < sizeof buf) {
                const ssize_t r = ::recv(s, buf + nGot, sizeof buf - nGot, 0);
                if (r <= 0)
                    return ::close(s), void();
                nGot += static_cast<size_t>(r);
            }
            ::send(s, buf, sizeof buf, MSG_NOSIGNAL);
        }
        ::close(s);
    });
    const std::uint16_t nEntry = bProxy ? FreePort() : nTarget;
    std::unique_ptr<Process> proxy;
    if (bProxy)
        proxy = std::make_unique<Process>(bMidwire ? MidwireArgs(nEntry, nTarget, true) : SocatArgs(nEntry, nTarget, 0));
    const int c = ConnectRetrying(nEntry);
    NoDelay(c);
    char msg[64];
    std::memset(msg, 'r', sizeof msg);
    msg[63] = '\n';
    // A few trips to settle, then the timed ones.
    const auto start = Clock::now();
    for (int i = 0; i < nTrips; ++i) {
        ::send(c, msg, sizeof msg, MSG_NOSIGNAL);
        size_t nGot = 0;
        char buf[64];
        while (nGot < sizeof buf) {
            const ssize_t r = ::recv(c, buf + nGot, sizeof buf - nGot, 0);
            if (r <= 0)
                break;
            nGot += static_cast<size_t>(r);
        }
    }
    const double d = Seconds(start, Clock::now());
    ::close(c);
    echo.join();
    ::close(hListen);
    return d;
}

// Round trips through the three paths, measured in interleaved rounds so
// that a drift of the machine's speed during the run falls on all three
// alike; the ratio is the median of the rounds'.
void CompareRoundTrips()
{
    constexpr int ROUNDS = 5;
    constexpr int TRIPS = 2000;
    std::printf("3. %d round trips of 64 bytes in %d interleaved rounds\n", ROUNDS * TRIPS, ROUNDS);
    double tDirect = 0, tSocat = 0, tMid = 0;
    std::vector<double> ratios;
    for (int r = 0; r < ROUNDS; ++r) {
        const double d = RoundTrips(TRIPS, false, false);
        const double s = RoundTrips(TRIPS, true, false);
        const double m = RoundTrips(TRIPS, true, true);
        tDirect += d;
        tSocat += s;
        tMid += m;
        ratios.push_back((m - d) / (s - d));
    }
    std::sort(ratios.begin(), ratios.end());
    const double nTrips = ROUNDS * TRIPS;
    std::printf("  direct %.1f us, socat %.1f us, midwire %.1f us per trip\n", tDirect / nTrips * 1e6,
                tSocat / nTrips * 1e6, tMid / nTrips * 1e6);
    std::printf("  added latency: socat %.1f us, midwire %.1f us; midwire / socat = %.2f (median of rounds %.2f)\n",
                (tSocat - tDirect) / nTrips * 1e6, (tMid - tDirect) / nTrips * 1e6,
                (tMid - tDirect) / (tSocat - tDirect), ratios[ROUNDS / 2]);
}

}  // namespace

int main(int argc, char** argv)
{
    ::signal(SIGPIPE, SIG_IGN);
    const std::uint64_t nMiB = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    const std::uint64_t nBytes = nMiB << 20;
    std::string chunk(256 * 1024, '\0');
    for (size_t i = 0; i < chunk.size(); ++i)
        chunk[i] = static_cast<char>((i * 131 + 7) & 0xFF);

    // "midwire" as second argument: only the relay's own bulk figure, for
    // profiling it.
    if (argc > 2 && std::strcmp(argv[2], "midwire") == 0) {
        BulkOnce("midwire relay", nBytes, chunk, 0, true, false);
        return 0;
    }
    // "socat" as second argument: only socat -b 262144, for comparing profiles.
    if (argc > 2 && std::strcmp(argv[2], "socat") == 0) {
        BulkOnce("socat -b 262144", nBytes, chunk, 262144, false, false);
        return 0;
    }
    // "trips" as second argument: only the round trips, for profiling them.
    if (argc > 2 && std::strcmp(argv[2], "trips") == 0) {
        CompareRoundTrips();
        return 0;
    }
    CompareBulk(nMiB, chunk);
    // "bulk" as second argument: only the one-way transfers above.
    if (argc > 2 && std::strcmp(argv[2], "bulk") == 0)
        return 0;

    const std::uint64_t nLineBytes = std::min<std::uint64_t>(nBytes, 256u << 20);
    std::string lines(256 * 1024, 'x');
    for (size_t i = 99; i < lines.size(); i += 100)
        lines[i] = '\n';
    lines.resize(lines.size() / 100 * 100);  // whole lines per write
    std::printf("2. %llu MiB of 100-byte lines, default break character\n",
                static_cast<unsigned long long>(nLineBytes >> 20));
    const std::uint64_t nLineTotal = nLineBytes / lines.size() * lines.size();
    const double dLineRate = BulkOnce("midwire relay (lines)", nLineTotal, lines, 0, true, true).dRate;
    std::printf("  routed pieces per second: %.0f\n", dLineRate / 100.0);

    CompareRoundTrips();

    std::printf("4. CPU time of midwire relay while the receiver reads nothing for 5 s\n");
    {
        std::uint16_t nTarget = 0;
        const int hListen = ListenOn(nTarget);
        const std::uint16_t nEntry = FreePort();
        Process relay(MidwireArgs(nEntry, nTarget, false));
        const int w = ConnectRetrying(nEntry);
        const int r = ::accept(hListen, nullptr, nullptr);
        // Fill every buffer on the way and some of the relay's queue.
        const std::uint64_t nFill = 32u << 20;
        std::uint64_t nSent = 0;
        while (nSent < nFill) {
            const ssize_t n = ::send(w, chunk.data(), chunk.size(), MSG_NOSIGNAL);
            if (n <= 0)
                break;
            nSent += static_cast<std::uint64_t>(n);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const double cpu0 = relay.CpuSeconds();
        std::this_thread::sleep_for(std::chrono::seconds(5));
        const double cpu1 = relay.CpuSeconds();
        std::printf("  relay CPU over 5 s: %.3f s\n", cpu1 - cpu0);
        // Drain, so that the session ends.
        ::shutdown(w, SHUT_WR);
        std::vector<char> buf(1 << 20);
        std::uint64_t nGot = 0;
        while (nGot < nSent) {
            const ssize_t n = ::recv(r, buf.data(), buf.size(), 0);
            if (n <= 0)
                break;
            nGot += static_cast<std::uint64_t>(n);
        }
        ::close(w);
        ::close(r);
        ::close(hListen);
    }
    return 0;
}
