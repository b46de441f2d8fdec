// Datagram forwarding: 1 000-byte datagrams on loopback received, recorded
// and moved by rule 1 of `midwire dgram`, against socat forwarding the same
// stream, in the same run.
//
// Two loads for each forwarder:
//  - windowed: at most 64 datagrams in flight (well inside the socket's
//    receive buffer), so the figure is the forwarder's own sustained rate;
//  - burst: the whole stream sent as fast as the sender can, which shows how
//    much each forwarder loses when it falls behind.
// Usage: bench_dgram [COUNT]   (default 20000 datagrams per run)

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "net/Sock.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSize = 1000;
constexpr int kWindow = 64;

std::uint32_t g_nLocal = 0;

int BoundSocket(std::uint16_t* pPort)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(g_nLocal);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    *pPort = ntohs(a.sin_port);
    return fd;
}

std::uint16_t FreePort()
{
    std::uint16_t nPort = 0;
    ::close(BoundSocket(&nPort));
    return nPort;
}

std::string Dotted()
{
    in_addr a{};
    a.s_addr = htonl(g_nLocal);
    return inet_ntoa(a);
}

pid_t Spawn(std::vector<std::string> args)
{
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

void Stop(pid_t pid)
{
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 300; ++i) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

// Sends a probe until the forwarder passes one on, so the run starts with a
// forwarder that is ready. False when nothing comes through.
bool WaitReady(int sender, int sink, std::uint16_t nPort)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(g_nLocal);
    to.sin_port = htons(nPort);
    char buf[2048];
    for (int i = 0; i < 100; ++i) {
        ::sendto(sender, "probe", 5, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        pollfd p{sink, POLLIN, 0};
        if (::poll(&p, 1, 50) == 1) {
            // Drain the probes that made it.
            while (::poll(&p, 1, 100) == 1)
                ::recv(sink, buf, sizeof buf, 0);
            return true;
        }
    }
    return false;
}

struct Result {
    long nSent = 0;
    long nReceived = 0;
    double dSeconds = 0;
    double Rate() const { return dSeconds > 0 ? static_cast<double>(nReceived) / dSeconds : 0; }
    double Loss() const { return nSent ? 100.0 * static_cast<double>(nSent - nReceived) / static_cast<double>(nSent) : 0; }
};

// One run through a forwarder listening on nPort that sends to the sink.
Result Run(int sender, int sink, std::uint16_t nPort, long nCount, bool bWindowed)
{
    std::atomic<long> nReceived{0};
    std::atomic<bool> bSenderDone{false};
    Clock::time_point tLast = Clock::now();
    std::thread receiver([&] {
        char buf[2048];
        Clock::time_point tIdleSince = Clock::now();
        for (;;) {
            pollfd p{sink, POLLIN, 0};
            if (::poll(&p, 1, 20) == 1) {
                if (::recv(sink, buf, sizeof buf, 0) == kSize) {
                    nReceived.fetch_add(1, std::memory_order_release);
                    tLast = Clock::now();
                }
                tIdleSince = Clock::now();
                if (nReceived.load() >= nCount)
                    return;
                continue;
            }
            // After the sender is done, half a second without data ends it.
            if (bSenderDone.load() && Clock::now() - tIdleSince > std::chrono::milliseconds(500))
                return;
            if (!bSenderDone.load())
                tIdleSince = Clock::now();
        }
    });

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(g_nLocal);
    to.sin_port = htons(nPort);
    std::string payload(kSize, 'd');
    Result r;
    long nGivenUp = 0;  // datagrams of a window counted as lost after a stall
    const Clock::time_point t0 = Clock::now();
    Clock::time_point tProgress = t0;
    long nSeen = 0;
    while (r.nSent < nCount) {
        if (bWindowed) {
            const long nNow = nReceived.load(std::memory_order_acquire);
            if (nNow != nSeen) {
                nSeen = nNow;
                tProgress = Clock::now();
            }
            if (r.nSent - nNow - nGivenUp >= kWindow) {
                if (Clock::now() - tProgress > std::chrono::milliseconds(200)) {
                    nGivenUp = r.nSent - nNow;
                    tProgress = Clock::now();
                }
                std::this_thread::yield();
                continue;
            }
        }
        if (::sendto(sender, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
            kSize)
            ++r.nSent;
        else
            std::this_thread::yield();
    }
    bSenderDone = true;
    receiver.join();
    r.nReceived = nReceived.load();
    r.dSeconds = std::chrono::duration<double>(tLast - t0).count();
    return r;
}

void Print(const char* pszWhat, const Result& r)
{
    std::printf("  %-34s sent %7ld  forwarded %7ld  loss %6.2f%%  %8.3f s  %10.0f datagrams/s  %7.1f MB/s\n", pszWhat,
                r.nSent, r.nReceived, r.Loss(), r.dSeconds, r.Rate(), r.Rate() * kSize / 1e6);
}

}  // namespace

int main(int argc, char** argv)
{
    const long nCount = argc > 1 ? std::atol(argv[1]) : 20000;
    g_nLocal = SockLocalHostAddress();
    if (!g_nLocal) {
        std::fprintf(stderr, "bench_dgram: the local host name does not resolve\n");
        return 1;
    }
    std::uint16_t nSinkPort = 0, nSenderPort = 0;
    const int sink = BoundSocket(&nSinkPort);
    const int sender = BoundSocket(&nSenderPort);
    const int nBuf = 4 << 20;
    ::setsockopt(sink, SOL_SOCKET, SO_RCVBUF, &nBuf, sizeof nBuf);
    const std::string strSink = Dotted() + ":" + std::to_string(nSinkPort);

    struct Forwarder {
        const char* pszName;
        std::vector<std::string> args;
    };
    std::printf("Datagram forwarding on loopback, %ld datagrams of %d bytes per run\n", nCount, kSize);
    const char* const names[3] = {"socat", "midwire (record + move, quiet)", "midwire (resolve, rows printed)"};
    Result results[2][3];
    for (int nLoad = 0; nLoad < 2; ++nLoad) {
        const bool bWindowed = nLoad == 0;
        std::printf("%s\n", bWindowed ? "windowed (64 in flight):" : "burst (as fast as the sender can):");
        for (int f = 0; f < 3; ++f) {
            const std::uint16_t nPort = FreePort();
            const std::string strPort = std::to_string(nPort);
            std::vector<std::string> args;
            if (f == 0)
                args = {"socat", "-u", "-b", "65536", "UDP4-RECV:" + strPort + ",bind=" + Dotted(),
                        "UDP4-SENDTO:" + strSink};
            else if (f == 1)
                args = {MIDWIRE_BINARY, "dgram", "--bind", strPort, "--move1", "*," + strSink, "--quiet",
                        "--no-resolve"};
            else
                args = {MIDWIRE_BINARY, "dgram", "--bind", strPort, "--move1", "*," + strSink};
            const pid_t pid = Spawn(args);
            if (pid <= 0 || !WaitReady(sender, sink, nPort)) {
                std::fprintf(stderr, "bench_dgram: %s did not start forwarding\n", names[f]);
                Stop(pid);
                return 1;
            }
            results[nLoad][f] = Run(sender, sink, nPort, nCount, bWindowed);
            Stop(pid);
            Print(names[f], results[nLoad][f]);
        }
        const Result& s = results[nLoad][0];
        const Result& m = results[nLoad][1];
        std::printf("  rate ratio midwire/socat: %.2f   loss midwire %.2f%% vs socat %.2f%%\n",
                    s.Rate() > 0 ? m.Rate() / s.Rate() : 0.0, m.Loss(), s.Loss());
    }
    ::close(sink);
    ::close(sender);
    return 0;
}
