#include "mime/MimeFiles.h"

#include "session/FileInput.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A descriptor closed when it goes out of scope.
class CFileDescriptor {
public:
    explicit CFileDescriptor(int fd) : m_fd(fd) {}
    ~CFileDescriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    CFileDescriptor(const CFileDescriptor&) = delete;
    CFileDescriptor& operator=(const CFileDescriptor&) = delete;
    int Get() const { return m_fd; }

private:
    int m_fd;
};

}  // namespace

EStoreResult StoreFile(const std::string& strPath, std::string_view data, int* pnErrno)
{
    const int fd = ::open(strPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (pnErrno)
            *pnErrno = errno;
        return EStoreResult::NotOpened;
    }
    const char* p = data.data();
    std::size_t nLeft = data.size();
    int nError = 0;
    while (nLeft > 0) {
        const ssize_t n = ::write(fd, p, nLeft);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            nError = errno;
            break;
        }
        p += n;
        nLeft -= static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0 && nError == 0 && errno != EINTR)
        nError = errno;
    if (nError != 0) {
        if (pnErrno)
            *pnErrno = nError;
        return EStoreResult::NotWritten;
    }
    return EStoreResult::Stored;
}

bool IsNoSpaceError(int nErrno)
{
    return nErrno == ENOSPC || nErrno == EDQUOT;
}

void NoteWriteError(std::string& strFirst, const std::string& strPath, int nErrno)
{
    if (strFirst.empty())
        strFirst = strPath + " ; " + std::strerror(nErrno);
}

bool LoadFile(const std::string& strPath, std::string& strData, std::string& strCause)
{
    strData.clear();
    struct stat st {};
    CFileDescriptor fd(OpenForReading(strPath, st));
    if (fd.Get() < 0) {
        strCause = std::strerror(errno);
        return false;
    }
    // A regular file is read whole, however large; a pipe or device up to
    // its bound.
    const bool bRegular = S_ISREG(st.st_mode);
    try {
        if (bRegular && st.st_size > 0)
            strData.reserve(static_cast<std::size_t>(st.st_size));
        // Chunks of at most 65535 bytes, until a read returns nothing.
        char buf[65535];
        for (;;) {
            const ssize_t n = ::read(fd.Get(), buf, sizeof buf);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                strCause = std::strerror(errno);
                return false;
            }
            if (n == 0)
                break;
            if (!bRegular && strData.size() + static_cast<std::size_t>(n) > kMaxStreamBytes) {
                strData.clear();
                strData.shrink_to_fit();
                strCause = std::strerror(EFBIG);
                return false;
            }
            strData.append(buf, static_cast<std::size_t>(n));
        }
    } catch (const std::bad_alloc&) {
        // A file larger than the memory: refused, not a crash.
        strData.clear();
        strData.shrink_to_fit();
        strCause = std::strerror(ENOMEM);
        return false;
    }
    return true;
}
