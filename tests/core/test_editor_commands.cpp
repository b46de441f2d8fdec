// Load to Editor, Save from Editor and Erase Editor: bytes in and out of the
// editor through the display translation, and their failures.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "TestUtil.h"
#include "app/CommandTable.h"
#include "app/HeadlessFrontEnd.h"
#include "editor/EditorCommands.h"
#include "session/MidwireDoc.h"

namespace {

struct EditorFixture : ::testing::Test {
    EditorFixture()
    {
        frontEnd.SetEcho(false);
        doc.OnNewDocument();
        table.Clear();
        RegisterEditorCommands(table, doc);
    }
    CHeadlessFrontEnd frontEnd;
    CMidwireDoc doc;
    CCommandTable table;
    testutil::TempDir dir;
};

}  // namespace

TEST_F(EditorFixture, LoadShowsBytesInDisplayForm)
{
    const std::string path = dir.Path("in.bin");
    testutil::WriteFile(path, std::string("\x41\x5B\x01\xFF", 4));
    frontEnd.SetEditorText("old");
    ASSERT_TRUE(LoadFileToEditor(path));
    EXPECT_EQ(frontEnd.GetEditorText(), "A[[[1][255]");

    // An empty file empties the editor.
    testutil::WriteFile(path, std::string());
    ASSERT_TRUE(LoadFileToEditor(path));
    EXPECT_EQ(frontEnd.GetEditorText(), "");
    EXPECT_TRUE(frontEnd.m_messages.empty());
}

TEST_F(EditorFixture, SaveWritesTheTranslatedBytesAndReplacesFiles)
{
    const std::string path = dir.Path("out.bin");
    testutil::WriteFile(path, std::string(1000, 'x'));
    frontEnd.SetEditorText("A[[B[13][10]");
    ASSERT_TRUE(SaveEditorToFile(path));
    EXPECT_EQ(testutil::ReadFile(path), std::string("A[B\r\n"));
    EXPECT_EQ(frontEnd.GetEditorText(), "A[[B[13][10]");

    // Typed line breaks are not data: only line breaks give an empty file.
    frontEnd.SetEditorText("\n\r\n\n");
    ASSERT_TRUE(SaveEditorToFile(path));
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
}

TEST_F(EditorFixture, LargeFilesRoundTripThroughTheEditor)
{
    std::mt19937 rng(7);
    const std::string bytes = testutil::RandomBytes(rng, 200000);  // several read chunks
    const std::string in = dir.Path("in.bin"), out = dir.Path("out.bin");
    testutil::WriteFile(in, bytes);
    ASSERT_TRUE(LoadFileToEditor(in));
    ASSERT_TRUE(SaveEditorToFile(out));
    EXPECT_TRUE(testutil::ReadFile(out) == bytes);
}

TEST_F(EditorFixture, UnopenablePathsShowMessage61472AndChangeNothing)
{
    frontEnd.SetEditorText("keep");
    const std::string missing = dir.Path("missing.bin");
    EXPECT_FALSE(LoadFileToEditor(missing));
    EXPECT_FALSE(LoadFileToEditor(dir.Root()));
    EXPECT_FALSE(SaveEditorToFile(dir.Root()));
    EXPECT_FALSE(SaveEditorToFile(dir.Path("no/such/dir/file")));
    ASSERT_EQ(frontEnd.m_messages.size(), 4u);
    EXPECT_EQ(frontEnd.m_messages[0], "Unable to open file: " + missing + " ; No such file or directory.");
    EXPECT_EQ(frontEnd.m_messages[1], "Unable to open file: " + dir.Root() + " ; Is a directory.");
    EXPECT_EQ(frontEnd.m_messages[2], "Unable to open file: " + dir.Root() + " ; Is a directory.");
    EXPECT_EQ(frontEnd.GetEditorText(), "keep");
    EXPECT_FALSE(std::filesystem::exists(dir.Path("no")));

    // A file beyond the 32-bit data length is refused whole rather than cut
    // to its size modulo 4 GiB (a sparse file: nothing is written to disk).
    const std::string huge = dir.Path("huge.bin");
    testutil::WriteFile(huge, "x");
    std::filesystem::resize_file(huge, (std::uintmax_t{1} << 32) + 10);
    frontEnd.m_messages.clear();
    EXPECT_FALSE(LoadFileToEditor(huge));
    ASSERT_EQ(frontEnd.m_messages.size(), 1u);
    EXPECT_EQ(frontEnd.m_messages[0], "Unable to open file: " + huge + " ; File too large.");
    EXPECT_EQ(frontEnd.GetEditorText(), "keep");
}

