// The MIME analysis report: a plain-text account of a message's header
// fields and structure, entity by entity, with the leaf contents shown inline
// (analysis mode) or decoded into files (decoding mode).
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "mime/MimeAdapter.h"

// Where decoding mode writes the leaf parts.
struct CMimeDecodeTarget {
    std::string strDirectory;
    // File names a part must not take from its "name" parameter (the raw
    // copy and the report beside the parts); such a part gets its numbered name.
    std::vector<std::string> reservedNames;
    // The first part file that could be opened but not written whole, as
    // "path ; reason"; empty while every write succeeds.
    mutable std::string strWriteError;
    // The part files written so far: a later part whose name is taken (two
    // parts at the same depth and index in different branches, or two with
    // the same "name") gets a numbered variant instead of overwriting it.
    mutable std::set<std::string> usedPaths;
    // For each name that was taken, the number its next variant tries first,
    // so that thousands of parts of one name do not each count up from 2.
    mutable std::map<std::string, int> nextVariant;
};

// Nesting deeper than this is reported as a leaf, whatever the entity holds.
constexpr int kMaxMimeReportDepth = 100;

// Appends the report of a message (top-level or encapsulated). pTarget null
// selects analysis mode. A top-level report is ReportMessage(root, report, 0, -1, target).
void ReportMessage(const CMimeEntity& entity, std::string& strReport, int nDepth, int nIndex,
                   const CMimeDecodeTarget* pTarget);
// Appends the report of one body part.
void ReportBodyPart(const CMimeEntity& entity, std::string& strReport, int nDepth, int nIndex,
                    const CMimeDecodeTarget* pTarget);

// The path of a part file named strName in the target's directory, made
// unique among the files of this decoding (see usedPaths) and recorded there.
std::string UniquePartPath(const CMimeDecodeTarget& target, const std::string& strName, bool bKeepExtension);

// The file name a part may take from its "name" parameter: the last
// component of the value (after any "/" or "\"), or empty when that leaves
// nothing usable ("", ".", "..", a reserved name, or one too long for a file
// name); the caller then uses the numbered name. Control characters in the
// name become "_".
std::string SafePartFileName(const std::string& strName, const std::vector<std::string>& reservedNames);
