#include "editor/EditorCommands.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <fcntl.h>

#include "app/CommandTable.h"
#include "editor/EditorAccess.h"
#include "session/FileInput.h"
#include "session/FrontEnd.h"
#include "views/DisplayTranslation.h"

const char* const kAllFilesFilter = "All Files (*.*) | *.* ||";

namespace {

void ReportOpenFailure(const std::string& strPath, int nError)
{
    AfxMessageBox(FormatMessageText(IDS_OPEN_FILE_FAILED, strPath, std::strerror(nError)));
}

constexpr std::size_t kMaxEditorBytes = 0x7FFFFFFF;

}  // namespace

bool LoadFileToEditor(const std::string& strPath)
{
    // Data lengths are 32-bit: a larger file is refused, not cut short. A
    // read that fails half way leaves the editor as it was rather than
    // showing part of the file as if it were all of it.
    // A pipe whose writer is slow to write is waited for with the window
    // responsive; a wait the user cancels leaves the editor as it was.
    std::string bytes;
    const std::unique_ptr<CStreamWait> pWait = CreateStreamWait("Waiting for " + strPath);
    if (const int nError = ReadWholeFile(strPath, bytes, kMaxEditorBytes, pWait.get()); nError != 0) {
        if (nError == ECANCELED)
            return false;
        if (nError == ENOMEM)
            AfxMessageBox(IDS_ALLOC_FAILED);
        else
            ReportOpenFailure(strPath, nError);
        return false;
    }
    if (!PutEditorBytes(bytes.data(), static_cast<std::int32_t>(bytes.size()))) {
        AfxMessageBox(IDS_ALLOC_FAILED);
        return false;
    }
    return true;
}

bool SaveEditorToFile(const std::string& strPath, bool bNoWaitForReader)
{
    CFileHandle file(OpenForWriting(strPath, O_CREAT | O_TRUNC, bNoWaitForReader));
    if (file.Get() < 0) {
        ReportOpenFailure(strPath, errno);
        return false;
    }
    // A file is not bound to the 32-bit length of a data block: the bytes
    // are had as a string of any length.
    std::string bytes;
    try {
        bytes = DisplayTextToByteString(GetEditorText());
    } catch (const std::bad_alloc&) {
        AfxMessageBox(IDS_ALLOC_FAILED);
        return false;
    }
    // A full disk must not pass for a saved file. A pipe whose reader stops
    // reading is waited for with the window responsive; a wait the user
    // cancels ends the save without a message.
    const std::unique_ptr<CStreamWait> pWait = CreateStreamWait("Waiting for " + strPath);
    if (const int nError = WriteAllWaiting(file.Get(), bytes.data(), bytes.size(), pWait.get()); nError != 0) {
        if (nError != ECANCELED)
            ReportOpenFailure(strPath, nError);
        return false;
    }
    if (file.Close() != 0) {
        ReportOpenFailure(strPath, errno);
        return false;
    }
    return true;
}

void OnLoadToEditor()
{
    std::string strPath = "*.*";
    if (g_pMainFrame && g_pMainFrame->PromptFileName(strPath, true, kAllFilesFilter))
        LoadFileToEditor(strPath);
}

void OnSaveFromEditor()
{
    std::string strPath = "*.*";
    if (g_pMainFrame && g_pMainFrame->PromptFileName(strPath, false, kAllFilesFilter))
        SaveEditorToFile(strPath, true);
}

void OnEraseEditor()
{
    SetEditorText(std::string());
}

void RegisterEditorCommands(CCommandTable& table, CMidwireDoc&)
{
    table.Register(ID_FILE_LOAD_TO_EDITOR, OnLoadToEditor);
    table.Register(ID_FILE_SAVE_FROM_EDITOR, OnSaveFromEditor, EditorHasText);
    table.Register(ID_EDIT_ERASE_EDITOR, OnEraseEditor, EditorHasText);
}
