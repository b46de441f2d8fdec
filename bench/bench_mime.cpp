// MIME benchmarks: the analysis report of a large multipart message against
// the library's bare parse of the same bytes, and the Base64 and
// Quoted-Printable coders against memcpy of the same bytes.
//
// Usage: bench_mime [MIB] [PARTS]

#include <gmime/gmime.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <random>
#include <string>

#include "editor/Codecs.h"
#include "mime/MimeAdapter.h"
#include "mime/MimeDecode.h"

namespace {

using Clock = std::chrono::steady_clock;

// Wall and processor time of one run, in seconds. The processor time is
// what the work costs; the wall time also holds whatever else the machine runs.
struct Timing {
    double wall = 1e30;
    double cpu = 1e30;
};

double CpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// The best of a few runs.
Timing Best(int nRuns, const std::function<void()>& fn)
{
    Timing best;
    for (int i = 0; i < nRuns; ++i) {
        const auto start = Clock::now();
        const double cpuStart = CpuSeconds();
        fn();
        best.cpu = std::min(best.cpu, CpuSeconds() - cpuStart);
        best.wall = std::min(best.wall, std::chrono::duration<double>(Clock::now() - start).count());
    }
    return best;
}

// Mail-like text: words, blanks, line feeds, now and then a byte above 127.
std::string MakeText(std::mt19937& rng, std::size_t n)
{
    std::string s;
    s.reserve(n);
    while (s.size() < n) {
        const unsigned r = rng() % 100;
        if (r < 2)
            s += '\n';
        else if (r < 17)
            s += ' ';
        else if (r < 18)
            s += static_cast<char>(0xC0 + rng() % 32);
        else
            s += static_cast<char>('a' + rng() % 26);
    }
    return s;
}

std::string MakeMessage(std::mt19937& rng, std::size_t nBytes, int nParts)
{
    std::string msg =
        "From: Bench <bench@example.org>\nTo: a@example.org, b@example.org\nSubject: benchmark\n"
        "Message-Id: <bench.1@example.org>\nMIME-Version: 1.0\n"
        "Content-Type: multipart/mixed; boundary=\"=_bench_boundary\"\n\npreamble\n";
    const std::size_t nPerPart = nBytes / static_cast<std::size_t>(nParts);
    const std::string text = MakeText(rng, nPerPart * 2);
    for (int i = 0; i < nParts; ++i) {
        msg += "--=_bench_boundary\n";
        const std::size_t nOffset = rng() % nPerPart;
        if (i % 2) {
            msg += "Content-Type: application/octet-stream; name=\"part" + std::to_string(i) +
                   ".bin\"\nContent-Transfer-Encoding: base64\n\n";
            msg += Base64Encode(std::string_view(text).substr(nOffset, nPerPart * 3 / 4));
        } else {
            msg += "Content-Type: text/plain; charset=iso-8859-1\nContent-Transfer-Encoding: 8bit\n\n";
            msg += std::string_view(text).substr(nOffset, nPerPart);
            msg += '\n';
        }
    }
    msg += "--=_bench_boundary--\n";
    return msg;
}

void BareParse(const std::string& data)
{
    GMimeStream* pStream = g_mime_stream_mem_new_with_buffer(data.data(), data.size());
    GMimeParser* pParser = g_mime_parser_new_with_stream(pStream);
    GMimeMessage* pMessage = g_mime_parser_construct_message(pParser, nullptr);
    if (pMessage)
        g_object_unref(pMessage);
    g_object_unref(pParser);
    g_object_unref(pStream);
}

void Codec(const char* pszName, const std::string& input, std::string (*pfn)(std::string_view), const Timing& copy)
{
    std::size_t nOut = 0;
    const Timing t = Best(3, [&] { nOut = pfn(input).size(); });
    const double mbCpu = static_cast<double>(input.size()) / t.cpu / 1e6;
    const double mbWall = static_cast<double>(input.size()) / t.wall / 1e6;
    std::printf("%-20s %7.0f MB/s cpu %7.0f MB/s wall  (%zu -> %zu bytes, %.1f x memcpy)  goal >= 500 MB/s: %s\n",
                pszName, mbCpu, mbWall, input.size(), nOut, t.cpu / copy.cpu, mbCpu >= 500 ? "met" : "MISSED");
}

}  // namespace

int main(int argc, char** argv)
{
    // "codecs" as first argument: only the coders, for profiling them.
    const bool bCodecsOnly = argc > 1 && std::strcmp(argv[1], "codecs") == 0;
    const std::size_t nMiB = argc > 1 && !bCodecsOnly ? std::strtoul(argv[1], nullptr, 10) : 100;
    const int nParts = argc > 2 ? std::atoi(argv[2]) : 10000;
    const std::size_t nBytes = nMiB << 20;
    EnsureMimeLibrary();
    std::mt19937 rng(42);

    if (!bCodecsOnly) {
    const std::string msg = MakeMessage(rng, nBytes, nParts);
    std::printf("Message: %zu bytes, %d parts\n", msg.size(), nParts);
    const Timing tParse = Best(3, [&] { BareParse(msg); });
    std::size_t nReport = 0;
    const Timing tReport = Best(3, [&] { nReport = AnalyseMessage(msg).size(); });
    const double ratio = tReport.cpu / tParse.cpu;
    std::printf("%-20s %7.3f s cpu %7.3f s wall\n", "library bare parse", tParse.cpu, tParse.wall);
    std::printf("%-20s %7.3f s cpu %7.3f s wall  (report %zu bytes)\n", "analysis report", tReport.cpu, tReport.wall,
                nReport);
    std::printf("%-20s %7.2f x cpu %7.2f x wall  goal <= 1.5: %s\n", "report / parse", ratio,
                tReport.wall / tParse.wall, ratio <= 1.5 ? "met" : "MISSED");
    }

    const std::string binary = [&] {
        std::string s(nBytes, '\0');
        for (auto& c : s)
            c = static_cast<char>(rng());
        return s;
    }();
    const std::string text = MakeText(rng, nBytes);
    std::string copy(nBytes, '\0');
    const Timing tCopy = Best(3, [&] { std::memcpy(copy.data(), binary.data(), nBytes); });
    std::printf("%-20s %7.0f MB/s cpu\n", "memcpy", static_cast<double>(nBytes) / tCopy.cpu / 1e6);

    const std::string b64 = Base64Encode(binary);
    const std::string qpText = QuotedPrintableEncode(text);
    const std::string qpBinary = QuotedPrintableEncode(binary);
    Codec("base64 encode", binary, Base64Encode, tCopy);
    Codec("base64 decode", b64, Base64Decode, tCopy);
    Codec("qp encode (text)", text, QuotedPrintableEncode, tCopy);
    Codec("qp decode (text)", qpText, QuotedPrintableDecode, tCopy);
    Codec("qp encode (binary)", binary, QuotedPrintableEncode, tCopy);
    Codec("qp decode (binary)", qpBinary, QuotedPrintableDecode, tCopy);
    return 0;
}
