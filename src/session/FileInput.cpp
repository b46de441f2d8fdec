#include "session/FileInput.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

int OpenForReading(const std::string& strPath, struct stat& st)
{
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
    struct stat st {};
    const int nNoWait =
        bNoWaitForReader && ::stat(strPath.c_str(), &st) == 0 && S_ISFIFO(st.st_mode) ? O_NONBLOCK : 0;
    const int fd = ::open(strPath.c_str(), O_WRONLY | O_CLOEXEC | nFlags | nNoWait, 0666);
    if (fd >= 0 && nNoWait != 0)
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}
