// Session benchmarks: saving and loading a large session against cp of the
// same file, the memory a recorded event costs, and the display translation
// against memcpy of the same bytes.
//
// Usage: bench_session [DIR] [EVENTS] [BYTES_PER_EVENT]

#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "app/HeadlessFrontEnd.h"
#include "session/MidwireDoc.h"
#include "views/DisplayTranslation.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

HistoryEvent* MakeEvent(std::uint32_t kind, const unsigned char* data, std::int32_t n)
{
    auto* p = new HistoryEvent;
    p->m_kind = kind;
    if (n > 0) {
        auto* block = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(n)));
        std::memcpy(block, data, static_cast<size_t>(n));
        p->AdoptData(block, n);
    }
    return p;
}

void BenchSaveLoad(const std::string& dir, long nEvents, int nBytes)
{
    CHeadlessFrontEnd frontEnd;
    frontEnd.SetEcho(false);
    std::vector<unsigned char> data(static_cast<size_t>(nBytes));
    std::mt19937 rng(1);
    for (auto& b : data)
        b = static_cast<unsigned char>(rng());
    const std::string path = dir + "/bench-session.mwx";
    const std::string copy = dir + "/bench-session-cp.mwx";
    double tSave = 0, tLoad = 0, tCp = 0;
    std::uintmax_t nSize = 0;
    {
        CMidwireDoc doc;
        doc.OnNewDocument();
        for (long i = 0; i < nEvents; ++i)
            doc.AddToHistory(MakeEvent(i % 2 ? EK_MOVED_TO_SERVER : EK_MOVED_TO_CLIENT, data.data(), nBytes));
        auto t0 = Clock::now();
        if (!doc.OnSaveDocument(path)) {
            std::fprintf(stderr, "save failed\n");
            std::exit(1);
        }
        tSave = Seconds(t0);
        nSize = std::filesystem::file_size(path);
    }
    {
        const auto t0 = Clock::now();
        const std::string cmd = "cp " + path + " " + copy;
        if (std::system(cmd.c_str()) != 0)
            std::exit(1);
        tCp = Seconds(t0);
    }
    // The first load fills memory the process has not used yet, as a fresh
    // process does; the second, an Open over the loaded session, reuses the
    // memory of the session it replaces.
    double tReload = 0;
    {
        CMidwireDoc doc;
        doc.OnNewDocument();
        for (double* pTime : {&tLoad, &tReload}) {
            const auto t0 = Clock::now();
            if (!doc.OnOpenDocument(path) || doc.m_history.GetCount() != static_cast<size_t>(nEvents)) {
                std::fprintf(stderr, "load failed\n");
                std::exit(1);
            }
            *pTime = Seconds(t0);
        }
    }
    std::filesystem::remove(path);
    std::filesystem::remove(copy);
    const double mb = static_cast<double>(nSize) / 1e6;
    std::printf("session file: %ld events, %.0f MB\n", nEvents, mb);
    std::printf("  cp    %7.3f s  %8.1f MB/s\n", tCp, mb / tCp);
    std::printf("  save  %7.3f s  %8.1f MB/s  = %5.1f %% of cp (goal >= 50 %%)\n", tSave, mb / tSave,
                100.0 * tCp / tSave);
    std::printf("  load  %7.3f s  %8.1f MB/s  = %5.1f %% of cp (goal >= 50 %%), into fresh memory\n", tLoad,
                mb / tLoad, 100.0 * tCp / tLoad);
    std::printf("  load  %7.3f s  %8.1f MB/s  = %5.1f %% of cp, over a loaded session (memory reused)\n", tReload,
                mb / tReload, 100.0 * tCp / tReload);
}

void BenchEventMemory(long nEvents)
{
    CHeadlessFrontEnd frontEnd;
    frontEnd.SetEcho(false);
    CMidwireDoc doc;
    doc.OnNewDocument();
    const unsigned char data[16] = {};
    malloc_trim(0);
    const size_t before = mallinfo2().uordblks;
    for (long i = 0; i < nEvents; ++i)
        doc.RecordEvent(MakeEvent(EK_MOVED_TO_SERVER, data, 16), TRUE);
    const size_t after = mallinfo2().uordblks;
    const double perEvent = static_cast<double>(after - before) / static_cast<double>(nEvents) - 16.0;
    std::printf("memory per recorded event beyond its 16 data bytes: %.1f bytes (goal <= 160)\n", perEvent);
}

void BenchTranslation()
{
    const size_t n = 100u << 20;
    std::vector<unsigned char> bytes(n);
    std::mt19937 rng(2);
    for (auto& b : bytes)
        b = static_cast<unsigned char>(rng());
    std::vector<unsigned char> dest(n);
    auto t0 = Clock::now();
    std::memcpy(dest.data(), bytes.data(), n);
    const double tCopy = Seconds(t0);

    t0 = Clock::now();
    MallocPtr<char> text = BytesToDisplayText(bytes.data(), static_cast<std::int32_t>(n));
    const double tTo = Seconds(t0);
    const size_t nText = std::strlen(text.get());

    std::int32_t nBack = 0;
    t0 = Clock::now();
    MallocPtr<unsigned char> back = DisplayTextToBytes(std::string_view(text.get(), nText), nBack);
    const double tFrom = Seconds(t0);
    if (static_cast<size_t>(nBack) != n || std::memcmp(back.get(), bytes.data(), n) != 0) {
        std::fprintf(stderr, "translation round trip failed\n");
        std::exit(1);
    }
    std::printf("display translation of 100 MiB random bytes (text %.0f MB):\n", static_cast<double>(nText) / 1e6);
    std::printf("  memcpy              %8.1f MB/s\n", static_cast<double>(n) / 1e6 / tCopy);
    std::printf("  BytesToDisplayText  %8.1f MB/s of input (goal >= 300)\n", static_cast<double>(n) / 1e6 / tTo);
    std::printf("  DisplayTextToBytes  %8.1f MB/s of input (goal >= 300), %.1f MB/s of bytes\n",
                static_cast<double>(nText) / 1e6 / tFrom, static_cast<double>(n) / 1e6 / tFrom);
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string dir = argc > 1 ? argv[1] : std::filesystem::temp_directory_path().string();
    const long nEvents = argc > 2 ? std::atol(argv[2]) : 1000000;
    const int nBytes = argc > 3 ? std::atoi(argv[3]) : 1024;
    BenchTranslation();
    BenchEventMemory(1000000);
    BenchSaveLoad(dir, nEvents, nBytes);
    return 0;
}
