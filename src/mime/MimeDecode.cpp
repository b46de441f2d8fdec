#include "mime/MimeDecode.h"

#include <fstream>

// Interim body until the report is in place: stores the raw copy only.
void DecodeToDirectory(std::string_view data, const std::string& strDirectory, const std::string& strName)
{
    std::ofstream raw(strDirectory + "/" + strName, std::ios::binary | std::ios::trunc);
    if (raw)
        raw.write(data.data(), static_cast<std::streamsize>(data.size()));
}

void DecodeTransferEncoding(std::string& strResult, std::string_view content, std::string_view)
{
    strResult.assign(content);
}

std::string AnalyseMessage(std::string_view)
{
    return std::string();
}
