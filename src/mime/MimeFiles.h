// Whole-file reading and writing for the MIME commands and the decoding.
#pragma once

#include <string>
#include <string_view>

enum class EStoreResult { Stored, NotOpened, NotWritten };

// Creates or truncates the file and writes every byte of data. NotWritten
// when a write or the close fails (a full disk, a size limit), with the
// error number in *pnErrno; what was written stays.
EStoreResult StoreFile(const std::string& strPath, std::string_view data, int* pnErrno = nullptr);

// Reads a whole file in binary. On failure returns false and sets strCause
// to a readable text of the reason (a directory counts as a failure).
bool LoadFile(const std::string& strPath, std::string& strData, std::string& strCause);
