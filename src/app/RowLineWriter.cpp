#include "app/RowLineWriter.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/CliSupport.h"
#include "session/RunningClock.h"
#include "session/SyncObjects.h"

namespace {
// The writer may be this far behind before Append waits for it.
constexpr std::size_t kMaxPending = 32u << 20;
// How long an output may take nothing before Finish gives up on it.
constexpr auto kStuckLimit = std::chrono::seconds(2);
// The most that one pass of that wait (100 ms as a rule) counts towards it.
constexpr auto kMaxStep = std::chrono::milliseconds(500);
}  // namespace

CRowLineWriter::CRowLineWriter(int fd) : m_fd(fd), m_nChunk(1u << 20)
{
    // Once a pipe, socket or terminal is writable it takes at least a page
    // without blocking; a regular file never blocks for long.
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        m_nChunk = 4096;
    try {
        m_thread = StartWorkerThread([this] { Run(); });
    } catch (const std::system_error&) {
        // No thread to be had: each line is written as it is appended.
        m_bDirect = true;
    }
}

CRowLineWriter::~CRowLineWriter()
{
    Finish(false);
}

void CRowLineWriter::Append(const std::string& strLine)
{
    if (m_bDirect) {
        std::lock_guard<std::mutex> direct(m_directLock);
        if (!m_bFailed.load())
            WriteOut(strLine + '\n');
        return;
    }
    std::unique_lock<std::mutex> lock(m_lock);
    while (m_pending.size() > kMaxPending && !m_bFailed.load() && !m_bGiveUp.load() && !TerminationSignalSeen())
        m_cv.wait_for(lock, std::chrono::milliseconds(100));
    if (m_bFailed.load() || m_bGiveUp.load() || m_bFinishing)
        return;
    m_pending += strLine;
    m_pending += '\n';
    m_cv.notify_all();
}

bool CRowLineWriter::WriteOut(const std::string& strOut)
{
    std::size_t nDone = 0;
    while (nDone < strOut.size()) {
        pollfd pfd{m_fd, POLLOUT, 0};
        const int rc = ::poll(&pfd, 1, 100);
        if (m_bGiveUp.load())
            return false;
        if (rc == 0 || (rc < 0 && errno == EINTR))
            continue;
        std::size_t nWant = std::min(m_nChunk, strOut.size() - nDone);
        // A chunk that leaves the rest for later ends after its last whole
        // line: a pipe takes a write of a page or less in one piece, so the
        // lines of another command writing into the same pipe come between
        // these lines, never inside one.
        // Only the chunk itself is searched: a line of many megabytes is
        // written in many chunks, each of which must cost its own length.
        if (nWant < strOut.size() - nDone) {
            const char* pChunk = strOut.data() + nDone;
            if (const void* pLineEnd = ::memrchr(pChunk, '\n', nWant))
                nWant = static_cast<std::size_t>(static_cast<const char*>(pLineEnd) - pChunk) + 1;
        }
        const ssize_t n = ::write(m_fd, strOut.data() + nDone, nWant);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (n < 0) {
            const int nError = errno;
            {
                std::lock_guard<std::mutex> lock(m_lock);
                m_strError = std::strerror(nError);
                m_bFailed = true;
            }
            if (nError == EPIPE)
                NoteOutputReaderGone();
            return false;
        }
        nDone += static_cast<std::size_t>(n);
        m_nWritten.fetch_add(static_cast<std::uint64_t>(n));
    }
    return true;
}

void CRowLineWriter::Run()
{
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        m_cv.wait(lock, [this] { return !m_pending.empty() || m_bFinishing; });
        if (m_pending.empty())
            return;  // finishing, and everything is out
        std::string strOut;
        strOut.swap(m_pending);
        m_bWriting = true;
        lock.unlock();
        m_cv.notify_all();  // room again for an Append that waits
        const bool bOk = WriteOut(strOut);
        lock.lock();
        m_bWriting = false;
        m_cv.notify_all();
        if (!bOk) {
            m_pending.clear();
            return;
        }
    }
}

bool CRowLineWriter::Finish(bool bGiveUpIfStuck)
{
    if (!m_thread.joinable())
        return !m_bFailed.load() && !m_bGiveUp.load();
    {
        std::unique_lock<std::mutex> lock(m_lock);
        m_bFinishing = true;
        m_cv.notify_all();
        // Only time that this process runs counts: stopped (Ctrl-Z) and
        // resumed, it gives the output the full time again rather than
        // blaming it for the pause.
        CRunningClock sinceProgress(kMaxStep);
        std::uint64_t nLastWritten = m_nWritten.load();
        while ((m_bWriting || !m_pending.empty()) && !m_bFailed.load()) {
            m_cv.wait_for(lock, std::chrono::milliseconds(100));
            if (m_nWritten.load() != nLastWritten) {
                nLastWritten = m_nWritten.load();
                sinceProgress.Restart();
            } else if (bGiveUpIfStuck && sinceProgress.Tick() >= kStuckLimit) {
                m_bGiveUp = true;
                m_strError = "the output took nothing for 2 s";
                break;
            }
        }
    }
    m_cv.notify_all();
    m_thread.join();
    return !m_bFailed.load() && !m_bGiveUp.load();
}

std::string CRowLineWriter::GetErrorText() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_strError;
}
