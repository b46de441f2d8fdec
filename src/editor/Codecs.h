// Base64 and Quoted-Printable coders, and the four editor commands that
// convert the whole data editor with them.
#pragma once

#include <string>
#include <string_view>

class CCommandTable;
class CMidwireDoc;

// Base64 with the standard alphabet and "=" padding; a line feed after every
// 76 output characters and always one at the end (so empty input gives a
// single line feed, and input of a multiple of 57 bytes ends with two).
std::string Base64Encode(std::string_view data);
// Skips line feeds, carriage returns, tabs and blanks, and (as errors) any
// other character outside the alphabet; the first "=" ends the data. Bits of
// an unfinished last group are kept as far as they make whole bytes.
std::string Base64Decode(std::string_view text);

// Quoted-Printable: bytes 33..60 and 62..126 as they are; a blank as it is
// unless it is the last byte or stands before a line feed ("=20"); a line
// feed as it is; everything else as "=XX". A line-initial "." and the "F" of a
// line-initial "From " are escaped too. A soft line break ("=\n") follows
// any output line longer than 72 characters when more input follows that
// does not begin with a line feed. No line feed is added at the end.
std::string QuotedPrintableEncode(std::string_view data);
// Line by line: blanks and tabs at the end of a line are dropped, an "=" that
// ends a line joins it to the next, "=XX" gives one byte, every other
// character passes with its high bit cleared, and a line feed ends a line.
std::string QuotedPrintableDecode(std::string_view text);

// Encode/Decode Base64 and Encode/Decode Quoted Printable on the editor.
void RegisterCodecCommands(CCommandTable& table, CMidwireDoc& doc);
