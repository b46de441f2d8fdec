#include "export/ExportOutput.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
// Large enough that a binary export goes out in few system calls.
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

bool CExportOutput::Create(const std::string& strPath)
{
    Close();
    m_nErrno = 0;
    const int fd = ::open(strPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    m_fd = fd;
    m_bOwned = true;
    m_buffer.resize(kBufferSize);
    m_nUsed = 0;
    return true;
}

void CExportOutput::Attach(int fd)
{
    Close();
    m_nErrno = 0;
    m_fd = fd;
    m_bOwned = false;
    m_buffer.resize(kBufferSize);
    m_nUsed = 0;
}

bool CExportOutput::WriteAll(const char* p, std::size_t n)
{
    while (n > 0) {
        const ssize_t rc = ::write(m_fd, p, n);
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            m_nErrno = errno;
            return false;
        }
        p += rc;
        n -= static_cast<std::size_t>(rc);
    }
    return true;
}

bool CExportOutput::Flush()
{
    if (m_nUsed == 0)
        return !HasFailed();
    const std::size_t n = m_nUsed;
    m_nUsed = 0;
    return !HasFailed() && WriteAll(m_buffer.data(), n);
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
    if (!Flush())
        return false;
    // A block larger than the buffer goes out directly.
    if (n >= m_buffer.size())
        return WriteAll(p, n);
    std::memcpy(m_buffer.data(), p, n);
    m_nUsed = n;
    return true;
}

bool CExportOutput::Close()
{
    if (m_fd < 0)
        return !HasFailed();
    bool bOk = Flush();
    if (m_bOwned && ::close(m_fd) != 0 && bOk) {
        m_nErrno = errno;
        bOk = false;
    }
    m_fd = -1;
    m_bOwned = false;
    m_buffer.clear();
    m_buffer.shrink_to_fit();
    return bOk;
}

std::string CExportOutput::GetErrorText() const
{
    return FileErrorText(m_nErrno);
}
