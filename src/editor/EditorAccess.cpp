#include "editor/EditorAccess.h"

#include "session/FrontEnd.h"
#include "views/DisplayTranslation.h"

std::string GetEditorText()
{
    return g_pMainFrame ? g_pMainFrame->GetEditorText() : std::string();
}

bool SetEditorText(const std::string& strText)
{
    return !g_pMainFrame || g_pMainFrame->SetEditorText(strText);
}

MallocPtr<unsigned char> GetEditorBytes(std::int32_t& nLength)
{
    return DisplayTextToBytes(GetEditorText(), nLength);
}

bool PutEditorBytes(const void* pBytes, std::int32_t nLength)
{
    if (nLength <= 0)
        return SetEditorText(std::string());
    const MallocPtr<char> text = BytesToDisplayText(pBytes, nLength);
    if (!text)
        return false;
    return SetEditorText(text.get());
}

bool EditorHasText()
{
    return g_pMainFrame && g_pMainFrame->GetEditorTextLength() > 0;
}
