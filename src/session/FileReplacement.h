// Writing a file the user names without losing the one already there.
//
// The new content goes to a temporary file beside the target and replaces
// the target by rename only once it is complete and on the disk, so a
// cancelled or failed write leaves the previous file as it was. Where no
// temporary can be had, the target is written as it is:
//  - a device, pipe or socket is written in place, since a rename would
//    replace the node itself;
//  - a file the user may write in a directory the user may not (a shared
//    file in a system directory) is overwritten, locked against others
//    doing the same, and cut where the writing stopped should it fail.
#pragma once

#include <string>
#include <sys/types.h>

#include "session/FileInput.h"

class CFileReplacement {
public:
    CFileReplacement() = default;
    // A replacement neither committed nor abandoned is abandoned.
    ~CFileReplacement() { Abandon(); }
    CFileReplacement(const CFileReplacement&) = delete;
    CFileReplacement& operator=(const CFileReplacement&) = delete;

    // Opens the way to replace strPath, a symbolic link followed to its
    // file. A directory is refused with EISDIR, whatever its name ends in.
    // A named pipe is opened once a reader has it open; with bNoWait, one
    // that no reader has open is refused with ENXIO instead of waited for
    // (a program that cannot wait without hanging its window). 0, or the
    // errno value of the failure. "-" is standard output, written in place.
    int Open(const std::string& strPath, bool bNoWait = false);

    // Where the new content is written: the descriptor, or the name for a
    // writer that opens the file itself.
    int Fd() const { return m_file.Get(); }
    const std::string& WritePath() const { return m_strTemp.empty() ? m_strTarget : m_strTemp; }
    // The target is overwritten rather than replaced: its old content is
    // gone once writing starts.
    bool Overwrites() const { return m_bOverwrite; }

    // For a file overwritten: reserves the room the new content needs, so
    // that a disk without it leaves the old file as it was (a file system
    // that cannot reserve is written without). Nothing to do otherwise. 0,
    // or the errno value; on failure the file is left untouched and closed.
    int Reserve(off_t nSize);

    // Completes the replacement: an overwritten file is cut to nSize, the
    // content synced (a write error that the file system reports only now
    // must not replace a good file by a bad one), the file closed and the
    // temporary renamed over the target. 0, or the errno value of the
    // failure, after which the replacement is abandoned.
    int Commit(off_t nSize);

    // Gives up: the temporary is removed; a file overwritten is cut where
    // the writing stopped, so that what is left cannot be taken for whole.
    void Abandon();

private:
    CFileHandle m_file;
    std::string m_strTarget;
    std::string m_strTemp;  // empty when the target itself is written
    bool m_bInPlace = false;
    bool m_bOverwrite = false;
};
