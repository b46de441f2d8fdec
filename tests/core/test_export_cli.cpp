// midwire export and midwire show, run as the program on a session file.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "app/HeadlessFrontEnd.h"
#include "session/HistoryEvent.h"
#include "session/MidwireDoc.h"

namespace fs = std::filesystem;

namespace {

struct ProgramResult {
    int nStatus = -1;
    std::string strOut;
    std::string strErr;
};

std::string ReadAll(const std::string& strPath)
{
    std::ifstream in(strPath, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class ExportCliTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string strTemplate = (fs::temp_directory_path() / "midwire-export-cli-XXXXXX").string();
        ASSERT_NE(::mkdtemp(strTemplate.data()), nullptr);
        m_strDir = strTemplate;
        WriteSession();
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(m_strDir, ec);
    }

    // A session with a client and a server host, a status event and data
    // both ways.
    void WriteSession()
    {
        CHeadlessFrontEnd frontEnd;
        frontEnd.SetEcho(false);
        CMidwireDoc doc;
        doc.OnNewDocument();
        doc.m_strServerHost = "srv";
        doc.m_strClientHost = "cli";
        auto add = [&](std::uint32_t kind, const std::string& strBytes, const std::string& strText) {
            auto* p = new HistoryEvent;
            p->m_kind = kind;
            p->m_time = 900000000;
            if (!strBytes.empty()) {
                auto* pBlock = static_cast<unsigned char*>(std::malloc(strBytes.size()));
                std::memcpy(pBlock, strBytes.data(), strBytes.size());
                p->AdoptData(pBlock, static_cast<std::int32_t>(strBytes.size()));
            }
            p->m_strText = strText;
            doc.RecordEvent(p, FALSE);
        };
        add(EK_CONNECT_SERVER, "", "Connected to: srv port: 25.");
        add(EK_MOVED_TO_SERVER, "abc", "");
        add(EK_MOVED_TO_CLIENT, "defg", "");
        ASSERT_TRUE(doc.OnSaveDocument(Path("s.mwx")));
    }

    std::string Path(const std::string& strName) const { return m_strDir + "/" + strName; }

    ProgramResult Run(const std::string& strArgs) const
    {
        ProgramResult result;
        const std::string strErrPath = Path("stderr.txt");
        // Run in the test's directory, so that a stray output lands there.
        const std::string strCommand =
            "cd '" + m_strDir + "' && TZ=UTC " + MIDWIRE_BINARY + " " + strArgs + " 2>" + strErrPath;
        if (FILE* pPipe = ::popen(strCommand.c_str(), "r")) {
            std::array<char, 4096> buf;
            std::size_t n;
            while ((n = std::fread(buf.data(), 1, buf.size(), pPipe)) > 0)
                result.strOut.append(buf.data(), n);
            const int rc = ::pclose(pPipe);
            result.nStatus = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
        }
        result.strErr = ReadAll(strErrPath);
        return result;
    }

    std::string m_strDir;
};

}  // namespace

TEST_F(ExportCliTest, ExportChoosesTheFormByExtension)
{
    ProgramResult r = Run("export " + Path("s.mwx") + " " + Path("all.bin") + " --events data");
    ASSERT_EQ(r.nStatus, 0) << r.strErr;
    EXPECT_EQ(ReadAll(Path("all.bin")), "abcdefg");

    r = Run("export " + Path("s.mwx") + " " + Path("c.TXT") + " --side client --columns action,host");
    ASSERT_EQ(r.nStatus, 0) << r.strErr;
    EXPECT_EQ(ReadAll(Path("c.TXT")), "Moved to:           srv        abc\r\n");

    r = Run("export " + Path("s.mwx") + " " + Path("msg"));
    ASSERT_EQ(r.nStatus, 0) << r.strErr;
    EXPECT_EQ(ReadAll(Path("msg/msg")), "Connected to: srv port: 25.\nabcdefg");
    EXPECT_TRUE(fs::exists(Path("msg/msg.MIME")));

    // The directory exists now: the second run fails with the message.
    r = Run("export " + Path("s.mwx") + " " + Path("msg"));
    EXPECT_EQ(r.nStatus, 1);
    EXPECT_NE(r.strErr.find("Unable to create the directory: " + Path("msg") + "."), std::string::npos);

    r = Run("export " + Path("s.mwx") + " " + Path("none/x.bin"));
    EXPECT_EQ(r.nStatus, 1);
    EXPECT_NE(r.strErr.find("Unable to open file: " + Path("none/x.bin") + " ; "), std::string::npos);
}

// An export that would be written over the session it reads (a link to it
// named as the output) is refused, and the session stays whole.
TEST_F(ExportCliTest, ExportOntoTheSessionFileItselfIsRefused)
{
    const std::string strSession = ReadAll(Path("s.mwx"));
    for (const char* pszName : {"link.txt", "link.bin"}) {
        fs::create_symlink(Path("s.mwx"), Path(pszName));
        const ProgramResult r = Run("export " + Path("s.mwx") + " " + Path(pszName));
        EXPECT_EQ(r.nStatus, 1) << pszName;
        EXPECT_NE(r.strErr.find("is the session file being exported"), std::string::npos) << r.strErr;
        EXPECT_EQ(ReadAll(Path("s.mwx")), strSession) << pszName;
    }
    // A hard link to the session under a .txt name, read as the session and
    // written as the report, is the same file too.
    fs::create_hard_link(Path("s.mwx"), Path("hard.txt"));
    EXPECT_EQ(Run("export " + Path("hard.txt") + " " + Path("hard.txt")).nStatus, 1);
    EXPECT_EQ(ReadAll(Path("s.mwx")), strSession);
    // Another file of that name is still overwritten.
    std::ofstream(Path("other.txt")) << "old";
    EXPECT_EQ(Run("export " + Path("s.mwx") + " " + Path("other.txt")).nStatus, 0);
    EXPECT_NE(ReadAll(Path("other.txt")), "old");
}

