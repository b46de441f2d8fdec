// The MIME menu's analysis and decoding commands on a headless front end,
// and the midwire mime subcommand.

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <string>
#include <sys/stat.h>

#include "TestUtil.h"
#include "app/CommandTable.h"
#include "app/HeadlessFrontEnd.h"
#include "mime/MimeCommands.h"
#include "mime/MimeDecode.h"
#include "session/MidwireDoc.h"
#include "views/DisplayTranslation.h"

namespace fs = std::filesystem;
using testutil::ReadFile;
using testutil::TempDir;

namespace {

const std::string kTwoParts =
    "Subject: two\nContent-Type: multipart/mixed; boundary=\"b\"\n\n"
    "--b\nContent-Type: text/plain\n\none\n"
    "--b\nContent-Transfer-Encoding: base64\n\nAHR3bw==\n"
    "--b--\n";

class MimeCommands : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_nMaxLine = g_nMaxLineLength;
        m_bKeep = g_bKeepBreaks;
        g_nMaxLineLength = 0;
        g_bKeepBreaks = FALSE;
        m_frontEnd.SetEcho(false);
        RegisterMimeCommands(m_table, m_doc);
        // File prompts answer from a queue; an empty entry cancels.
        m_frontEnd.m_onPromptFileName = [this](std::string& strPath, bool bOpen) {
            m_prompts.push_back(bOpen);
            if (m_answers.empty() || m_answers.front().empty()) {
                if (!m_answers.empty())
                    m_answers.pop_front();
                return false;
            }
            strPath = m_answers.front();
            m_answers.pop_front();
            return true;
        };
    }
    void TearDown() override
    {
        g_nMaxLineLength = m_nMaxLine;
        g_bKeepBreaks = m_bKeep;
    }

    CHeadlessFrontEnd m_frontEnd;
    CMidwireDoc m_doc;
    CCommandTable m_table;
    std::deque<std::string> m_answers;
    std::vector<bool> m_prompts;  // true for an open dialog
    TempDir m_tmp;
    int m_nMaxLine = 0;
    BOOL m_bKeep = FALSE;
};

}  // namespace

TEST_F(MimeCommands, AnalisysPutsTheReportInTheEditor)
{
    EXPECT_FALSE(m_table.IsEnabled(ID_MIME_ANALISYS));
    EXPECT_FALSE(m_table.IsEnabled(ID_MIME_DECODING));
    EXPECT_TRUE(m_table.IsEnabled(ID_MIME_FILE_ANALISYS));
    EXPECT_TRUE(m_table.IsEnabled(ID_MIME_FILE_DECODING));

    m_frontEnd.SetEditorText(BytesToDisplayString(kTwoParts));
    ASSERT_TRUE(m_table.Run(ID_MIME_ANALISYS));
    const std::string report = m_frontEnd.GetEditorText();
    EXPECT_EQ(report, AnalyseMessage(kTwoParts));  // as it is, not through the display translation
    EXPECT_TRUE(report.find("__________\nAHR3bw==\n__________\n") != std::string::npos);

    // Inline content with a zero byte: the editor's text ends there.
    m_frontEnd.SetEditorText("Subject: z[10][10]ab[0]cd");
    ASSERT_TRUE(m_table.Run(ID_MIME_ANALISYS));
    EXPECT_TRUE(m_frontEnd.GetEditorText().ends_with("__________\nab"));
}

TEST_F(MimeCommands, FileAnalisysReadsAFileOrSaysWhyNot)
{
    testutil::WriteFile(m_tmp.Path("mail.eml"), kTwoParts);
    m_frontEnd.SetEditorText("old");
    m_answers = {m_tmp.Path("mail.eml")};
    ASSERT_TRUE(m_table.Run(ID_MIME_FILE_ANALISYS));
    EXPECT_EQ(m_frontEnd.GetEditorText(), AnalyseMessage(kTwoParts));
    EXPECT_EQ(m_prompts, std::vector<bool>{true});

    m_frontEnd.SetEditorText("kept");
    m_answers = {m_tmp.Path("absent.eml"), m_tmp.Root()};
    m_table.Run(ID_MIME_FILE_ANALISYS);
    m_table.Run(ID_MIME_FILE_ANALISYS);
    ASSERT_EQ(m_frontEnd.m_messages.size(), 2u);
    EXPECT_TRUE(m_frontEnd.m_messages[0].starts_with("Unable to open file: " + m_tmp.Path("absent.eml") + " ; "));
    EXPECT_TRUE(m_frontEnd.m_messages[1].starts_with("Unable to open file: " + m_tmp.Root() + " ; "));
    EXPECT_EQ(m_frontEnd.GetEditorText(), "kept");
}

