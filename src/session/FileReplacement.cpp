#include "session/FileReplacement.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include "session/FileInput.h"

namespace {

// The file a path names once symbolic links are followed, a link to a file
// that does not exist yet included; the path itself when it is no link.
std::string FollowLinks(std::string strPath)
{
    for (int i = 0; i < 40; ++i) {  // as many links as the system follows
        std::error_code ec;
        if (!std::filesystem::is_symlink(std::filesystem::symlink_status(strPath, ec)))
            break;
        const std::filesystem::path link = std::filesystem::read_symlink(strPath, ec);
        if (ec)
            break;
        std::string strNext =
            link.is_absolute() ? link.string() : (std::filesystem::path(strPath).parent_path() / link).string();
        // The links of an open descriptor (/dev/stdout is /proc/self/fd/1)
        // read as "pipe:[N]" or "socket:[N]", which names no file, yet the
        // system follows them to the open pipe itself: such a link is
        // written through as it is, not as a new file "pipe:[N]" in /proc.
        struct stat st {};
        if (::lstat(strNext.c_str(), &st) != 0 && errno == ENOENT && ::stat(strPath.c_str(), &st) == 0)
            break;
        strPath = std::move(strNext);
    }
    return strPath;
}

// The template of a temporary file in the directory of strTarget: its name
// with ".XXXXXX" added, shortened so that the whole name still fits in a
// directory entry when the target's own name is close to the limit.
std::string TemporaryNameBeside(const std::string& strTarget)
{
    const std::size_t nSlash = strTarget.find_last_of('/');
    const std::size_t nNameAt = nSlash == std::string::npos ? 0 : nSlash + 1;
    std::string strTemp = strTarget;
    const std::size_t nMaxName = NAME_MAX - std::strlen(".XXXXXX");
    if (strTemp.size() - nNameAt > nMaxName)
        strTemp.resize(nNameAt + nMaxName);
    return strTemp + ".XXXXXX";
}

}  // namespace

