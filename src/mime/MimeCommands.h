// The four commands of the MIME menu that analyse or decode data: Analisys
// and Decoding (the data editor), File Analisys and File Decoding (a file).
#pragma once

#include <string>
#include <string_view>

class CCommandTable;
class CMidwireDoc;

// The filter of every file dialog of these commands.
extern const char* const kMimeFileFilter;

// Creates the directory strPath and decodes data into it: the raw copy and
// its ".MIME" report are named after the path's last component, the part
// files lie beside them. Returns false, writing nothing, when the directory
// cannot be created (for instance because the path exists already). A file
// that could not be written whole is named, with the reason, in
// strWriteError (empty when all went well).
bool DecodeToNewDirectory(std::string_view data, const std::string& strPath, std::string& strWriteError);

void RegisterMimeCommands(CCommandTable& table, CMidwireDoc& doc);
