// Buffered output of the export forms: a file created for the export, or a
// stream that is already open (standard output).
#pragma once

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "session/FileInput.h"

// Bytes are collected in a buffer; a full buffer goes to a writer thread
// while the next one fills, so that walking the history and writing the file
// overlap. Order is kept: at most one buffer is in the writer's hands, and a
// block too large for the buffer is written only after it.
class CExportOutput {
public:
    CExportOutput() = default;
    ~CExportOutput();
    CExportOutput(const CExportOutput&) = delete;
    CExportOutput& operator=(const CExportOutput&) = delete;

    // Creates (or truncates) the file; false with errno set when it cannot.
    // A named pipe is opened once a reader has it open; with bNoWait, one
    // that no reader has open is refused with ENXIO instead (a caller that
    // cannot wait without hanging its window).
    bool Create(const std::string& strPath, bool bNoWait = false);
    // Writes to a descriptor that stays open afterwards.
    void Attach(int fd);
    // After Create: a pipe whose reader stops reading is waited for through
    // pWait, on the caller's thread (a regular file keeps its writer thread
    // and is not affected). A wait the user cancels fails the output with
    // ECANCELED, which Cancelled() tells.
    void SetStreamWait(std::unique_ptr<CStreamWait> pWait);
    bool Cancelled() const { return m_nErrno.load(std::memory_order_relaxed) == ECANCELED; }

    // Buffers the bytes; false once a write has failed.
    bool Write(const void* pData, std::size_t n);
    bool Write(std::string_view s) { return Write(s.data(), s.size()); }
    // Writes what is buffered and closes an owned file; false when any write
    // or the close failed.
    bool Close();

    bool HasFailed() const { return m_nErrno.load(std::memory_order_relaxed) != 0; }
    // The cause of the first failure, as text.
    std::string GetErrorText() const;

private:
    void Open(int fd, bool bOwned);
    // Hands the filled buffer to the writer thread (starting it when needed).
    bool HandOff();
    // Waits until the writer holds no buffer.
    void WaitIdle();
    void WriterLoop();
    bool WriteAll(const char* p, std::size_t n);

    CStreamWait* Waiter() const { return m_pWaitScope ? m_pWaitScope->Waiter() : nullptr; }

    int m_fd = -1;
    bool m_bOwned = false;
    std::unique_ptr<CStreamWait> m_pWait;
    std::unique_ptr<CStreamWaitScope> m_pWaitScope;  // while m_pWait serves m_fd
    std::atomic<int> m_nErrno{0};
    std::vector<char> m_buffer;  // being filled by the caller
    std::size_t m_nUsed = 0;

    std::thread m_writer;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<char> m_out;  // in the writer's hands while m_bBusy
    std::size_t m_nOut = 0;
    bool m_bBusy = false;
    bool m_bQuit = false;
    bool m_bNoWriter = false;  // the system gave no thread: the caller writes
};

// The cause of a failed open or write, rendered for message 61472.
std::string FileErrorText(int nErrno);
