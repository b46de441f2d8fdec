// The history list with a million rows: rows appended from a worker thread
// while the window thread runs, Reload Event List, and the list's memory per
// row. Each figure is compared with a reference measured in the same run.

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "app/CommandTable.h"
#include "app/gui/MainFrame.h"
#include "session/MidwireDoc.h"
#include "views/gui/MidwireListView.h"

namespace {

constexpr int kRows = 1000000;

// Resident memory of the process in bytes.
long long ResidentBytes()
{
    long long pages = 0, resident = 0;
    if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%lld %lld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * 4096;
}

double Seconds(std::chrono::steady_clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// Runs the window thread's event loop until done() holds, measuring the
// longest gap between ticks of a 1 ms timer: the longest stall of the loop.
double RunLoopUntil(const std::function<bool()>& done, double& dLongestStallMs)
{
    using clock = std::chrono::steady_clock;
    auto last = clock::now();
    const auto start = last;
    dLongestStallMs = 0;
    QEventLoop loop;
    QTimer tick;
    tick.setInterval(1);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const auto now = clock::now();
        dLongestStallMs = std::max(dLongestStallMs, std::chrono::duration<double, std::milli>(now - last).count());
        last = now;
        if (done())
            loop.quit();
    });
    tick.start();
    loop.exec();
    return Seconds(clock::now() - start);
}

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    std::vector<std::unique_ptr<HistoryEvent>> events(kRows);
    for (int i = 0; i < kRows; ++i) {
        events[static_cast<std::size_t>(i)] = std::make_unique<HistoryEvent>();
        events[static_cast<std::size_t>(i)]->m_kind = i % 2 ? EK_MOVED_TO_SERVER : EK_MOVED_TO_CLIENT;
        events[static_cast<std::size_t>(i)]->m_time = 1700000000 + i;
        events[static_cast<std::size_t>(i)]->m_strText = "row";
    }

    CMidwireDoc doc;
    CMainFrame frame(doc);
    doc.OnNewDocument();
    RegisterAllCommands(doc);
    frame.RegisterWindowCommands();
    frame.show();
    CEventListModel& model = frame.ListView()->Model();

    // Reference: the same worker appending to a plain vector under a lock.
    std::vector<HistoryEvent*> plain;
    std::mutex plainLock;
    double dStall = 0;
    std::atomic<bool> bDone{false};
    std::thread ref([&] {
        for (auto& p : events) {
            std::lock_guard<std::mutex> lock(plainLock);
            plain.push_back(p.get());
        }
        bDone = true;
    });
    const double dRef = RunLoopUntil([&] { return bDone.load(); }, dStall);
    ref.join();
    const double dRefStall = dStall;

    const long long nResidentBefore = ResidentBytes();
    std::thread worker([&] {
        for (auto& p : events)
            frame.AddEventRow(p.get());
    });
    const double dAppend = RunLoopUntil([&] { return model.rowCount() == kRows; }, dStall);
    worker.join();
    std::printf("append %d rows from a worker: %.3f s until all are in the model "
                "(reference, plain locked vector: %.3f s, ratio %.1f); goal <= 2 s\n",
                kRows, dAppend, dRef, dAppend / std::max(dRef, 1e-6));
    std::printf("longest stall of the window thread's event loop while appending: %.1f ms "
                "(reference, same loop beside the plain vector: %.1f ms); goal <= 50 ms\n",
                dStall, dRefStall);

    const double dResident = static_cast<double>(ResidentBytes() - nResidentBefore) / kRows;
    const double dBytes = static_cast<double>(model.GetBytesHeld()) / kRows;
    std::printf("list memory per row beyond the event: %.1f bytes (reference: one pointer, %zu bytes); "
                "goal <= 16 bytes\n",
                dBytes, sizeof(void*));
    std::printf("process memory growth per row while appending (model, view and header): %.1f bytes\n", dResident);

    // Reload Event List of the same million events, now in the history.
    frame.DeleteAllRows();
    for (auto& p : events)
        doc.AddToHistory(p.release());
    const auto t0 = std::chrono::steady_clock::now();
    frame.RunCommand(ID_VIEW_RELOAD);
    RunLoopUntil([&] { return model.rowCount() == kRows; }, dStall);
    const double dReload = Seconds(std::chrono::steady_clock::now() - t0);
    // Reference: walking the history into a plain vector.
    const auto t1 = std::chrono::steady_clock::now();
    std::vector<HistoryEvent*> walked;
    for (HistoryEvent* p : doc.m_history)
        walked.push_back(p);
    const double dWalk = Seconds(std::chrono::steady_clock::now() - t1);
    std::printf("Reload Event List of %d events: %.3f s (reference, plain walk: %.3f s, ratio %.0f); goal <= 1 s\n",
                kRows, dReload, dWalk, dReload / std::max(dWalk, 1e-6));
    std::printf("longest stall of the event loop after the reload: %.1f ms\n", dStall);
    frame.DeleteAllRows();
    return 0;
}
