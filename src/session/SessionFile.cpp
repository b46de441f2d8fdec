// Reading and writing the session file (.mwx).
//
// The file is a plain sequence of little-endian fields led by a signature
// string: the settings, the display translation, the editor text and the
// history. Saving goes to a temporary file beside the target, which replaces
// the target only when it is complete, so a cancelled or failed save never
// damages the previous file. Loading never trusts a length field.

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "session/FileInput.h"
#include "session/FileReplacement.h"
#include "session/FrontEnd.h"
#include "session/Memory.h"
#include "session/MidwireDoc.h"
#include "session/ProgressWalk.h"

namespace {

constexpr std::size_t kBufferSize = 1 << 20;

// Counts the bytes a CArchiveWriter would write for the same calls: a save
// that overwrites a file in place learns the new file's size before it
// writes anything.
class CArchiveCounter {
public:
    void Write1(std::uint8_t) { m_nSize += 1; }
    void Write4(std::uint32_t) { m_nSize += 4; }
    void WriteString(const std::string& s)
    {
        const std::size_t n = s.size();
        m_nSize += (n < 255 ? 1 : n < 0xFFFE ? 3 : 7) + n;
    }
    void WriteBytes(const void*, std::size_t n) { m_nSize += n; }
    std::uint64_t Size() const { return m_nSize; }

private:
    std::uint64_t m_nSize = 0;
};

// Buffered little-endian writer over a descriptor. Large byte runs go to the
// file directly, together with what is buffered, in one writev.
class CArchiveWriter {
public:
    // With pWait, a pipe that is full is waited for through it (the fd made
    // non-blocking by the caller), and a wait the user cancels fails the
    // writer with ECANCELED.
    explicit CArchiveWriter(int fd, CStreamWait* pWait = nullptr)
        : m_fd(fd), m_pWait(pWait), m_buffer(static_cast<char*>(std::malloc(kBufferSize)))
    {
    }
    bool Ok() const { return m_buffer && m_nError == 0; }
    int Error() const { return m_buffer ? m_nError : ENOMEM; }

    void Write1(std::uint8_t v) { Put(&v, 1); }
    void Write4(std::uint32_t v)
    {
        const unsigned char b[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                                    static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
        Put(b, 4);
    }
    void WriteString(const std::string& s)
    {
        const std::size_t n = s.size();
        if (n < 255) {
            Write1(static_cast<std::uint8_t>(n));
        } else if (n < 0xFFFE) {
            Write1(0xFF);
            const unsigned char b[2] = {static_cast<unsigned char>(n), static_cast<unsigned char>(n >> 8)};
            Put(b, 2);
        } else {
            const unsigned char b[3] = {0xFF, 0xFF, 0xFF};
            Put(b, 3);
            Write4(static_cast<std::uint32_t>(n));
        }
        WriteBytes(s.data(), n);
    }
    void WriteBytes(const void* p, std::size_t n)
    {
        if (n < kBufferSize / 4) {
            Put(p, n);
            return;
        }
        iovec iov[2] = {{m_buffer.get(), m_nUsed}, {const_cast<void*>(p), n}};
        WriteAll(iov, 2);
        m_nUsed = 0;
    }
    bool Flush()
    {
        iovec iov{m_buffer.get(), m_nUsed};
        WriteAll(&iov, 1);
        m_nUsed = 0;
        return Ok();
    }

private:
    void Put(const void* p, std::size_t n)
    {
        if (!m_buffer)
            return;
        if (m_nUsed + n > kBufferSize)
            Flush();
        std::memcpy(m_buffer.get() + m_nUsed, p, n);
        m_nUsed += n;
    }
    void WriteAll(iovec* iov, int nCount)
    {
        while (nCount > 0 && m_nError == 0) {
            const ssize_t n = ::writev(m_fd, iov, nCount);
            if (n < 0) {
                if ((errno == EAGAIN || errno == EWOULDBLOCK) && m_pWait) {
                    if (!m_pWait->Wait(m_fd, POLLOUT))
                        m_nError = ECANCELED;
                } else if (errno != EINTR) {
                    m_nError = errno;
                }
                continue;
            }
            std::size_t nLeft = static_cast<std::size_t>(n);
            StartWriteback(nLeft);
            while (nCount > 0 && nLeft >= iov->iov_len) {
                nLeft -= iov->iov_len;
                ++iov;
                --nCount;
            }
            if (nCount > 0) {
                iov->iov_base = static_cast<char*>(iov->iov_base) + nLeft;
                iov->iov_len -= nLeft;
            }
        }
    }

    // The saved file is synced before it replaces the previous one. Asking
    // the system to start writing each stretch out as soon as it is written
    // lets the disk work while the rest is made, so that the sync at the end
    // waits only for the last stretch. Where this cannot be done (a pipe, a
    // device) nothing is lost: the request only fails.
    void StartWriteback(std::size_t nWritten)
    {
        m_nWritten += nWritten;
        if (m_nWritten - m_nWrittenBack < kWritebackStretch)
            return;
        ::sync_file_range(m_fd, static_cast<off_t>(m_nWrittenBack), static_cast<off_t>(m_nWritten - m_nWrittenBack),
                          SYNC_FILE_RANGE_WRITE);
        m_nWrittenBack = m_nWritten;
    }

    static constexpr std::uint64_t kWritebackStretch = 4 << 20;
    int m_fd;
    CStreamWait* m_pWait;
    MallocBuffer m_buffer;
    std::size_t m_nUsed = 0;
    int m_nError = 0;
    std::uint64_t m_nWritten = 0;      // bytes written so far
    std::uint64_t m_nWrittenBack = 0;  // of which the system was asked to write out
};

// Buffered little-endian reader that knows how much of the file remains, so
// that no length field can make it allocate or read past the end. A stream
// (a pipe, a device) has no size to know: its strings and data blocks grow
// as their bytes arrive, so that a length field beyond what the stream
// holds ends in its early end, not in an allocation of that length.
class CArchiveReader {
public:
    CArchiveReader(int fd, std::uint64_t nFileSize)
        : m_fd(fd), m_nRemaining(nFileSize), m_buffer(static_cast<char*>(std::malloc(kBufferSize)))
    {
    }
    // A reader of a stream of unknown length.
    explicit CArchiveReader(int fd) : CArchiveReader(fd, UINT64_MAX) { m_bStream = true; }
    bool Ok() const { return m_buffer && m_nError == 0; }
    std::uint64_t Remaining() const { return m_nRemaining; }