// A pipe that ends (what a shell's process substitution names) is loaded
// whole; a named pipe that nothing writes neither holds the program in open()
// nor loads anything but an empty text; an endless device is refused as too
// large without being read into the memory first.
TEST_F(EditorFixture, PipesAndDevicesLoadWithoutHangingOrFillingTheMemory)
{
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_EQ(::write(fds[1], "pipe\n", 5), 5);
    ::close(fds[1]);
    ASSERT_TRUE(LoadFileToEditor("/proc/self/fd/" + std::to_string(fds[0])));
    ::close(fds[0]);
    EXPECT_EQ(frontEnd.GetEditorText(), "pipe[10]");

    const std::string fifo = dir.Path("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_TRUE(LoadFileToEditor(fifo));
    EXPECT_EQ(frontEnd.GetEditorText(), "");

    frontEnd.SetEditorText("keep");
    frontEnd.m_messages.clear();
    EXPECT_FALSE(LoadFileToEditor("/dev/zero"));
    ASSERT_EQ(frontEnd.m_messages.size(), 1u);
    EXPECT_EQ(frontEnd.m_messages[0], "Unable to open file: /dev/zero ; File too large.");
    EXPECT_EQ(frontEnd.GetEditorText(), "keep");
}

TEST_F(EditorFixture, CommandsThroughTheTableWithTheirRules)
{
    const std::string path = dir.Path("f.bin");
    testutil::WriteFile(path, "hello\r\n");
    std::vector<std::pair<std::string, bool>> prompts;
    frontEnd.m_onPromptFileName = [&](std::string& strPath, bool bOpen) {
        prompts.emplace_back(strPath, bOpen);
        strPath = path;
        return true;
    };
    EXPECT_TRUE(table.IsEnabled(ID_FILE_LOAD_TO_EDITOR));
    EXPECT_FALSE(table.IsEnabled(ID_FILE_SAVE_FROM_EDITOR));
    EXPECT_FALSE(table.IsEnabled(ID_EDIT_ERASE_EDITOR));

    ASSERT_TRUE(table.Run(ID_FILE_LOAD_TO_EDITOR));
    EXPECT_EQ(frontEnd.GetEditorText(), "hello[13][10]");
    EXPECT_TRUE(table.IsEnabled(ID_FILE_SAVE_FROM_EDITOR));
    EXPECT_TRUE(table.IsEnabled(ID_EDIT_ERASE_EDITOR));

    frontEnd.SetEditorText("[65]");
    ASSERT_TRUE(table.Run(ID_FILE_SAVE_FROM_EDITOR));
    EXPECT_EQ(testutil::ReadFile(path), "A");
    ASSERT_EQ(prompts.size(), 2u);
    EXPECT_EQ(prompts[0], std::make_pair(std::string("*.*"), true));
    EXPECT_EQ(prompts[1], std::make_pair(std::string("*.*"), false));

    ASSERT_TRUE(table.Run(ID_EDIT_ERASE_EDITOR));
    EXPECT_EQ(frontEnd.GetEditorText(), "");

    // A cancelled file dialog does nothing.
    frontEnd.m_onPromptFileName = [](std::string&, bool) { return false; };
    frontEnd.SetEditorText("x");
    ASSERT_TRUE(table.Run(ID_FILE_LOAD_TO_EDITOR));
    EXPECT_EQ(frontEnd.GetEditorText(), "x");
}

// Save from Editor into a named pipe: the window's command refuses one that
// nobody reads instead of hanging in the open, and writes one that is read.
TEST_F(EditorFixture, SaveFromTheWindowRefusesANamedPipeThatNobodyReads)
{
    const std::string strPipe = dir.Path("pipe");
    ASSERT_EQ(::mkfifo(strPipe.c_str(), 0600), 0);
    frontEnd.SetEditorText("A[13][10]");
    frontEnd.m_onPromptFileName = [&](std::string& strPath, bool) {
        strPath = strPipe;
        return true;
    };
    // Should the command wait after all, a reader comes after a while, so
    // that the test fails instead of hanging.
    testutil::CPipeRescue rescue(strPipe);
    EXPECT_TRUE(table.Run(ID_FILE_SAVE_FROM_EDITOR));
    rescue.Returned();
    ASSERT_EQ(frontEnd.m_messages.size(), 1u);
    EXPECT_EQ(frontEnd.m_messages[0], "Unable to open file: " + strPipe + " ; No such device or address.");

    // A pipe that is read gets the bytes.
    frontEnd.m_messages.clear();
    testutil::CPipeReader reader(strPipe);
    // The reader may not have the pipe open yet: the open is then refused,
    // and tried again, a bounded number of times.
    bool bSaved = false;
    for (int i = 0; i < 500 && !bSaved; ++i) {
        frontEnd.m_messages.clear();
        bSaved = SaveEditorToFile(strPipe, true);
        if (!bSaved)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(bSaved);
    EXPECT_EQ(reader.Text(), "A\r\n");
    EXPECT_TRUE(frontEnd.m_messages.empty());
}
