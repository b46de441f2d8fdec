// Save Special benchmarks: the binary and text forms of a large session,
// against cp of a file of the same size in the same run.
//
// Usage: bench_export [DIR] [EVENTS] [BYTES_PER_EVENT]
// Goals: the binary form at least half as fast as cp; the text form at least
// 100 MB/s of output.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/HeadlessFrontEnd.h"
#include "export/HistoryExport.h"
#include "session/MidwireDoc.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

constexpr int kRounds = 3;

// The best of a few rounds: the figures then show the code, not a noisy
// neighbour.
template <class Fn>
double Best(Fn&& fn)
{
    double best = 1e30;
    for (int i = 0; i < kRounds; ++i) {
        const auto t0 = Clock::now();
        fn();
        best = std::min(best, Seconds(t0));
    }
    return best;
}

void Fail(const char* pszWhat)
{
    std::fprintf(stderr, "bench_export: %s failed\n", pszWhat);
    std::exit(1);
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string strDir = argc > 1 ? argv[1] : std::filesystem::temp_directory_path().string();
    const long nEvents = argc > 2 ? std::atol(argv[2]) : 1000000;
    const int nBytes = argc > 3 ? std::atoi(argv[3]) : 64;

    CHeadlessFrontEnd frontEnd;
    frontEnd.SetEcho(false);
    CMidwireDoc doc;
    doc.OnNewDocument();
    doc.m_strServerHost = "mail.example.org";
    doc.m_strClientHost = "127.0.0.1";

    // A mail-like exchange: printable lines ending in CR LF, with a status
    // event every thousand pieces.
    std::vector<unsigned char> line(static_cast<size_t>(nBytes));
    for (int i = 0; i < nBytes; ++i)
        line[static_cast<size_t>(i)] = static_cast<unsigned char>('A' + i % 26);
    if (nBytes >= 2) {
        line[static_cast<size_t>(nBytes - 2)] = '\r';
        line[static_cast<size_t>(nBytes - 1)] = '\n';
    }
    for (long i = 0; i < nEvents; ++i) {
        auto* p = new HistoryEvent;
        p->m_time = 900000000 + i / 1000;
        if (i % 1000 == 999) {
            p->m_kind = EK_MESSAGE;
            p->m_strText = "Stop waiting before sending to: mail.example.org.";
        } else {
            p->m_kind = i % 2 ? EK_MOVED_TO_SERVER : EK_MOVED_TO_CLIENT;
            auto* pBlock = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(nBytes)));
            std::memcpy(pBlock, line.data(), static_cast<size_t>(nBytes));
            p->AdoptData(pBlock, nBytes);
        }
        doc.AddToHistory(p);
    }

    const std::string strBin = strDir + "/bench-export.bin";
    const std::string strTxt = strDir + "/bench-export.txt";
    const std::string strCopy = strDir + "/bench-export-cp.bin";

    SaveSpecialOptions binary;
    binary.strPath = strBin;
    const double tBinary = Best([&] {
        if (!SaveSpecialBinary(doc, binary))
            Fail("binary export");
    });
    const auto nBinSize = std::filesystem::file_size(strBin);

    const std::string strCp = "cp " + strBin + " " + strCopy;
    const double tCp = Best([&] {
        if (std::system(strCp.c_str()) != 0)
            Fail("cp");
    });

    SaveSpecialOptions text;
    text.strPath = strTxt;
    const double tText = Best([&] {
        if (!SaveSpecialText(doc, text))
            Fail("text export");
    });
    const auto nTxtSize = std::filesystem::file_size(strTxt);

    const double mb = 1024.0 * 1024.0;
    std::printf("events: %ld of %d bytes (best of %d rounds)\n", nEvents, nBytes, kRounds);
    std::printf("binary export: %8.1f MB in %.3f s = %7.1f MB/s\n", nBinSize / mb, tBinary, nBinSize / mb / tBinary);
    std::printf("cp same file:  %8.1f MB in %.3f s = %7.1f MB/s\n", nBinSize / mb, tCp, nBinSize / mb / tCp);
    std::printf("binary / cp speed: %.0f %% (goal >= 50 %%)\n", 100.0 * tCp / tBinary);
    std::printf("text export:   %8.1f MB in %.3f s = %7.1f MB/s of output (goal >= 100 MB/s)\n", nTxtSize / mb,
                tText, nTxtSize / mb / tText);

    std::remove(strBin.c_str());
    std::remove(strTxt.c_str());
    std::remove(strCopy.c_str());
    return 0;
}
