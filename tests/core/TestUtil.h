// Shared helpers of the core tests: temporary directories, running the
// midwire program, random data, history events.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "session/HistoryEvent.h"

namespace testutil {

// A history event of the kind, with a copy of data (none when it is empty)
// and the text, stamped with a fixed time so that printed and shown times
// are known.
inline HistoryEvent* MakeEvent(std::uint32_t kind, const std::string& data = std::string(),
                               const std::string& text = std::string())
{
    auto* p = new HistoryEvent;
    p->m_kind = kind;
    p->m_time = 1700000000;
    p->m_strText = text;
    if (!data.empty()) {
        auto* block = static_cast<unsigned char*>(std::malloc(data.size()));
        std::memcpy(block, data.data(), data.size());
        p->AdoptData(block, static_cast<std::int32_t>(data.size()));
    }
    return p;
}

// A fresh directory removed with everything in it when the test ends.
class TempDir {
public:
    TempDir()
    {
        std::string tmpl = (std::filesystem::temp_directory_path() / "midwire-test-XXXXXX").string();
        m_path = ::mkdtemp(tmpl.data()) ? tmpl : std::string();
    }
    ~TempDir()
    {
        std::error_code ec;
        if (!m_path.empty())
            std::filesystem::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string Path(const std::string& name) const { return m_path + "/" + name; }
    const std::string& Root() const { return m_path; }

private:
    std::string m_path;
};

inline std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// A text file's content with its CR LF line ends as line feeds; a line feed
// without its carriage return is kept, and so shows in a comparison.
inline std::string CrLfToLf(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
            out += "<bare LF>";
        out += text[i];
    }
    return out;
}

inline void WriteFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

struct RunResult {
    int status = -1;  // exit status, or -1 when the program did not exit normally
    std::string out;  // standard output
    std::string err;  // standard error
};

// Runs a shell command line; its standard output and error are captured.
inline RunResult RunCommand(const std::string& command)
{
    static int counter = 0;
    const std::string errPath = std::filesystem::temp_directory_path() /
                                ("midwire-test-err-" + std::to_string(::getpid()) + "-" + std::to_string(++counter));
    RunResult result;
    const std::string full = command + " 2>" + errPath;
    if (FILE* pipe = ::popen(full.c_str(), "r")) {
        std::array<char, 65536> buf;
        size_t n;
        while ((n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0)
            result.out.append(buf.data(), n);
        const int rc = ::pclose(pipe);
        result.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }
    result.err = ReadFile(errPath);
    std::remove(errPath.c_str());
    return result;
}

inline std::string Midwire()
{
    return MIDWIRE_BINARY;
}

inline std::string RandomBytes(std::mt19937& rng, size_t n)
{
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(rng() & 0xFF);
    return s;
}

// Stops this whole process (every thread, as Ctrl-Z stops a job) for about
// nSeconds and resumes it, from a shell started for the purpose; returns once
// the process runs again. False when the shell could not run.
inline bool SuspendThisProcessFor(double nSeconds)
{
    const std::string script = "kill -STOP " + std::to_string(::getpid()) + "; sleep " + std::to_string(nSeconds) +
                               "; kill -CONT " + std::to_string(::getpid());
    const pid_t pid = ::fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        ::execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int nStatus = 0;
    while (::waitpid(pid, &nStatus, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0;
}

// Bytes of more than 2 or 4 GiB at little memory cost: a head page, one block
// of filler mapped again and again, and a tail, laid out as one contiguous
// read-only range. The filler must divide the 64 MiB block evenly.
class CRepeatedBytes {
public:
    CRepeatedBytes(const std::string& head, const std::string& filler, std::size_t nRepeats, const std::string& tail)
    {
        const auto nPage = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        if (head.size() != nPage || filler.empty() || (kBlock % filler.size()) != 0 || tail.size() > nPage)
            return;
        m_nSize = nPage + nRepeats * kBlock + tail.size();
        m_nMapped = nPage + nRepeats * kBlock + nPage;
        void* pRange = ::mmap(nullptr, m_nMapped, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (pRange == MAP_FAILED)
            return;
        m_pBase = static_cast<char*>(pRange);
        const int fdEnds = ::memfd_create("mime-ends", 0);
        const int fdBlock = ::memfd_create("mime-block", 0);
        bool bOk = fdEnds >= 0 && fdBlock >= 0 && ::ftruncate(fdEnds, static_cast<off_t>(2 * nPage)) == 0 &&
                   ::ftruncate(fdBlock, static_cast<off_t>(kBlock)) == 0;
        if (bOk) {
            std::string ends = head + tail;
            ends.resize(2 * nPage, ' ');
            bOk = ::pwrite(fdEnds, ends.data(), ends.size(), 0) == static_cast<ssize_t>(ends.size());
            std::string block;
            block.reserve(kBlock);
            while (block.size() < kBlock)
                block += filler;
            bOk = bOk && ::pwrite(fdBlock, block.data(), block.size(), 0) == static_cast<ssize_t>(block.size());
        }
        auto map = [&](char* pAt, std::size_t n, int fd, off_t nOffset) {
            return ::mmap(pAt, n, PROT_READ, MAP_SHARED | MAP_FIXED, fd, nOffset) != MAP_FAILED;
        };
        bOk = bOk && map(m_pBase, nPage, fdEnds, 0);
        for (std::size_t i = 0; bOk && i < nRepeats; ++i)
            bOk = map(m_pBase + nPage + i * kBlock, kBlock, fdBlock, 0);
        bOk = bOk && map(m_pBase + nPage + nRepeats * kBlock, nPage, fdEnds, static_cast<off_t>(nPage));
        if (fdEnds >= 0)
            ::close(fdEnds);
        if (fdBlock >= 0)
            ::close(fdBlock);
        m_bOk = bOk;
    }
    ~CRepeatedBytes()
    {
        if (m_pBase)
            ::munmap(m_pBase, m_nMapped);
    }
    CRepeatedBytes(const CRepeatedBytes&) = delete;
    CRepeatedBytes& operator=(const CRepeatedBytes&) = delete;
    bool Ok() const { return m_bOk; }
    std::string_view View() const { return std::string_view(m_pBase, m_nSize); }

    static constexpr std::size_t kBlock = std::size_t{64} << 20;

private:
    char* m_pBase = nullptr;
    std::size_t m_nMapped = 0;
    std::size_t m_nSize = 0;
    bool m_bOk = false;
};

// A rescue for a test whose code under test may block for good on a pipe:
// unless Returned() comes within 5 seconds, it runs its action on a thread of
// its own (which lets the blocked call go), so that the test fails instead of
// hanging. The destructor calls Returned() too, and waits for the action.
// Rescued() tells whether the action had to run.
class CRescue {
public:
    explicit CRescue(std::function<void()> action)
    {
        m_thread = std::thread([this, action = std::move(action)] {
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                if (m_returned.wait_for(lock, std::chrono::seconds(5), [this] { return m_bReturned; }))
                    return;
            }
            m_bRescued = true;
            action();
        });
    }
    ~CRescue() { Returned(); }
    CRescue(const CRescue&) = delete;
    CRescue& operator=(const CRescue&) = delete;

    void Returned()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bReturned = true;
        }
        m_returned.notify_all();
        if (m_thread.joinable())
            m_thread.join();
    }
    // After Returned().
    bool Rescued() const { return m_bRescued; }

private:
    std::mutex m_mutex;
    std::condition_variable m_returned;
    bool m_bReturned = false;
    std::atomic<bool> m_bRescued{false};
    std::thread m_thread;
};

// A reader for a named pipe that comes only if the writer under test has
// not returned in time: a writer that waits for a reader after all is then
// let go.
class CPipeRescue : public CRescue {
public:
    explicit CPipeRescue(const std::string& strPipe)
        : CRescue([strPipe] {
              const int fd = ::open(strPipe.c_str(), O_RDONLY | O_NONBLOCK);
              if (fd < 0)
                  return;
              ::fcntl(fd, F_SETFL, 0);
              char buf[256];
              while (::read(fd, buf, sizeof buf) > 0) {
              }
              ::close(fd);
          })
    {
    }
};

// Closes the writing end of a pipe if the reader under test has not
// returned in time: a reader stuck in read() then sees the pipe's end.
class CWriterRescue : public CRescue {
public:
    explicit CWriterRescue(int fdWriter) : CRescue([fdWriter] { ::close(fdWriter); }) {}
};

// Reads a named pipe to its end on a thread of its own: what a writer that
// waits for its reader writes. Text() once the writer is done.
class CPipeReader {
public:
    explicit CPipeReader(const std::string& strPipe)
        : m_thread([this, strPipe] {
              const int fd = ::open(strPipe.c_str(), O_RDONLY);
              if (fd < 0)
                  return;
              char buf[256];
              for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;)
                  m_strRead.append(buf, static_cast<std::size_t>(n));
              ::close(fd);
          })
    {
    }
    ~CPipeReader()
    {
        if (m_thread.joinable())
            m_thread.join();
    }
    CPipeReader(const CPipeReader&) = delete;
    CPipeReader& operator=(const CPipeReader&) = delete;

    const std::string& Text()
    {
        if (m_thread.joinable())
            m_thread.join();
        return m_strRead;
    }

private:
    std::string m_strRead;
    std::thread m_thread;
};

}  // namespace testutil
