#include "session/FileInput.h"

#include <cerrno>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <unistd.h>

bool IsStandardStreamName(const std::string& strPath)
{
    return strPath == "-";
}

int DuplicateStandardDescriptor(int fd)
{
    return ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
}

bool WaitForPipeWriter(int fd)
{
    // A named pipe without a writer polls as not ready until one opens it
    // and writes or closes; a pipe that already had one is ready at once.
    pollfd pfd{fd, POLLIN, 0};
    return ::poll(&pfd, 1, -1) >= 0;
}

int OpenForReading(const std::string& strPath, struct stat& st)
{
    if (IsStandardStreamName(strPath)) {
        // The descriptor shares standard input's flags with whoever else
        // holds it: they are left as they are, and a read that finds a
        // non-blocking input empty polls it until it has more.
        const int fd = DuplicateStandardDescriptor(STDIN_FILENO);
        if (fd < 0)
            return -1;
        const int nError = ::fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
        if (nError != 0) {
            ::close(fd);
            errno = nError;
            return -1;
        }
        return fd;
    }
    const int fd = ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return -1;
    int nError = 0;
    if (::fstat(fd, &st) != 0)
        nError = errno;
    else if (S_ISDIR(st.st_mode))
        nError = EISDIR;
    if (nError != 0) {
        ::close(fd);
        errno = nError;
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

int OpenForWriting(const std::string& strPath, int nFlags, bool bNoWaitForReader)
{
    if (IsStandardStreamName(strPath))
        return DuplicateStandardDescriptor(STDOUT_FILENO);
    struct stat st {};
    const int nNoWait =
        bNoWaitForReader && ::stat(strPath.c_str(), &st) == 0 && S_ISFIFO(st.st_mode) ? O_NONBLOCK : 0;
    const int fd = ::open(strPath.c_str(), O_WRONLY | O_CLOEXEC | nFlags | nNoWait, 0666);
    if (fd >= 0 && nNoWait != 0)
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

CStreamWaitScope::CStreamWaitScope(int fd, CStreamWait* pWait, bool bRestore) : m_fd(fd)
{
    struct stat st {};
    if (!pWait || ::fstat(fd, &st) != 0)
        return;
    if (!S_ISFIFO(st.st_mode) && !S_ISSOCK(st.st_mode) && !S_ISCHR(st.st_mode))
        return;
    const int nFlags = ::fcntl(fd, F_GETFL);
    if (nFlags < 0)
        return;
    if ((nFlags & O_NONBLOCK) == 0) {
        if (::fcntl(fd, F_SETFL, nFlags | O_NONBLOCK) != 0)
            return;
        if (bRestore)
            m_nFlags = nFlags;
    }
    m_pWait = pWait;
}

CStreamWaitScope::~CStreamWaitScope()
{
    if (m_nFlags >= 0)
        ::fcntl(m_fd, F_SETFL, m_nFlags);
}

int WriteAllWaiting(int fd, const void* pData, std::size_t n, CStreamWait* pWait)
{
    const CStreamWaitScope scope(fd, pWait);
    const char* p = static_cast<const char*>(pData);
    while (n > 0) {
        const ssize_t rc = ::write(fd, p, n);
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            if ((errno == EAGAIN || errno == EWOULDBLOCK) && scope.Waiter()) {
                if (!scope.Waiter()->Wait(fd, POLLOUT))
                    return ECANCELED;
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                pollfd pfd{fd, POLLOUT, 0};
                if (::poll(&pfd, 1, -1) >= 0 || errno == EINTR)
                    continue;
            }
            return errno;
        }
        p += rc;
        n -= static_cast<std::size_t>(rc);
    }
    return 0;
}

int ReadWholeFile(const std::string& strPath, std::string& strData, std::size_t nMaxRegular, CStreamWait* pWait)
{
    strData.clear();
    struct stat st {};
    const CFileHandle file(OpenForReading(strPath, st));
    if (file.Get() < 0)
        return errno;
    const bool bRegular = S_ISREG(st.st_mode);
    const std::size_t nLimit = bRegular ? nMaxRegular : kMaxStreamBytes;
    // A file known too large is refused before anything is read.
    if (bRegular && static_cast<unsigned long long>(st.st_size) > nLimit)
        return EFBIG;
    const CStreamWaitScope scope(file.Get(), pWait);
    int nError = 0;
    try {
        if (bRegular && st.st_size > 0)
            strData.reserve(static_cast<std::size_t>(st.st_size));
        char buffer[65535];
        for (;;) {
            const ssize_t n = ::read(file.Get(), buffer, sizeof buffer);
            if (n == 0)
                break;
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                if ((errno == EAGAIN || errno == EWOULDBLOCK) && scope.Waiter()) {
                    if (scope.Waiter()->Wait(file.Get(), POLLIN))
                        continue;
                    errno = ECANCELED;
                } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
                    // Standard input that another process made non-blocking.
                    pollfd pfd{file.Get(), POLLIN, 0};
                    if (::poll(&pfd, 1, -1) >= 0 || errno == EINTR)
                        continue;
                }
                nError = errno;
                break;
            }
            // A stream, or a file that grows while it is read, past the bound.
            if (strData.size() + static_cast<std::size_t>(n) > nLimit) {
                nError = EFBIG;
                break;
            }
            strData.append(buffer, static_cast<std::size_t>(n));
        }
    } catch (const std::bad_alloc&) {
        nError = ENOMEM;
    }
    if (nError != 0) {
        strData.clear();
        strData.shrink_to_fit();
    }
    return nError;
}
