// Whole-file reading and writing for the MIME commands and the decoding.
#pragma once

#include <string>
#include <string_view>

// Creates or truncates the file and writes every byte of data. Returns false
// only when the file cannot be opened for output (a later write error is
// not reported, as with any stream the program writes).
bool StoreFile(const std::string& strPath, std::string_view data);

// Reads a whole file in binary. On failure returns false and sets strCause
// to a readable text of the reason (a directory counts as a failure).
bool LoadFile(const std::string& strPath, std::string& strData, std::string& strCause);
