#include "editor/EditorCommands.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/CommandTable.h"
#include "editor/EditorAccess.h"
#include "session/FileInput.h"
#include "session/FrontEnd.h"
#include "views/DisplayTranslation.h"

const char* const kAllFilesFilter = "All Files (*.*) | *.* ||";

namespace {

// A file descriptor closed when it goes out of scope.
class CFd {
public:
    explicit CFd(int fd) : m_fd(fd) {}
    ~CFd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    CFd(const CFd&) = delete;
    CFd& operator=(const CFd&) = delete;
    int Get() const { return m_fd; }
    // Closes now and reports whether the close succeeded.
    bool Close()
    {
        const int fd = m_fd;
        m_fd = -1;
        return ::close(fd) == 0;
    }

private:
    int m_fd;
};

void ReportOpenFailure(const std::string& strPath, int nError)
{
    AfxMessageBox(FormatMessageText(IDS_OPEN_FILE_FAILED, strPath, std::strerror(nError)));
}

constexpr std::size_t kChunk = 65535;
constexpr off_t kMaxEditorBytes = 0x7FFFFFFF;

}  // namespace

bool LoadFileToEditor(const std::string& strPath)
{
    struct stat st {};
    CFd file(OpenForReading(strPath, st));
    if (file.Get() < 0) {
        ReportOpenFailure(strPath, errno);
        return false;
    }
    const std::size_t nLimit = S_ISREG(st.st_mode) ? static_cast<std::size_t>(kMaxEditorBytes) : kMaxStreamBytes;
    // Data lengths are 32-bit: a larger file is refused, not cut short.
    if (st.st_size > kMaxEditorBytes) {
        ReportOpenFailure(strPath, EFBIG);
        return false;
    }
    std::string bytes;
    try {
        char buffer[kChunk];
        for (;;) {
            const ssize_t n = ::read(file.Get(), buffer, sizeof buffer);
            if (n == 0)
                break;
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                // A read that fails half way leaves the editor as it was rather
                // than showing part of the file as if it were all of it.
                ReportOpenFailure(strPath, errno);
                return false;
            }
            if (bytes.size() + static_cast<std::size_t>(n) > nLimit) {
                ReportOpenFailure(strPath, EFBIG);  // a stream that outgrows the limit
                return false;
            }
            bytes.append(buffer, static_cast<std::size_t>(n));
        }
    } catch (const std::bad_alloc&) {
        AfxMessageBox(IDS_ALLOC_FAILED);
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
    CFd file(OpenForWriting(strPath, O_CREAT | O_TRUNC, bNoWaitForReader));
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
    std::size_t nDone = 0;
    while (nDone < bytes.size()) {
        const ssize_t n = ::write(file.Get(), bytes.data() + nDone, bytes.size() - nDone);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // A full disk must not pass for a saved file.
            ReportOpenFailure(strPath, n < 0 ? errno : ENOSPC);
            return false;
        }
        nDone += static_cast<std::size_t>(n);
    }
    if (!file.Close()) {
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
