#include "mime/MimeCommands.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <sys/stat.h>

#include "app/CommandTable.h"
#include "editor/EditorAccess.h"
#include "mime/MimeDecode.h"
#include "mime/MimeFiles.h"
#include "session/FileInput.h"
#include "session/FrontEnd.h"
#include "views/DisplayTranslation.h"

const char* const kMimeFileFilter = "MIME (*.*) | *.* ||";

namespace {

// Creates the output directory of a chosen path ("dir/" names "dir") and
// gives the name of the raw copy inside it: the path's last component.
bool MakeOutputDirectory(const std::string& strPath, std::string& strDirectory, std::string& strName)
{
    strDirectory = strPath;
    while (strDirectory.size() > 1 && strDirectory.back() == '/')
        strDirectory.pop_back();
    if (strDirectory.empty() || ::mkdir(strDirectory.c_str(), 0777) != 0)
        return false;
    const std::size_t nSlash = strDirectory.rfind('/');
    strName = nSlash == std::string::npos ? strDirectory : strDirectory.substr(nSlash + 1);
    return true;
}

// Asks for a path with the commands' dialog; false when cancelled.
bool PromptMimePath(std::string& strPath, bool bOpen)
{
    strPath = "*.*";
    return g_pMainFrame && g_pMainFrame->PromptFileName(strPath, bOpen, kMimeFileFilter);
}

// The whole source file; shows 61472 and returns false when it cannot be read.
bool ReadSourceFile(const std::string& strPath, std::string& strData)
{
    // A pipe whose writer is slow to write is waited for with the window
    // responsive; a wait the user cancels ends the command without a message.
    const std::unique_ptr<CStreamWait> pWait = CreateStreamWait("Waiting for " + strPath);
    const int nError = ReadWholeFile(strPath, strData, static_cast<std::size_t>(-1), pWait.get());
    if (nError != 0 && nError != ECANCELED)
        AfxMessageBox(FormatMessageText(IDS_OPEN_FILE_FAILED, strPath, std::strerror(nError)));
    return nError == 0;
}

// The editor's bytes, of any length: a message is not bound to the 32-bit
// length of a data block.
std::string EditorData()
{
    return DisplayTextToByteString(GetEditorText());
}

// The editor takes the report as a zero-terminated text: it ends at the
// first zero byte that inline content may have brought in.
void ShowReport(const std::string& strReport)
{
    if (!SetEditorText(std::string(strReport.c_str())))
        AfxMessageBox(IDS_ALLOC_FAILED);
}

void OnAnalisys()
{
    ShowReport(AnalyseMessage(EditorData()));
}

void OnFileAnalisys()
{
    std::string strPath, strData;
    if (!PromptMimePath(strPath, true) || !ReadSourceFile(strPath, strData))
        return;
    ShowReport(AnalyseMessage(strData));
}

// The output half of both decoding commands; pSource null reads the editor
// once the directory exists.
void DecodeToChosenDirectory(const std::string* pSource)
{
    std::string strPath;
    if (!PromptMimePath(strPath, false))
        return;
    std::string strWriteError;
    if (pSource) {
        if (!DecodeToNewDirectory(*pSource, strPath, strWriteError))
            AfxMessageBox(FormatMessageText(IDS_MKDIR_FAILED, strPath));
    } else {
        std::string strDirectory, strName;
        if (!MakeOutputDirectory(strPath, strDirectory, strName)) {
            AfxMessageBox(FormatMessageText(IDS_MKDIR_FAILED, strPath));
            return;
        }
        // The editor is read only once the directory exists.
        DecodeToDirectory(EditorData(), strDirectory, strName, strWriteError);
    }
    if (!strWriteError.empty())
        AfxMessageBox(FormatMessageText(IDS_WRITE_FILE_FAILED, strWriteError));
}

void OnFileDecoding()
{
    std::string strPath, strData;
    if (!PromptMimePath(strPath, true) || !ReadSourceFile(strPath, strData))
        return;
    DecodeToChosenDirectory(&strData);
}

}  // namespace

bool DecodeToNewDirectory(std::string_view data, const std::string& strPath, std::string& strWriteError)
{
    strWriteError.clear();
    std::string strDirectory, strName;
    if (!MakeOutputDirectory(strPath, strDirectory, strName))
        return false;
    DecodeToDirectory(data, strDirectory, strName, strWriteError);
    return true;
}

void RegisterMimeCommands(CCommandTable& table, CMidwireDoc& /*doc*/)
{
    const auto hasText = [] { return EditorHasText(); };
    table.Register(ID_MIME_ANALISYS, OnAnalisys, hasText);
    table.Register(ID_MIME_DECODING, [] { DecodeToChosenDirectory(nullptr); }, hasText);
    table.Register(ID_MIME_FILE_ANALISYS, OnFileAnalisys);
    table.Register(ID_MIME_FILE_DECODING, OnFileDecoding);
}
