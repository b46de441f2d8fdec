// Whole-text access to the data editor, on the window thread.
#pragma once

#include <cstdint>
#include <string>

#include "session/Memory.h"

std::string GetEditorText();
// False, with the editor unchanged, for a text longer than it can hold.
bool SetEditorText(const std::string& strText);
// The editor's text as bytes through the display translation; null and
// length 0 when nothing remains.
MallocPtr<unsigned char> GetEditorBytes(std::int32_t& nLength);
// Shows bytes in the editor through the display translation. False, with
// the editor unchanged, when memory for the translation runs out or the
// text is longer than the editor can hold.
bool PutEditorBytes(const void* pBytes, std::int32_t nLength);
bool EditorHasText();
