#include "mime/MimeFiles.h"

#include "session/FileInput.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>

EStoreResult StoreFile(const std::string& strPath, std::string_view data, int* pnErrno)
{
    // The names come from the message: one that names a named pipe must not
    // hold the decoding until some program reads it.
    CFileHandle file(OpenForWriting(strPath, O_CREAT | O_TRUNC, true));
    if (file.Get() < 0) {
        if (pnErrno)
            *pnErrno = errno;
        return EStoreResult::NotOpened;
    }
    int nError = WriteAllWaiting(file.Get(), data.data(), data.size());
    if (file.Close() != 0 && nError == 0 && errno != EINTR)
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
    // A regular file is read whole, however large; a pipe or device up to
    // its bound.
    const int nError = ReadWholeFile(strPath, strData, static_cast<std::size_t>(-1));
    if (nError != 0)
        strCause = std::strerror(nError);
    return nError == 0;
}