TEST_F(MimeCommands, DecodingFillsANewDirectory)
{
    m_frontEnd.SetEditorText(BytesToDisplayString(kTwoParts));
    const std::string dir = m_tmp.Path("mail.txt");
    m_answers = {dir};
    ASSERT_TRUE(m_table.Run(ID_MIME_DECODING));
    EXPECT_EQ(m_prompts, std::vector<bool>{false});
    EXPECT_EQ(ReadFile(dir + "/mail.txt"), kTwoParts);
    EXPECT_EQ(ReadFile(dir + "/part1.1"), "one");
    EXPECT_EQ(ReadFile(dir + "/part1.2"), std::string("\0two", 4));
    const std::string report = testutil::CrLfToLf(ReadFile(dir + "/mail.txt.MIME"));
    EXPECT_TRUE(report.find("  Part content file =" + dir + "/part1.2\n") != std::string::npos);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 4);
    EXPECT_EQ(m_frontEnd.GetEditorText(), BytesToDisplayString(kTwoParts));
    EXPECT_TRUE(m_frontEnd.m_messages.empty());

    // An existing path (directory or file) is refused and nothing is written.
    testutil::WriteFile(m_tmp.Path("file"), "x");
    m_answers = {dir, m_tmp.Path("file")};
    m_table.Run(ID_MIME_DECODING);
    m_table.Run(ID_MIME_DECODING);
    ASSERT_EQ(m_frontEnd.m_messages.size(), 2u);
    EXPECT_EQ(m_frontEnd.m_messages[0], "Unable to create the directory: " + dir + ".");
    EXPECT_EQ(m_frontEnd.m_messages[1], "Unable to create the directory: " + m_tmp.Path("file") + ".");
    EXPECT_EQ(ReadFile(m_tmp.Path("file")), "x");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 4);
}

TEST_F(MimeCommands, FileDecodingReadsBeforeAskingWhereTo)
{
    testutil::WriteFile(m_tmp.Path("in.eml"), "Subject: one\n\nflat body\n");
    const std::string dir = m_tmp.Path("out");
    m_answers = {m_tmp.Path("in.eml"), dir + "/"};
    ASSERT_TRUE(m_table.Run(ID_MIME_FILE_DECODING));
    EXPECT_EQ((m_prompts), (std::vector<bool>{true, false}));
    EXPECT_EQ(ReadFile(dir + "/out"), "Subject: one\n\nflat body\n");
    EXPECT_EQ(ReadFile(dir + "/part0.-1"), "flat body\n");
    EXPECT_TRUE(fs::exists(dir + "/out.MIME"));

    // Cancelling the second dialog leaves no trace; a missing source stops before it.
    m_prompts.clear();
    m_answers = {m_tmp.Path("in.eml"), ""};
    m_table.Run(ID_MIME_FILE_DECODING);
    m_answers = {m_tmp.Path("nothing"), m_tmp.Path("never")};
    m_table.Run(ID_MIME_FILE_DECODING);
    EXPECT_EQ((m_prompts), (std::vector<bool>{true, false, true}));
    EXPECT_FALSE(fs::exists(m_tmp.Path("never")));
    EXPECT_EQ(std::distance(fs::directory_iterator(m_tmp.Root()), fs::directory_iterator()), 2);
    ASSERT_EQ(m_frontEnd.m_messages.size(), 1u);
    EXPECT_TRUE(m_frontEnd.m_messages[0].starts_with("Unable to open file: " + m_tmp.Path("nothing")));
}

TEST(MimeCli, AnalyseAndDecode)
{
    TempDir tmp;
    testutil::WriteFile(tmp.Path("m.eml"), kTwoParts);
    const std::string m = testutil::Midwire();
    const auto analysed = testutil::RunCommand(m + " mime analyse " + tmp.Path("m.eml"));
    ASSERT_EQ(analysed.status, 0) << analysed.err;
    EXPECT_EQ(analysed.out, AnalyseMessage(kTwoParts));

    const std::string dir = tmp.Path("d");
    const auto decoded = testutil::RunCommand(m + " mime decode " + tmp.Path("m.eml") + " " + dir);
    ASSERT_EQ(decoded.status, 0) << decoded.err;
    EXPECT_EQ(ReadFile(dir + "/d"), kTwoParts);
    EXPECT_EQ(ReadFile(dir + "/part1.1"), "one");
    EXPECT_TRUE(ReadFile(dir + "/d.MIME").starts_with("Message Level [1] Header\r\n"));

    const auto again = testutil::RunCommand(m + " mime decode " + tmp.Path("m.eml") + " " + dir);
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("Unable to create the directory: " + dir + "."), std::string::npos);
    const auto missing = testutil::RunCommand(m + " mime analyse " + tmp.Path("none"));
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("Unable to open file: " + tmp.Path("none") + " ; "), std::string::npos);
    EXPECT_EQ(testutil::RunCommand(m + " mime --help").status, 0);
    EXPECT_EQ(testutil::RunCommand(m + " mime analyse").status, 2);
    EXPECT_EQ(testutil::RunCommand(m + " mime explode x").status, 2);
}

