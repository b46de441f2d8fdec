// Opening a file the user names: for reading (a session, an editor load, a
// MIME source), or for writing where the target may be a named pipe; and
// reading or writing such a file whole.
#pragma once

#include <cstddef>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

// An owned file descriptor.
class CFileHandle {
public:
    explicit CFileHandle(int fd = -1) : m_fd(fd) {}
    ~CFileHandle() { Close(); }
    CFileHandle(const CFileHandle&) = delete;
    CFileHandle& operator=(const CFileHandle&) = delete;
    int Get() const { return m_fd; }
    void Reset(int fd)
    {
        Close();
        m_fd = fd;
    }
    int Close()
    {
        int rc = 0;
        if (m_fd >= 0)
            rc = ::close(m_fd);
        m_fd = -1;
        return rc;
    }

private:
    int m_fd;
};

// What a pipe or device may give at most. It has no size to check
// beforehand, so an endless source (/dev/zero, a program that never stops)
// is refused at this bound instead of filling the memory first.
constexpr std::size_t kMaxStreamBytes = std::size_t{256} << 20;

// "-", the name by which a command line gives its standard input to a
// command that reads a file, and its standard output to one that writes
// one (a file of that name is reached as ./-).
bool IsStandardStreamName(const std::string& strPath);

// Opens strPath for reading and fills st; "-" is a new descriptor of
// standard input, read from where it stands and with its flags untouched. The open does not wait for a
// writer: a named pipe that no program writes would otherwise hold the
// program in open() for good; reads block again afterwards, so a pipe whose
// writer is at work is read to its end. A directory is refused with EISDIR.
// The descriptor, or -1 with errno set.
int OpenForReading(const std::string& strPath, struct stat& st);

// Opens strPath for writing ("-": a new descriptor of standard output,
// written where it stands) with O_WRONLY | O_CLOEXEC and the extra flags
// (O_CREAT, O_TRUNC ...) otherwise, a new file with mode 0666 less the umask. With
// bNoWaitForReader, a named pipe that no program reads is refused with ENXIO
// instead of waited for: a window would hang in open() for good. Once open,
// writes block again, so a reader at work gets everything. Only a named pipe
// is opened so: for other files the flag would change more than the open.
// The descriptor, or -1 with errno set.
int OpenForWriting(const std::string& strPath, int nFlags, bool bNoWaitForReader);

// A new descriptor, not below 3, for the standard descriptor fd (O_CLOEXEC),
// or -1 with errno set.
int DuplicateStandardDescriptor(int fd);

// Waits until a named pipe opened without waiting has a writer (or data):
// a read before that would take the pipe for empty. False when a signal
// ended the wait.
bool WaitForPipeWriter(int fd);

// How a window waits for a pipe, socket or device that is not ready: the
// desktop keeps its window serviced meanwhile and lets the user cancel.
// Without one (the command line) such a wait blocks until the other end is
// ready, as a script's reader or writer is expected to be.
class CStreamWait {
public:
    virtual ~CStreamWait() = default;
    // Waits until fd is ready for nEvents (POLLIN or POLLOUT) or a short
    // while has passed; false once the user has cancelled the wait.
    virtual bool Wait(int fd, short nEvents) = 0;
};

// While it lives, a pipe, socket or device fd is non-blocking when a waiter
// is given, so that its reads and writes wait through Waiter(); a regular
// file (which never makes a reader or writer wait for another program) is
// left as it is, and Waiter() is null. The descriptor's flags are restored
// at the end, unless bRestore is false (a descriptor of the caller's own
// that may be closed before the scope ends).
class CStreamWaitScope {
public:
    CStreamWaitScope(int fd, CStreamWait* pWait, bool bRestore = true);
    ~CStreamWaitScope();
    CStreamWaitScope(const CStreamWaitScope&) = delete;
    CStreamWaitScope& operator=(const CStreamWaitScope&) = delete;
    CStreamWait* Waiter() const { return m_pWait; }

private:
    int m_fd;
    CStreamWait* m_pWait = nullptr;
    int m_nFlags = -1;  // the flags to restore, or -1
};

// Writes all n bytes to fd. A descriptor that another process made
// non-blocking (a shared pipe) is waited for when full, as a blocking write
// would be, instead of giving up with part of the bytes written. With
// pWait, a pipe that is full is waited for through it, and a wait the user
// cancels ends the write with ECANCELED. 0, or the errno of the write that
// failed.
int WriteAllWaiting(int fd, const void* pData, std::size_t n, CStreamWait* pWait = nullptr);

// Reads the file at strPath whole into strData (opened as OpenForReading
// does). A regular file larger than nMaxRegular bytes, or a pipe or device
// that gives more than kMaxStreamBytes, is refused with EFBIG; memory that
// runs out gives ENOMEM. 0, or the errno value of the failure, with strData
// empty: a read that fails half way gives nothing rather than a part. With
// pWait, a pipe whose writer has nothing to give yet is waited for through
// it, and a wait the user cancels ends the read with ECANCELED.
int ReadWholeFile(const std::string& strPath, std::string& strData, std::size_t nMaxRegular,
                  CStreamWait* pWait = nullptr);