TEST_F(ExportCliTest, ShowPrintsTheTextForm)
{
    ProgramResult r = Run("show " + Path("s.mwx"));
    ASSERT_EQ(r.nStatus, 0) << r.strErr;
    EXPECT_EQ(r.strOut,
              "== 1998;07;09 16:00:00 Connect to:         srv        Connected to: srv port: 25.\r\n"
              ">> 1998;07;09 16:00:00 Moved to:           srv        abc\r\n"
              "<< 1998;07;09 16:00:00 Moved to:           cli        defg\r\n");

    r = Run("show " + Path("s.mwx") + " --side server --events data --columns ''");
    ASSERT_EQ(r.nStatus, 0) << r.strErr;
    EXPECT_EQ(r.strOut, "defg\r\n");

    // A report that cannot be written is a failure that says why.
    r = Run("show " + Path("s.mwx") + " >/dev/full");
    EXPECT_EQ(r.nStatus, 1);
    EXPECT_NE(r.strErr.find("show: writing to standard output failed: No space left on device"), std::string::npos)
        << r.strErr;
}

TEST_F(ExportCliTest, UsageErrorsAndHelp)
{
    EXPECT_EQ(Run("export --help").nStatus, 0);
    EXPECT_EQ(Run("show --help").nStatus, 0);
    EXPECT_EQ(Run("export " + Path("s.mwx")).nStatus, 2);
    EXPECT_EQ(Run("show " + Path("s.mwx") + " --side left").nStatus, 2);
    EXPECT_EQ(Run("show " + Path("s.mwx") + " --events some").nStatus, 2);
    EXPECT_EQ(Run("show " + Path("s.mwx") + " --columns date,colour").nStatus, 2);
    EXPECT_EQ(Run("show " + Path("s.mwx") + " --bogus").nStatus, 2);
    EXPECT_EQ(Run("show " + Path("missing.mwx")).nStatus, 1);
}

// --form chooses the form whatever OUT's name; with it, "-" writes the text
// or byte form to standard output, checked as any standard output is. The
// MIME form (a directory) and an OUT of "-" without a form are wrong command
// lines that make nothing named "-"; so is "-" for both the session and OUT.
TEST_F(ExportCliTest, FormOptionAndStandardStreams)
{
    const std::string s = Path("s.mwx");
    const std::string strShown = Run("show " + s).strOut;
    ProgramResult r = Run("export " + s + " " + Path("report.dat") + " --form text");
    ASSERT_EQ(r.nStatus, 0) << r.strErr;
    EXPECT_EQ(ReadAll(Path("report.dat")), strShown);
    r = Run("export " + s + " " + Path("bytes.txt") + " --form bytes --events data");
    ASSERT_EQ(r.nStatus, 0) << r.strErr;
    EXPECT_EQ(ReadAll(Path("bytes.txt")), "abcdefg");
    r = Run("export " + s + " " + Path("m.txt") + " --form mime");
    ASSERT_EQ(r.nStatus, 0) << r.strErr;
    EXPECT_TRUE(fs::is_directory(Path("m.txt")));

    r = Run("export " + s + " - --form text");
    EXPECT_EQ(r.nStatus, 0) << r.strErr;
    EXPECT_EQ(r.strOut, strShown);
    r = Run("export - - --form bytes --side server < " + s);
    EXPECT_EQ(r.nStatus, 2);
    r = Run("export " + s + " - --form bytes --side server");
    EXPECT_EQ(r.nStatus, 0) << r.strErr;
    EXPECT_EQ(r.strOut, "Connected to: srv port: 25.\ndefg");
    r = Run("export - " + Path("piped.bin") + " --form bytes < " + s);
    EXPECT_EQ(r.nStatus, 0) << r.strErr;
    EXPECT_EQ(ReadAll(Path("piped.bin")), "Connected to: srv port: 25.\nabcdefg");
    r = Run("show - < " + s);
    EXPECT_EQ(r.nStatus, 0) << r.strErr;
    EXPECT_EQ(r.strOut, strShown);
    r = Run("show " + s + " --form bytes --events data");
    EXPECT_EQ(r.nStatus, 0) << r.strErr;
    EXPECT_EQ(r.strOut, "abcdefg");

    for (const char* pszRedirect : {" >/dev/full", " >&-"}) {
        r = Run("export " + s + " - --form bytes" + std::string(pszRedirect));
        EXPECT_EQ(r.nStatus, 1) << pszRedirect;
        EXPECT_NE(r.strErr.find("export: writing to standard output failed: "), std::string::npos) << r.strErr;
    }

    struct Refusal {
        std::string strArgs, strMessage;
    };
    const Refusal refusals[] = {
        {"export s.mwx -", "OUT '-' (standard output) needs --form text or --form bytes"},
        {"export s.mwx - --form mime", "the MIME form is a directory and cannot go to standard output"},
        {"export - - --form text < s.mwx", "'-' is given as both input and output"},
        {"export s.mwx out.txt --form html", "--form must be text, bytes or mime"},
        {"show s.mwx --form mime", "show: the MIME form is a directory"},
    };
    for (const Refusal& refusal : refusals) {
        r = Run(refusal.strArgs);
        EXPECT_EQ(r.nStatus, 2) << refusal.strArgs;
        EXPECT_NE(r.strErr.find(refusal.strMessage), std::string::npos) << refusal.strArgs << ": " << r.strErr;
        EXPECT_EQ(r.strOut, "") << refusal.strArgs;
    }
    EXPECT_FALSE(fs::exists(Path("-")));
}
