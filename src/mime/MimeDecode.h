// Decoding a MIME message into a directory, and the transfer-encoding step
// that the decoding applies to every leaf part.
#pragma once

#include <string>
#include <string_view>

// The common tail of every decoding command (MIME Decoding, File Decoding and
// the MIME form of Save Special). The caller has already created strDirectory.
//
//  1. Writes `data` unchanged to strDirectory + "/" + strName (binary).
//  2. Parses `data` as a MIME message (parsing never fails: input that is not
//     a message is taken as a message with an empty header and the whole
//     input as body).
//  3. Reports it in decoding mode: every leaf part is decoded from Base64 or
//     Quoted-Printable as its Content-Transfer-Encoding says and written into
//     strDirectory as "part<depth>.<index>", or under the plain file name of
//     its Content-Type "name" parameter when that is a safe name.
//  4. Writes the report to strDirectory + "/" + strName + ".MIME".
//
// A file that cannot be opened is passed over (a part file gets an error line
// in the report; the raw copy and the report file fail silently). A file that
// is opened but cannot be written whole (a full disk), or cannot be created
// because the file system is full, makes the call return false with
// "path ; reason" in strWriteError; a part file also gets an error line. No
// file is ever written outside strDirectory. Safe to call from any thread.
bool DecodeToDirectory(std::string_view data, const std::string& strDirectory, const std::string& strName,
                       std::string& strWriteError);

// Sets strResult to `content` decoded as the Content-Transfer-Encoding text
// says, judged by its first character only: 'b'/'B' Base64, 'q'/'Q'
// Quoted-Printable, anything else (or an empty text) a plain copy. Decoding
// errors are ignored: whatever the decoder produces is the result.
void DecodeTransferEncoding(std::string& strResult, std::string_view content, std::string_view encoding);

// The analysis report of `data` (analysis mode: leaf contents inline between
// fences), as the MIME Analisys commands show it.
std::string AnalyseMessage(std::string_view data);