// The report and the part files do not change with the user's locale: an
// encoded word in a charset the library does not know reads as Latin-1
// under a UTF-8 locale too, not as a "?" for each byte above 127.
TEST(MimeCli, ReportAndPartNamesAreTheSameUnderEveryLocale)
{
    TempDir tmp;
    testutil::WriteFile(tmp.Path("m.eml"),
                        "Content-Type: multipart/mixed; boundary=b\n\n"
                        "--b\nContent-Type: text/plain; name=\"=?x-unknown?Q?r=E9sum=E9.txt?=\"\n\none\n--b--\n");
    const std::string m = testutil::Midwire();
    std::string strFirst;
    for (const char* pszLocale : {"C", "C.UTF-8", "POSIX"}) {
        SCOPED_TRACE(pszLocale);
        const std::string strEnv = std::string("LC_ALL=") + pszLocale + " ";
        const auto analysed = testutil::RunCommand(strEnv + m + " mime analyse " + tmp.Path("m.eml"));
        ASSERT_EQ(analysed.status, 0) << analysed.err;
        EXPECT_NE(analysed.out.find("Value = r\xC3\xA9sum\xC3\xA9.txt\n"), std::string::npos) << analysed.out;
        if (strFirst.empty())
            strFirst = analysed.out;
        EXPECT_EQ(analysed.out, strFirst);
        const std::string dir = tmp.Path(std::string("d") + pszLocale);
        const auto decoded = testutil::RunCommand(strEnv + m + " mime decode " + tmp.Path("m.eml") + " " + dir);
        ASSERT_EQ(decoded.status, 0) << decoded.err;
        EXPECT_EQ(ReadFile(dir + "/r\xC3\xA9sum\xC3\xA9.txt"), "one");
    }
}

// A message may come from a pipe that ends (a shell's process substitution)
// and is read whole; a named pipe that nothing writes does not hold the
// command in open() for good, and an endless source is refused as too large
// rather than read until the memory runs out.
TEST(MimeCli, PipesAndDevicesAreReadWithoutHangingOrFillingTheMemory)
{
    TempDir tmp;
    const std::string m = testutil::Midwire();
    const auto piped = testutil::RunCommand("bash -c '" + m + " mime analyse <(printf \"Subject: hi\\r\\n\\r\\nbody\")'");
    ASSERT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(piped.out, AnalyseMessage("Subject: hi\r\n\r\nbody"));

    ASSERT_EQ(::mkfifo(tmp.Path("fifo").c_str(), 0600), 0);
    const auto idle = testutil::RunCommand("timeout 20 " + m + " mime analyse " + tmp.Path("fifo"));
    EXPECT_EQ(idle.status, 0) << idle.err;
    EXPECT_EQ(idle.out, AnalyseMessage(""));

    // "-" is standard input, for a message at the end of a pipeline; a file
    // named "-" is still a file.
    testutil::WriteFile(tmp.Path("m.eml"), kTwoParts);
    const auto dashed = testutil::RunCommand("cat " + tmp.Path("m.eml") + " | " + m + " mime analyse -");
    ASSERT_EQ(dashed.status, 0) << dashed.err;
    EXPECT_EQ(dashed.out, AnalyseMessage(kTwoParts));
    const auto decodedDashed =
        testutil::RunCommand("cat " + tmp.Path("m.eml") + " | " + m + " mime decode - " + tmp.Path("d"));
    ASSERT_EQ(decodedDashed.status, 0) << decodedDashed.err;
    EXPECT_EQ(ReadFile(tmp.Path("d") + "/d"), kTwoParts);
    EXPECT_EQ(ReadFile(tmp.Path("d") + "/part1.1"), "one");
    testutil::WriteFile(tmp.Path("-"), "Subject: file\r\n\r\nx");
    const auto named = testutil::RunCommand("cd " + tmp.Root() + " && " + m + " mime analyse - < " + tmp.Path("m.eml"));
    ASSERT_EQ(named.status, 0) << named.err;
    EXPECT_EQ(named.out, AnalyseMessage("Subject: file\r\n\r\nx"));

    const auto endless = testutil::RunCommand("timeout 60 " + m + " mime analyse /dev/zero");
    EXPECT_EQ(endless.status, 1);
    EXPECT_NE(endless.err.find("Unable to open file: /dev/zero ; File too large."), std::string::npos) << endless.err;
}
