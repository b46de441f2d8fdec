// The display translation between data bytes and editable text.
//
// Bytes 32..127 stand for themselves ("[" doubled), every other byte is its
// decimal value in brackets ("[13]"). Optional line breaking follows the
// program-wide settings g_nMaxLineLength, g_chDisplayBreak and g_bKeepBreaks.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "session/Memory.h"


// Bytes to display text: a zero-terminated malloc text, null when memory runs out.
MallocPtr<char> BytesToDisplayText(const void* pBytes, std::int32_t nLength);
// The same without any line breaking, whatever the settings: every byte
// below 32 in brackets, so the text is one line with no control character.
MallocPtr<char> BytesToOneLineDisplayText(const void* pBytes, std::int32_t nLength);
// The translation into a string (empty when memory runs out or there are no bytes).
std::string BytesToDisplayString(const void* pBytes, std::int32_t nLength);
// The same for bytes of any length: texts (the editor's among them) are not
// bound by the 32-bit length of data blocks.
std::string BytesToDisplayString(std::string_view bytes);

// Display text (read up to its first NUL) to bytes: a malloc block and its
// length, or null with length 0 when the text yields no byte. Null with
// length -1 when the bytes cannot be had: memory runs out, or they would be
// more than a 32-bit data length can count.
MallocPtr<unsigned char> DisplayTextToBytes(std::string_view text, std::int32_t& nLength);
// The same as a byte string.
std::string DisplayTextToByteString(std::string_view text);

// Grows a malloc block by n bytes (allocating it when absent or empty). On
// success the block and its length are updated and the block is returned;
// when memory runs out, null is returned and block and length are unchanged.
unsigned char* AppendBytes(unsigned char*& pBlock, std::int32_t& nLength, const void* pBytes, std::int32_t n);
unsigned char* AppendByte(unsigned char*& pBlock, std::int32_t& nLength, unsigned char byte);

// Appends text as the program's text files hold it: every line feed written
// as carriage return and line feed.
void AppendWithCrLf(std::string& strOut, std::string_view text);