    bool Read1(std::uint8_t& v) { return Get(&v, 1); }
    bool Read2(std::uint16_t& v)
    {
        unsigned char b[2];
        if (!Get(b, 2))
            return false;
        v = static_cast<std::uint16_t>(b[0] | (b[1] << 8));
        return true;
    }
    bool Read4(std::uint32_t& v)
    {
        unsigned char b[4];
        if (!Get(b, 4))
            return false;
        v = static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
            (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
        return true;
    }
    // Reads a string of at most nMax characters; a longer one is refused
    // before anything is allocated for it.
    bool ReadString(std::string& s, std::uint64_t nMax = UINT64_MAX)
    {
        std::uint8_t n1;
        if (!Read1(n1))
            return false;
        std::uint64_t n = n1;
        if (n1 == 0xFF) {
            std::uint16_t n2;
            if (!Read2(n2))
                return false;
            n = n2;
            if (n2 == 0xFFFE)
                return false;  // a wide-character string: not a file of this program
            if (n2 == 0xFFFF) {
                std::uint32_t n4;
                if (!Read4(n4))
                    return false;
                n = n4;
            }
        }
        if (n > m_nRemaining || n > nMax)
            return false;
        // A text as long as the file allows may still be more than the
        // process can hold: that is a failed allocation, not damage.
        try {
            if (m_bStream) {
                s.clear();
                for (std::size_t nHave = 0; nHave < n;) {
                    const std::size_t nStep = StreamStep(nHave, static_cast<std::size_t>(n));
                    s.resize(nHave + nStep);
                    if (!Get(s.data() + nHave, nStep))
                        return false;
                    nHave += nStep;
                }
                return true;
            }
            s.resize(static_cast<std::size_t>(n));
        } catch (const std::bad_alloc&) {
            m_bAllocFailed = true;
            return false;
        }
        return Get(s.data(), s.size());
    }
    // Reads n bytes into a new malloc block; false when the file ends first
    // or the block cannot be had (AllocFailed tells which).
    bool ReadBlock(std::size_t n, MallocBuffer& block)
    {
        if (!m_bStream) {
            block.reset(static_cast<char*>(std::malloc(n)));
            if (!block) {
                m_bAllocFailed = true;
                return false;
            }
            return Get(block.get(), n);
        }
        block.reset();
        for (std::size_t nHave = 0; nHave < n;) {
            const std::size_t nStep = StreamStep(nHave, n);
            char* p = static_cast<char*>(std::realloc(block.get(), nHave + nStep));
            if (!p) {
                m_bAllocFailed = true;
                return false;
            }
            block.release();
            block.reset(p);
            if (!Get(p + nHave, nStep))
                return false;
            nHave += nStep;
        }
        return true;
    }
    bool AllocFailed() const { return m_bAllocFailed; }
    // The error of a read that failed, or 0: a file that merely ends early
    // (or shrank while it was read) is damage, not a read error.
    int ReadError() const { return m_nReadError; }
    bool ReadBytes(void* p, std::size_t n) { return Get(p, n); }

private:
    // How much more of an n-byte field a stream reader takes at once, with
    // nHave read: the buffer's size at first, then as much as it holds, so
    // that the field is copied a few times at most however long it is.
    static std::size_t StreamStep(std::size_t nHave, std::size_t n)
    {
        return std::min(n - nHave, std::max(nHave, kBufferSize));
    }
    // Waits for standard input that another process made non-blocking; false
    // when the wait failed.
    bool WaitReadable()
    {
        pollfd pfd{m_fd, POLLIN, 0};
        return ::poll(&pfd, 1, -1) >= 0 || errno == EINTR;
    }
    bool Get(void* p, std::size_t n)
    {
        if (!m_buffer || n > m_nRemaining)
            return false;
        char* out = static_cast<char*>(p);
        while (n > 0) {
            if (m_nPos == m_nFill) {
                if (n >= kBufferSize)
                    return ReadDirect(out, n);
                if (!Fill())
                    return false;
            }
            const std::size_t nTake = std::min(n, m_nFill - m_nPos);
            std::memcpy(out, m_buffer.get() + m_nPos, nTake);
            m_nPos += nTake;
            out += nTake;
            n -= nTake;
            m_nRemaining -= nTake;
        }
        return true;
    }
    bool Fill()
    {
        m_nPos = m_nFill = 0;
        for (;;) {
            const ssize_t n = ::read(m_fd, m_buffer.get(), kBufferSize);
            if (n > 0) {
                m_nFill = static_cast<std::size_t>(n);
                return true;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && WaitReadable())
                continue;
            m_nError = n < 0 ? errno : EIO;  // the file shrank under us
            if (n < 0)
                m_nReadError = errno;
            return false;
        }
    }
    bool ReadDirect(char* out, std::size_t n)
    {
        while (n > 0) {
            const ssize_t r = ::read(m_fd, out, n);
            if (r > 0) {
                out += r;
                n -= static_cast<std::size_t>(r);
                m_nRemaining -= static_cast<std::size_t>(r);
                continue;
            }
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && WaitReadable())
                continue;
            m_nError = r < 0 ? errno : EIO;
            if (r < 0)
                m_nReadError = errno;
            return false;
        }
        return true;
    }

