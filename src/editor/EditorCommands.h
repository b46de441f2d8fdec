// The editor's own commands: Load to Editor, Save from Editor, Erase Editor.
#pragma once

#include <string>

class CCommandTable;
class CMidwireDoc;

// The filter of the editor's file dialogs.
extern const char* const kAllFilesFilter;

// Load to Editor after the file dialog: the file's bytes replace the editor
// text. On failure message 61472 is shown and the editor is left unchanged.
bool LoadFileToEditor(const std::string& strPath);
// Save from Editor after the file dialog: the editor's bytes replace the
// file. On failure message 61472 is shown and nothing is written. The
// window's command passes bNoWaitForReader: a named pipe that nobody reads
// is refused rather than waited for.
bool SaveEditorToFile(const std::string& strPath, bool bNoWaitForReader = false);

void OnLoadToEditor();
void OnSaveFromEditor();
void OnEraseEditor();

void RegisterEditorCommands(CCommandTable& table, CMidwireDoc& doc);
