// Shared helpers of the core tests: temporary directories, running the
// midwire program, random data.
#pragma once

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <sys/wait.h>

namespace testutil {

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

}  // namespace testutil