    int m_fd;
    std::uint64_t m_nRemaining;
    MallocBuffer m_buffer;
    std::size_t m_nPos = 0;
    std::size_t m_nFill = 0;
    int m_nError = 0;
    int m_nReadError = 0;
    bool m_bAllocFailed = false;
    bool m_bStream = false;
};

std::string SignatureText()
{
    return LoadStringText(IDS_SIGNATURE);
}

void ReportFileError(const std::string& strPath, const std::string& strCause)
{
    AfxMessageBox(FormatMessageText(IDS_OPEN_FILE_FAILED, strPath, strCause));
}

// The settings, the display translation and the editor text, ahead of the
// history's events; the same calls count the bytes and write them.
template <class Archive>
void WriteSessionHeader(Archive& ar, const CMidwireDoc& doc, const std::string& strEditorText)
{
    ar.WriteString(SignatureText());
    ar.Write4(static_cast<std::uint32_t>(g_nMaxLineLength));
    ar.Write1(static_cast<std::uint8_t>(g_chDisplayBreak));
    ar.Write4(static_cast<std::uint32_t>(g_bKeepBreaks));
    ar.Write4(static_cast<std::uint32_t>(doc.m_bConnectToHost));
    ar.WriteString(doc.m_strServerHost);
    ar.WriteString(doc.m_strServerPort);
    ar.Write4(static_cast<std::uint32_t>(doc.m_bHoldServerData));
    ar.Write4(static_cast<std::uint32_t>(doc.m_bAcceptConnections));
    ar.WriteString(doc.m_strListenPort);
    ar.Write4(static_cast<std::uint32_t>(doc.m_bHoldClientData));
    ar.WriteString(doc.m_strClientHost);
    ar.Write4(static_cast<std::uint32_t>(doc.m_bQuiet));
    ar.Write4(static_cast<std::uint32_t>(doc.m_bVerbose));
    ar.Write4(static_cast<std::uint32_t>(doc.m_bUseBreakChar));
    ar.Write4(static_cast<std::uint32_t>(doc.m_bKeepAlive));
    ar.Write4(static_cast<std::uint32_t>(doc.m_bVisibleScroll));
    ar.Write4(static_cast<std::uint32_t>(doc.m_bDgramVerbose));
    ar.Write4(static_cast<std::uint32_t>(doc.m_bDgramQuiet));
    ar.Write4(static_cast<std::uint32_t>(doc.m_nServerWaitRetries));
    ar.Write4(static_cast<std::uint32_t>(doc.m_nClientWaitRetries));
    ar.Write4(static_cast<std::uint32_t>(doc.m_nServerTimeWait));
    ar.Write4(static_cast<std::uint32_t>(doc.m_nClientTimeWait));
    ar.Write1(static_cast<std::uint8_t>(doc.m_chBreakChar));
    ar.Write4(static_cast<std::uint32_t>(doc.m_bDatagramActive));
    ar.WriteString(doc.m_strSendHost);
    ar.WriteString(doc.m_strSendPort);
    ar.WriteString(doc.m_strDgramPort);
    ar.Write4(static_cast<std::uint32_t>(doc.m_bSendBroadcast));
    ar.Write4(static_cast<std::uint32_t>(doc.m_bMove1));
    ar.Write4(static_cast<std::uint32_t>(doc.m_bMove2));
    ar.WriteString(doc.m_strMoveFromHost1);
    ar.WriteString(doc.m_strMoveFromHost2);
    ar.Write4(static_cast<std::uint32_t>(doc.m_bMoveBroadcast1));
    ar.Write4(static_cast<std::uint32_t>(doc.m_bMoveBroadcast2));
    ar.Write4(static_cast<std::uint32_t>(doc.m_bMoveEveryone1));
    ar.Write4(static_cast<std::uint32_t>(doc.m_bMoveEveryone2));
    ar.WriteString(doc.m_strMoveToHost1);
    ar.WriteString(doc.m_strMoveToHost2);
    ar.WriteString(doc.m_strMoveToPort1);
    ar.WriteString(doc.m_strMoveToPort2);
    ar.Write4(static_cast<std::uint32_t>(doc.m_bResolveNames));
    ar.WriteString(strEditorText);
    ar.Write4(static_cast<std::uint32_t>(doc.m_history.GetCount()));
}

template <class Archive>
void WriteSessionEvent(Archive& ar, const HistoryEvent& event)
{
    ar.Write4(event.m_kind);
    ar.Write4(static_cast<std::uint32_t>(event.m_time));
    ar.WriteString(event.m_strText);
    const std::int32_t nLength = event.m_pData ? event.m_nLength : 0;
    ar.Write4(static_cast<std::uint32_t>(nLength));
    ar.WriteString(event.m_strHost);
    if (nLength > 0)
        ar.WriteBytes(event.m_pData, static_cast<std::size_t>(nLength));
}

// The settings, the display translation and the editor text as
// WriteSessionHeader wrote them, up to the count of events. False where the
// file ends early or a text cannot be had.
bool ReadSessionSettings(CArchiveReader& ar, CMidwireDoc& doc, std::string& strEditor)
{
    auto readBool = [&](BOOL& b) {
        std::uint32_t v;
        if (!ar.Read4(v))
            return false;
        b = static_cast<BOOL>(v);
        return true;
    };
    auto readInt = [&](int& n) {
        std::uint32_t v;
        if (!ar.Read4(v))
            return false;
        n = static_cast<int>(v);
        return true;
    };
    auto readChar = [&](char& c) {
        std::uint8_t v;
        if (!ar.Read1(v))
            return false;
        c = static_cast<char>(v);
        return true;
    };
    return readInt(g_nMaxLineLength) && readChar(g_chDisplayBreak) && readBool(g_bKeepBreaks) &&
           readBool(doc.m_bConnectToHost) && ar.ReadString(doc.m_strServerHost) &&
           ar.ReadString(doc.m_strServerPort) && readBool(doc.m_bHoldServerData) &&
           readBool(doc.m_bAcceptConnections) && ar.ReadString(doc.m_strListenPort) &&
           readBool(doc.m_bHoldClientData) && ar.ReadString(doc.m_strClientHost) && readBool(doc.m_bQuiet) &&
           readBool(doc.m_bVerbose) && readBool(doc.m_bUseBreakChar) && readBool(doc.m_bKeepAlive) &&
           readBool(doc.m_bVisibleScroll) && readBool(doc.m_bDgramVerbose) && readBool(doc.m_bDgramQuiet) &&
           readInt(doc.m_nServerWaitRetries) && readInt(doc.m_nClientWaitRetries) &&
           readInt(doc.m_nServerTimeWait) && readInt(doc.m_nClientTimeWait) && readChar(doc.m_chBreakChar) &&
           readBool(doc.m_bDatagramActive) && ar.ReadString(doc.m_strSendHost) &&
           ar.ReadString(doc.m_strSendPort) && ar.ReadString(doc.m_strDgramPort) &&
           readBool(doc.m_bSendBroadcast) && readBool(doc.m_bMove1) && readBool(doc.m_bMove2) &&
           ar.ReadString(doc.m_strMoveFromHost1) && ar.ReadString(doc.m_strMoveFromHost2) &&
           readBool(doc.m_bMoveBroadcast1) && readBool(doc.m_bMoveBroadcast2) && readBool(doc.m_bMoveEveryone1) &&
           readBool(doc.m_bMoveEveryone2) && ar.ReadString(doc.m_strMoveToHost1) &&
           ar.ReadString(doc.m_strMoveToHost2) && ar.ReadString(doc.m_strMoveToPort1) &&
           ar.ReadString(doc.m_strMoveToPort2) && readBool(doc.m_bResolveNames) && ar.ReadString(strEditor);
}

enum class ERecordRead { Read, Damaged, NoMemory };

// One history record as WriteSessionEvent wrote it, into a new event.
ERecordRead ReadSessionEvent(CArchiveReader& ar, std::unique_ptr<HistoryEvent>& pEvent)
{
    // Every record costs memory beyond its bytes in the file, so a file of
    // millions of small records can outgrow the memory the process may use:
    // that ends the load like a failed data block.
    pEvent.reset(new (std::nothrow) HistoryEvent);
    if (!pEvent)
        return ERecordRead::NoMemory;
    std::uint32_t nKind = 0, nTime = 0, nLength = 0;
    if (!ar.Read4(nKind) || !ar.Read4(nTime) || !ar.ReadString(pEvent->m_strText) || !ar.Read4(nLength) ||
        !ar.ReadString(pEvent->m_strHost))
        return ar.AllocFailed() ? ERecordRead::NoMemory : ERecordRead::Damaged;
    pEvent->m_kind = nKind;
    pEvent->m_time = nTime;
    const auto nSigned = static_cast<std::int32_t>(nLength);
    if (nSigned <= 0)
        return ERecordRead::Read;
    // A length beyond the rest of the file is damage, not a reason to
    // allocate.
    if (static_cast<std::uint64_t>(nSigned) > ar.Remaining())
        return ERecordRead::Damaged;
    MallocBuffer block;
    if (!ar.ReadBlock(static_cast<std::size_t>(nSigned), block))
        return ar.AllocFailed() ? ERecordRead::NoMemory : ERecordRead::Damaged;
    pEvent->AdoptData(reinterpret_cast<unsigned char*>(block.release()), nSigned);
    return ERecordRead::Read;
}

}  // namespace

BOOL CMidwireDoc::OnSaveDocument(const std::string& strPath, bool bNoWait)
{
    if (m_bConnected) {
        AfxMessageBox(IDS_DURING_CONNECTION);
        return FALSE;
    }
    CWalkGuard guard(*this);

    CFileReplacement file;
    auto fail = [&](int nError) {
        file.Abandon();
        if (nError != 0)
            ReportFileError(strPath, std::strerror(nError));
        return FALSE;
    };
    if (const int nError = file.Open(strPath, bNoWait); nError != 0)
        return fail(nError);

    const std::string strEditorText = g_pMainFrame ? g_pMainFrame->GetEditorText() : std::string();
    // A file overwritten in place is not cut first: the space the new
    // session needs is reserved, so that a disk without room for it leaves
    // the old file as it was, and the file is cut to the new size once the
    // session is written.
    off_t nNewSize = 0;
    if (file.Overwrites()) {
        CArchiveCounter count;
        WriteSessionHeader(count, *this, strEditorText);
        for (const HistoryEvent* pEvent : m_history)
            WriteSessionEvent(count, *pEvent);
        nNewSize = static_cast<off_t>(count.Size());
        if (const int nError = file.Reserve(nNewSize); nError != 0)
            return fail(nError);
    }

    // A pipe whose reader stops reading is waited for with the window
    // responsive; a wait the user cancels ends the save as Cancel does.
    const std::unique_ptr<CStreamWait> pWait = CreateStreamWait("Please wait while saving");
    const CStreamWaitScope waitScope(file.Fd(), pWait.get(), false);  // the fd goes with the file
    // Cancelled, in the progress window or in a wait for the pipe: the
    // previous file stays as it was, unless it was being overwritten, which
    // the user is told.
    const int nCancelled = file.Overwrites() ? ECANCELED : 0;
    auto writeFailure = [nCancelled](int nError) { return nError == ECANCELED ? nCancelled : nError; };
    CArchiveWriter ar(file.Fd(), waitScope.Waiter());
    // The walk's window comes up before the header (which holds the editor
    // text) is written: a pipe that stalls there is cancelled by it too,
    // instead of by a window of the wait's own left standing beside it.
    const std::size_t nCount = m_history.GetCount();
    CProgressWalk walk(EProgressKind::PleaseWait, "Please wait while saving", 0, static_cast<std::int64_t>(nCount));
    WriteSessionHeader(ar, *this, strEditorText);
    std::size_t i = 0;
    for (const HistoryEvent* pEvent : m_history) {
        walk.Before(static_cast<std::int64_t>(i++));
        WriteSessionEvent(ar, *pEvent);
        if (!ar.Ok())
            return fail(writeFailure(ar.Error()));
        if (!walk.After())
            return fail(nCancelled);
    }
    walk.Close();
    if (!ar.Flush())
        return fail(writeFailure(ar.Error()));
    if (const int nError = file.Commit(nNewSize); nError != 0)
        return fail(nError);
    m_strPathName = strPath;
    return TRUE;
}

BOOL CMidwireDoc::OnOpenDocument(const std::string& strPath, bool bStreams)
{
    if (m_bConnected) {
        AfxMessageBox(IDS_DURING_CONNECTION);
        return FALSE;
    }
    struct stat st {};
    CFileHandle file(OpenForReading(strPath, st));
    if (file.Get() < 0) {
        ReportFileError(strPath, std::strerror(errno));
        return FALSE;
    }
    // A regular file is read within its size. A pipe, socket or device is
    // read as a stream where the caller can wait for its writer, and
    // refused as what it is where it cannot.
    const bool bRegular = S_ISREG(st.st_mode);
    if (!bRegular && !bStreams) {
        ReportFileError(strPath, "not a regular file");
        return FALSE;
    }
    // A named pipe opened before its writer would read as empty.
    if (S_ISFIFO(st.st_mode) && !WaitForPipeWriter(file.Get()) && errno != EINTR) {
        ReportFileError(strPath, std::strerror(errno));
        return FALSE;
    }
    CArchiveReader ar = bRegular ? CArchiveReader(file.Get(), static_cast<std::uint64_t>(st.st_size))
                                 : CArchiveReader(file.Get());
    const std::string strExpected = SignatureText();
    std::string strSignature;
    const bool bSignatureRead = ar.ReadString(strSignature, strExpected.size());
    // A file that cannot be read says so; it is not called a file of the
    // wrong format, and the session stays as it was.
    if (!bSignatureRead && ar.ReadError() != 0) {
        ReportFileError(strPath, std::strerror(ar.ReadError()));
        return FALSE;
    }
    if (!bSignatureRead || strSignature != strExpected) {
        AfxMessageBox(IDS_WRONG_FORMAT);
        return FALSE;
    }

    CWalkGuard guard(*this);
    // The old session's memory is left in place for the load to reuse, as
    // pages already present cost no fault; what the load does not take is
    // given back once it ends, however it ends.
    m_bRefilling = true;
    OnNewDocument();
    m_bRefilling = false;
    struct CGiveBackWhenDone {
        ~CGiveBackWhenDone() { GiveBackFreedMemory(); }
    } giveBack;
    // A read that failed is reported with its cause; a file that ends early
    // or holds impossible lengths is damaged.
    auto reportDamage = [&]() {
        ReportFileError(strPath,
                        ar.ReadError() != 0 ? std::strerror(ar.ReadError()) : "the file is truncated or damaged");
    };

    std::string strEditor;
    const bool bSettings = ReadSessionSettings(ar, *this, strEditor);
    // A session is never loaded into a running datagram relay: the flag a
    // file holds describes the session that wrote it, not this one.
    m_bDatagramActive = 0;
    // A stored text longer than the editor holds is not shown cut short;
    // the rest of the session loads, but untitled: a Save would otherwise
    // write the empty editor over the text the file holds.
    bool bEditorRefused = false;
    if (g_pMainFrame && bSettings && !g_pMainFrame->SetEditorText(strEditor)) {
        bEditorRefused = true;
        AfxMessageBox(IDS_ALLOC_FAILED);
    }
    ResolveDatagramSettings();
    if (!bSettings) {
        if (ar.AllocFailed())
            AfxMessageBox(IDS_ALLOC_FAILED);
        else
            reportDamage();
        return FALSE;
    }

    std::uint32_t nCount = 0;
    if (!ar.Read4(nCount)) {
        reportDamage();
        return FALSE;
    }
    bool bComplete = true;
    bool bAllocFailed = false;  // the events read so far stay
    bool bCancelled = false;
    {
        CProgressWalk walk(EProgressKind::PleaseWait, "Please wait while loading", 0,
                           static_cast<std::int64_t>(nCount));
        for (std::uint32_t i = 0; i < nCount; ++i) {
            walk.Before(i);
            std::unique_ptr<HistoryEvent> pEvent;
            if (const ERecordRead read = ReadSessionEvent(ar, pEvent); read != ERecordRead::Read) {
                bAllocFailed = read == ERecordRead::NoMemory;
                bComplete = read != ERecordRead::Damaged;
                break;
            }
            try {
                AddToHistory(pEvent.get());
            } catch (const std::bad_alloc&) {
                bAllocFailed = true;
                break;
            }
            pEvent.release();  // the history owns it now
            if (!walk.After()) {
                bCancelled = true;  // the events read so far stay
                break;
            }
        }
    }
    // Memory ran out: the list is not rebuilt, which would need more of it
    // for every row; the events read so far stay in the history.
    if (bAllocFailed) {
        AfxMessageBox(IDS_ALLOC_FAILED);
        return FALSE;
    }
    // The list shows what the history holds, also after a load that stopped.
    ReloadEventList();
    if (!bComplete) {
        reportDamage();
        return FALSE;
    }
    // A session cut short by Cancel, or without the file's editor text, is
    // not the file's content: it stays untitled, so that Save cannot
    // overwrite the file with part of it.
    // Standard input names no file to save back to.
    if (!bCancelled && !bEditorRefused && !IsStandardStreamName(strPath))
        m_strPathName = strPath;
    return TRUE;
}

void CMidwireDoc::ResolveDatagramSettings()
{
    m_nSendAddr = SockResolveHost(m_strSendHost);
    m_nMoveFromAddr1 = SockResolveHost(m_strMoveFromHost1);
    m_nMoveFromAddr2 = SockResolveHost(m_strMoveFromHost2);
    m_nMoveToAddr1 = SockResolveHost(m_strMoveToHost1);
    m_nMoveToAddr2 = SockResolveHost(m_strMoveToHost2);
    m_nMoveToPort1 = SockResolveUdpPort(m_strMoveToPort1);
    m_nMoveToPort2 = SockResolveUdpPort(m_strMoveToPort2);
    m_nDgramPort = SockResolveUdpPort(m_strDgramPort);
    m_nSendPort = SockResolveUdpPort(m_strSendPort);
}
