// Buffered output of the export forms: a file created for the export, or a
// stream that is already open (standard output).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

class CExportOutput {
public:
    CExportOutput() = default;
    ~CExportOutput();
    CExportOutput(const CExportOutput&) = delete;
    CExportOutput& operator=(const CExportOutput&) = delete;

    // Creates (or truncates) the file; false with errno set when it cannot.
    bool Create(const std::string& strPath);
    // Writes to a descriptor that stays open afterwards.
    void Attach(int fd);

    // Buffers the bytes; false once a write has failed.
    bool Write(const void* pData, std::size_t n);
    bool Write(std::string_view s) { return Write(s.data(), s.size()); }
    // Writes what is buffered and closes an owned file; false when any write
    // or the close failed.
    bool Close();

    bool HasFailed() const { return m_nErrno != 0; }
    // The cause of the first failure, as text.
    std::string GetErrorText() const;

private:
    bool Flush();
    bool WriteAll(const char* p, std::size_t n);

    int m_fd = -1;
    bool m_bOwned = false;
    int m_nErrno = 0;
    std::vector<char> m_buffer;
    std::size_t m_nUsed = 0;
};

// The cause of a failed open or write, rendered for message 61472.
std::string FileErrorText(int nErrno);
