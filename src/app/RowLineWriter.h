// Event lines on their way to an output, written by a thread of their own.
//
// The threads that record events (relay workers, the event loop) only append
// to a buffer and never wait for the output: a terminal that scrolls slowly
// or a pipe that nobody reads must not hold up a relay, nor keep a signal
// from ending it. The writer waits for the output to take more before each
// write, so it can also give up on an output that takes nothing.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

class CRowLineWriter {
public:
    explicit CRowLineWriter(int fd);
    ~CRowLineWriter();
    CRowLineWriter(const CRowLineWriter&) = delete;
    CRowLineWriter& operator=(const CRowLineWriter&) = delete;

    // Adds a line and its line feed. Waits only while the writer is far
    // behind (so that a slow output still slows a fast relay rather than
    // filling memory), and never once a termination signal has come.
    void Append(const std::string& strLine);

    // Writes out everything appended and ends the writer. With
    // bGiveUpIfStuck, lines that the output takes nothing of for a while are
    // given up. False when a write failed or lines were given up; the reason
    // is then in GetErrorText.
    bool Finish(bool bGiveUpIfStuck);
    std::string GetErrorText() const;

private:
    void Run();
    bool WriteOut(const std::string& strOut);

    const int m_fd;
    std::size_t m_nChunk;  // bytes per write: what a pipe takes without blocking once it is writable
    mutable std::mutex m_lock;
    std::condition_variable m_cv;
    std::string m_pending;          // under m_lock
    bool m_bWriting = false;        // under m_lock: the writer holds lines it took
    bool m_bFinishing = false;      // under m_lock
    std::string m_strError;         // under m_lock
    std::atomic<bool> m_bFailed{false};
    std::atomic<bool> m_bGiveUp{false};
    std::atomic<std::uint64_t> m_nWritten{0};
    std::thread m_thread;
    bool m_bDirect = false;   // no writer thread: Append writes, one caller at a time
    std::mutex m_directLock;
};
