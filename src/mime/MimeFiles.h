// Whole-file reading and writing for the MIME commands and the decoding.
#pragma once

#include <string>
#include <string_view>

enum class EStoreResult { Stored, NotOpened, NotWritten };

// Creates or truncates the file and writes every byte of data. NotWritten
// when a write or the close fails (a full disk, a size limit), with the
// error number in *pnErrno; what was written stays.
EStoreResult StoreFile(const std::string& strPath, std::string_view data, int* pnErrno = nullptr);

// Whether a failed open means the file system is full (no room for another
// file, or a quota reached): unlike a name that cannot be created, that is a
// failure of the whole decoding, like a write cut short.
bool IsNoSpaceError(int nErrno);

// Keeps the first file that could not be written whole, as "path ; reason",
// in strFirst; later ones leave it as it is.
void NoteWriteError(std::string& strFirst, const std::string& strPath, int nErrno);

// Reads a whole file in binary. On failure returns false and sets strCause
// to a readable text of the reason (a directory counts as a failure).
bool LoadFile(const std::string& strPath, std::string& strData, std::string& strCause);
