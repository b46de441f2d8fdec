#include "export/ExportOutput.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "session/FileInput.h"
#include "session/SyncObjects.h"

namespace {
// Large enough that an export goes out in few system calls.
constexpr std::size_t kBufferSize = 1 << 20;
}  // namespace

std::string FileErrorText(int nErrno)
{
    return std::strerror(nErrno);
}

CExportOutput::~CExportOutput()
{
    Close();
}

void CExportOutput::Open(int fd, bool bOwned)
{
    m_fd = fd;
    m_bOwned = bOwned;
    m_nErrno = 0;
    m_buffer.resize(kBufferSize);
    m_nUsed = 0;
}

bool CExportOutput::Create(const std::string& strPath, bool bNoWait)
{
    Close();
    const int fd = OpenForWriting(strPath, O_CREAT | O_TRUNC, bNoWait);
    if (fd < 0)
        return false;
    Open(fd, true);
    return true;
}

void CExportOutput::Attach(int fd)
{
    Close();
    Open(fd, false);
}

void CExportOutput::SetStreamWait(std::unique_ptr<CStreamWait> pWait)
{
    if (m_fd < 0 || !pWait || m_writer.joinable())
        return;
    m_pWait = std::move(pWait);
    m_pWaitScope = std::make_unique<CStreamWaitScope>(m_fd, m_pWait.get());
    if (!m_pWaitScope->Waiter()) {
        m_pWaitScope.reset();
        m_pWait.reset();
    }
}

bool CExportOutput::WriteAll(const char* p, std::size_t n)
{
    // Standard output may be a pipe that another process made non-blocking:
    // a full pipe then waits for its reader instead of ending the report.
    // Only the caller's thread writes while a waiter serves the file.
    if (const int nError = WriteAllWaiting(m_fd, p, n, Waiter()); nError != 0) {
        int nExpected = 0;
        m_nErrno.compare_exchange_strong(nExpected, nError);
        return false;
    }
    return true;
}

void CExportOutput::WriterLoop()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_cv.wait(lock, [this] { return m_bBusy || m_bQuit; });
        if (!m_bBusy)
            return;
        const std::size_t n = m_nOut;
        lock.unlock();
        if (!HasFailed())
            WriteAll(m_out.data(), n);
        lock.lock();
        m_bBusy = false;
        m_cv.notify_all();
    }
}

void CExportOutput::WaitIdle()
{
    if (!m_writer.joinable())
        return;
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cv.wait(lock, [this] { return !m_bBusy; });
}

bool CExportOutput::HandOff()
{
    if (m_nUsed == 0)
        return !HasFailed();
    // A pipe waited for through the window is written here, on the window's
    // thread, which alone may serve the window meanwhile; so is everything
    // when the system gives no thread for the writer.
    if (!Waiter() && !m_writer.joinable() && !m_bNoWriter) {
        m_out.resize(kBufferSize);
        m_bQuit = false;
        try {
            m_writer = StartWorkerThread([this] { WriterLoop(); });
        } catch (const std::system_error&) {
            m_bNoWriter = true;
        }
    }
    if (!m_writer.joinable()) {
        const bool bOk = !HasFailed() && WriteAll(m_buffer.data(), m_nUsed);
        m_nUsed = 0;
        return bOk;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cv.wait(lock, [this] { return !m_bBusy; });
    if (HasFailed())
        return false;
    m_buffer.swap(m_out);
    m_nOut = m_nUsed;
    m_nUsed = 0;
    m_bBusy = true;
    m_cv.notify_all();
    return true;
}

bool CExportOutput::Write(const void* pData, std::size_t n)
{
    if (m_fd < 0 || HasFailed())
        return false;
    if (n == 0)
        return true;
    const char* p = static_cast<const char*>(pData);
    if (m_nUsed + n <= m_buffer.size()) {
        std::memcpy(m_buffer.data() + m_nUsed, p, n);
        m_nUsed += n;
        return true;
    }
    if (!HandOff())
        return false;
    if (n >= m_buffer.size()) {
        // A block larger than the buffer goes out directly, after what the
        // writer holds.
        WaitIdle();
        return !HasFailed() && WriteAll(p, n);
    }
    std::memcpy(m_buffer.data(), p, n);
    m_nUsed = n;
    return true;
}

bool CExportOutput::Close()
{
    if (m_fd < 0)
        return !HasFailed();
    HandOff();
    if (m_writer.joinable()) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bQuit = true;
        }
        m_cv.notify_all();
        m_writer.join();
    }
    m_pWaitScope.reset();
    m_pWait.reset();
    bool bOk = !HasFailed();
    if (m_bOwned && ::close(m_fd) != 0 && bOk) {
        m_nErrno = errno;
        bOk = false;
    }
    m_fd = -1;
    m_bOwned = false;
    m_nUsed = 0;
    m_buffer = std::vector<char>();
    m_out = std::vector<char>();
    return bOk;
}

std::string CExportOutput::GetErrorText() const
{
    return FileErrorText(m_nErrno.load());
}
