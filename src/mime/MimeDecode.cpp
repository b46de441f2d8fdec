#include "mime/MimeDecode.h"

#include <algorithm>

#include "editor/Codecs.h"
#include "mime/MimeAdapter.h"
#include "mime/MimeFiles.h"
#include "mime/MimeReport.h"
#include "views/DisplayTranslation.h"

void DecodeTransferEncoding(std::string& strResult, std::string_view content, std::string_view encoding)
{
    // Only the first letter counts, except that "binary" content is raw
    // bytes: through the Base64 decoder it would come out as garbage.
    const char chFirst = encoding.empty() ? '\0' : encoding.front();
    constexpr std::string_view kBinary = "binary";
    const bool bBinary = std::equal(encoding.begin(), encoding.end(), kBinary.begin(), kBinary.end(),
                                    [](char a, char b) { return (a | 0x20) == b; });
    if ((chFirst == 'b' || chFirst == 'B') && !bBinary)
        strResult = Base64Decode(content);
    else if (chFirst == 'q' || chFirst == 'Q')
        strResult = QuotedPrintableDecode(content);
    else
        strResult.assign(content);
}

bool DecodeToDirectory(std::string_view data, const std::string& strDirectory, const std::string& strName,
                       std::string& strWriteError)
{
    strWriteError.clear();
    // A file that cannot be opened is passed over; one that cannot be
    // written whole, or not created for a full file system, is a failure of
    // the whole decoding.
    const auto store = [&strWriteError](const std::string& strPath, std::string_view bytes) {
        int nErrno = 0;
        const EStoreResult result = StoreFile(strPath, bytes, &nErrno);
        if (result == EStoreResult::NotWritten || (result == EStoreResult::NotOpened && IsNoSpaceError(nErrno)))
            NoteWriteError(strWriteError, strPath, nErrno);
    };
    // The raw copy first.
    store(strDirectory + "/" + strName, data);

    CMimeDecodeTarget target;
    target.strDirectory = strDirectory;
    target.reservedNames = {strName, strName + ".MIME"};
    std::string strReport;
    RunWithMimeStack([&] {
        const std::unique_ptr<CMimeMessage> pMessage = CMimeMessage::Parse(data);
        ReportMessage(pMessage->Root(), strReport, 0, -1, &target);
    });
    // The first file that failed is the one named, not the report written after it.
    if (strWriteError.empty())
        strWriteError = target.strWriteError;

    // The report is stored as a text file: CR LF line ends.
    std::string strFile;
    strFile.reserve(strReport.size() + strReport.size() / 16);
    AppendWithCrLf(strFile, strReport);
    store(strDirectory + "/" + strName + ".MIME", strFile);
    return strWriteError.empty();
}

std::string AnalyseMessage(std::string_view data)
{
    std::string strReport;
    // The report holds about the whole message besides its headers' labels.
    strReport.reserve(data.size() + data.size() / 8 + 4096);
    RunWithMimeStack([&] {
        const std::unique_ptr<CMimeMessage> pMessage = CMimeMessage::Parse(data);
        ReportMessage(pMessage->Root(), strReport, 0, -1, nullptr);
    });
    return strReport;
}