int CFileReplacement::Open(const std::string& strPath, bool bNoWait)
{
    Abandon();
    m_bInPlace = m_bOverwrite = false;
    // Standard output is written where it stands, whatever it leads to: a
    // pipe, a terminal, or a file the shell opened (for appending, say),
    // which a replacement beside it would lose.
    if (IsStandardStreamName(strPath)) {
        m_strTarget = strPath;
        m_bInPlace = true;
        m_file.Reset(OpenForWriting(strPath, 0, bNoWait));
        return Fd() < 0 ? errno : 0;
    }
    m_strTarget = FollowLinks(strPath);
    struct stat st {};
    const bool bExists = ::stat(m_strTarget.c_str(), &st) == 0;
    // Only a target that does not exist yet is created; one that cannot be
    // looked at (a loop of links, say) is not replaced blindly.
    if (!bExists && errno != ENOENT)
        return errno;
    // A directory is never replaced; named with or without a closing slash,
    // it is refused with the same reason and before any temporary is made.
    if (bExists && S_ISDIR(st.st_mode))
        return EISDIR;
    m_bInPlace = bExists && !S_ISREG(st.st_mode);
    // Replacing a file needs only the right to write its directory; a file
    // the user may not write is refused, as writing it in place would be.
    if (bExists && S_ISREG(st.st_mode) && ::faccessat(AT_FDCWD, m_strTarget.c_str(), W_OK, AT_EACCESS) != 0)
        return errno;
    m_strTemp = m_bInPlace ? std::string() : TemporaryNameBeside(m_strTarget);
    m_file.Reset(m_bInPlace ? OpenForWriting(m_strTarget, O_TRUNC, bNoWait) : ::mkostemp(m_strTemp.data(), O_CLOEXEC));
    if (Fd() < 0 && !m_bInPlace && bExists && (errno == EACCES || errno == EPERM || errno == EROFS)) {
        m_strTemp.clear();
        m_file.Reset(::open(m_strTarget.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY));
        // Another process overwriting the same file waits until this one is
        // done, and the other way round, so that the file holds one whole
        // content and not parts of two; the lock goes with the close. A
        // file system without locks is written unlocked.
        m_bOverwrite = Fd() >= 0;
        if (m_bOverwrite) {
            while (::flock(Fd(), LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    if (Fd() < 0) {
        const int nError = errno;
        m_strTemp.clear();  // no temporary was made
        return nError;
    }
    if (m_bInPlace || m_bOverwrite)
        return 0;  // a node written as it is keeps its own mode

    // The mode the new file must have: that of the file it replaces, or
    // what the user's mask leaves of 0666 for a new one.
    mode_t nWantedMode = 0;
    if (bExists) {
        // The replacement keeps the owner, group and mode of the file it
        // replaces, as far as the user may give them (the owner only when
        // run as root). The mode is set while the file is still the user's
        // own, since a process without the right to change any file's mode
        // may not change it after giving the file away; the set-id bits,
        // which a change of owner clears, are set once more after it.
        nWantedMode = st.st_mode & 07777;
        ::fchmod(Fd(), nWantedMode & 0777);
        if (::fchown(Fd(), st.st_uid, st.st_gid) != 0 && ::fchown(Fd(), static_cast<uid_t>(-1), st.st_gid) != 0) {
            // Not a member of the file's group: the new file keeps the user's.
        }
        if ((nWantedMode & 07000) != 0)
            ::fchmod(Fd(), nWantedMode);
    } else {
        const mode_t nMask = ::umask(0);
        ::umask(nMask);
        nWantedMode = (0666 & ~nMask);
        ::fchmod(Fd(), nWantedMode);
    }

    // A replacement whose permissions could not be set (the temporary file
    // is created readable by the user alone) would quietly lock others out
    // of the file or open it up: it is refused and the old file kept. A
    // file system that has one mode for all its files passes this check. A
    // new file that stays private to the user takes nobody's access away,
    // and a file system with a fixed mode for new files must still save.
    if (bExists) {
        struct stat stNew {};
        if (::fstat(Fd(), &stNew) != 0) {
            const int nError = errno;
            Abandon();
            return nError;
        }
        if ((stNew.st_mode & 0777) != (nWantedMode & 0777)) {
            Abandon();
            return EPERM;
        }
    }
    return 0;
}

int CFileReplacement::Reserve(off_t nSize)
{
    if (!m_bOverwrite)
        return 0;
    int nReserve;
    while ((nReserve = ::fallocate(Fd(), 0, 0, nSize)) != 0 && errno == EINTR) {
    }
    if (nReserve != 0 && errno != EOPNOTSUPP && errno != ENOSYS) {
        const int nError = errno;
        m_file.Close();  // nothing is written: the old content stays whole
        return nError;
    }
    return 0;
}

int CFileReplacement::Commit(off_t nSize)
{
    auto fail = [this](int nError) {
        Abandon();
        return nError;
    };
    if (m_bOverwrite && ::ftruncate(Fd(), nSize) != 0)
        return fail(errno);
    // A device or pipe written in place has nothing to sync; a file
    // overwritten is synced so that a failure to store it is reported.
    if (!m_bInPlace) {
        int nSync;
        while ((nSync = ::fsync(Fd())) != 0 && errno == EINTR) {
        }
        if (nSync != 0)
            return fail(errno);
    }
    if (m_file.Close() != 0)
        return fail(errno);
    if (!m_strTemp.empty() && ::rename(m_strTemp.c_str(), m_strTarget.c_str()) != 0)
        return fail(errno);
    m_strTemp.clear();
    m_bOverwrite = false;
    return 0;
}

void CFileReplacement::Abandon()
{
    // Where nothing was written yet, the old content is still whole.
    if (m_bOverwrite && Fd() >= 0) {
        const off_t nWritten = ::lseek(Fd(), 0, SEEK_CUR);
        if (nWritten > 0 && ::ftruncate(Fd(), nWritten) != 0) {
            // The error being reported already says the file is damaged.
        }
    }
    m_file.Close();
    if (!m_strTemp.empty())
        ::unlink(m_strTemp.c_str());
    m_strTemp.clear();
}
