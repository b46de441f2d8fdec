// Opening a file the user names for reading: a session, an editor load, a
// MIME source.
#pragma once

#include <cstddef>
#include <string>
#include <sys/stat.h>

// What a pipe or device may give at most. It has no size to check
// beforehand, so an endless source (/dev/zero, a program that never stops)
// is refused at this bound instead of filling the memory first.
constexpr std::size_t kMaxStreamBytes = std::size_t{256} << 20;

// Opens strPath for reading and fills st. The open does not wait for a
// writer: a named pipe that no program writes would otherwise hold the
// program in open() for good; reads block again afterwards, so a pipe whose
// writer is at work is read to its end. A directory is refused with EISDIR.
// The descriptor, or -1 with errno set.
int OpenForReading(const std::string& strPath, struct stat& st);
