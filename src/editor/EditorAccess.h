// Whole-text access to the data editor, on the window thread.
#pragma once

#include <cstdint>
#include <string>

#include "session/Memory.h"

std::string GetEditorText();
void SetEditorText(const std::string& strText);
// The editor's text as bytes through the display translation; null and
// length 0 when nothing remains.
MallocPtr<unsigned char> GetEditorBytes(std::int32_t& nLength);
// Shows bytes in the editor through the display translation. False, with
// the editor unchanged, when memory for the translation runs out.
bool PutEditorBytes(const void* pBytes, std::int32_t nLength);
bool EditorHasText();
