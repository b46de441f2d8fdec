// Replacing a file the user names: what stays of the old file when the
// writing is given up, and what the target is once it is complete, for a
// file replaced through a temporary and for one overwritten because its
// directory may not be written.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "TestUtil.h"
#include "session/FileReplacement.h"

using namespace testutil;

namespace {

bool WriteAll(int fd, const std::string& text)
{
    return ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

std::size_t EntriesIn(const std::string& dir)
{
    return static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()));
}

// Runs check as a user who may write the file but not its directory: root
// would create the temporary in spite of the directory's mode, so the check
// then runs in a child process that has given root up. Returns what check
// says; skipped is set where that cannot be arranged.
bool AsOrdinaryUser(const std::function<bool()>& check, bool& bSkipped)
{
    bSkipped = false;
    if (::geteuid() != 0)
        return check();
    const pid_t pid = ::fork();
    if (pid < 0) {
        bSkipped = true;
        return false;
    }
    if (pid == 0) {
        if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0)
            ::_exit(2);
        ::_exit(check() ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    bSkipped = WIFEXITED(status) && WEXITSTATUS(status) == 2;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

TEST(FileReplacement, ReplacedFileStaysWholeUntilCommittedAndLeavesNoTemporary)
{
    TempDir dir;
    const std::string path = dir.Path("target.txt");
    WriteFile(path, "old content");
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);

    {
        CFileReplacement file;
        ASSERT_EQ(file.Open(path), 0);
        EXPECT_FALSE(file.Overwrites());
        ASSERT_TRUE(WriteAll(file.Fd(), "half"));
        file.Abandon();
    }
    EXPECT_EQ(ReadFile(path), "old content");
    EXPECT_EQ(EntriesIn(dir.Root()), 1u);

    {
        CFileReplacement file;
        ASSERT_EQ(file.Open(path), 0);
        ASSERT_TRUE(WriteAll(file.Fd(), "given up by leaving"));
    }
    EXPECT_EQ(ReadFile(path), "old content");
    EXPECT_EQ(EntriesIn(dir.Root()), 1u);

    CFileReplacement file;
    ASSERT_EQ(file.Open(path), 0);
    ASSERT_TRUE(WriteAll(file.Fd(), "new"));
    ASSERT_EQ(file.Commit(3), 0);
    EXPECT_EQ(ReadFile(path), "new");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(EntriesIn(dir.Root()), 1u);

    // A directory is refused before anything is made in it.
    std::filesystem::create_directory(dir.Path("sub"));
    EXPECT_EQ(file.Open(dir.Path("sub/")), EISDIR);
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path("sub")));
}

TEST(FileReplacement, OverwrittenFileIsCutOnlyWhereWritingStopped)
{
    TempDir dir;
    const std::string path = dir.Path("shared.txt");
    const std::string strOld = "old content of the shared file";
    WriteFile(path, strOld);
    ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
    ASSERT_EQ(::chmod(dir.Root().c_str(), 0555), 0);

    bool bSkipped = false;
    const bool bOk = AsOrdinaryUser(
        [&] {
            // Given up before anything is written: the old content is whole.
            {
                CFileReplacement file;
                if (file.Open(path) != 0 || !file.Overwrites())
                    return false;
                file.Abandon();
            }
            if (ReadFile(path) != strOld)
                return false;
            // Given up half way: cut there, so that it is not taken for whole.
            {
                CFileReplacement file;
                if (file.Open(path) != 0 || !WriteAll(file.Fd(), "half"))
                    return false;
            }
            if (ReadFile(path) != "half")
                return false;
            // Completed: the new content, cut to its size, in the same file.
            CFileReplacement file;
            return file.Open(path) == 0 && WriteAll(file.Fd(), "new") && file.Commit(3) == 0 &&
                   ReadFile(path) == "new";
        },
        bSkipped);
    ::chmod(dir.Root().c_str(), 0755);
    if (bSkipped)
        GTEST_SKIP() << "cannot run as an ordinary user here";
    EXPECT_TRUE(bOk);
    EXPECT_EQ(EntriesIn(dir.Root()), 1u);
}
