// The midwire program's top level and its session command, run as a user would.

#include <algorithm>
#include <gtest/gtest.h>
#include <filesystem>
#include <random>
#include <regex>
#include <set>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "TestUtil.h"
#include "app/CliSupport.h"

using testutil::Midwire;
using testutil::ReadFile;
using testutil::RunCommand;
using testutil::TempDir;
using testutil::WriteFile;

// Writes strName in dir: the new session a.mwx, made beside it, with one
// event received from the client, of nLength bytes of data.
static void WriteSessionWithOneEvent(const TempDir& dir, const std::string& strName, std::uint32_t nLength)
{
    ASSERT_EQ(RunCommand(Midwire() + " session new " + dir.Path("a.mwx")).status, 0);
    std::string bytes = ReadFile(dir.Path("a.mwx"));
    ASSERT_GE(bytes.size(), 4u);
    bytes.resize(bytes.size() - 4);                 // the event count
    bytes += std::string("\x01\0\0\0", 4);          // one event
    bytes += std::string("\x02\0\0\0", 4);          // received from the client
    bytes += std::string("\0\0\0\0", 4);            // time
    bytes += std::string("\x00", 1);                 // no text
    for (int i = 0; i < 4; ++i)                     // length
        bytes += static_cast<char>(nLength >> (8 * i));
    bytes += std::string("\x00", 1);                 // no host
    bytes += std::string(nLength, 'd');
    WriteFile(dir.Path(strName), bytes);
}

// The commands' permission checks mean nothing to root: as root, a test runs
// them as nobody through setpriv. The prefix for that, empty when not root;
// false when root has no setpriv to do it.
static bool OrdinaryUserPrefix(std::string& strAs)
{
    const bool bRoot = ::geteuid() == 0;
    strAs = bRoot ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
    return !bRoot || RunCommand("command -v setpriv").status == 0;
}

// The permission tests' start: dir with mode nDirMode, holding the new
// session a.mwx with mode 0644. False when a step failed.
static bool PrepareSessionInDirectory(const TempDir& dir, mode_t nDirMode)
{
    const bool bOk = ::chmod(dir.Root().c_str(), nDirMode) == 0 &&
                     RunCommand(Midwire() + " session new " + dir.Path("a.mwx")).status == 0 &&
                     ::chmod(dir.Path("a.mwx").c_str(), 0644) == 0;
    EXPECT_TRUE(bOk) << "preparing " << dir.Root();
    return bOk;
}

TEST(CliSession, NewDumpCopy)
{
    TempDir dir;
    const std::string a = dir.Path("a.mwx"), b = dir.Path("b.mwx");
    auto r = RunCommand(Midwire() + " session new " + a);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFile(a).size(), 138u);

    r = RunCommand(Midwire() + " session dump " + a);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("g_nMaxLineLength = 0\ng_chDisplayBreak = 10\n", 0), 0u);
    EXPECT_NE(r.out.find("\nm_bResolveNames = 1\neditor = \nevents = 0\n"), std::string::npos);

    // A file with one event made by hand: a 4-byte data event with a host.
    std::string bytes = ReadFile(a);
    bytes.resize(bytes.size() - 4);
    bytes += std::string("\x01\0\0\0", 4);                     // one event
    bytes += std::string("\x00\x00\x10\x00", 4);               // kind 0x100000
    bytes += std::string("\x15\xCD\x5B\x07", 4);               // time 123456789
    bytes += std::string("\x00", 1);                           // no text
    bytes += std::string("\x04\0\0\0", 4);                     // length 4
    bytes += std::string("\x04peer", 5);                       // host
    bytes += std::string("a[\r\n", 4);                         // data
    WriteFile(a, bytes);
    r = RunCommand(Midwire() + " session dump " + a);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("events = 1\n0x00100000\t123456789\t4\tpeer\t\ta[[[13][10]\n"), std::string::npos) << r.out;

    r = RunCommand(Midwire() + " session copy " + a + " " + b);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFile(a), ReadFile(b));
}

TEST(CliSession, DumpKeepsEachEventOnOneLineWhateverTheSessionsLineBreaking)
{
    TempDir dir;
    const std::string a = dir.Path("a.mwx");
    auto r = RunCommand(Midwire() + " session new " + a);
    ASSERT_EQ(r.status, 0) << r.err;

    // The session breaks displayed data every 4 characters and keeps its
    // line feeds: what the list and the printout show, not what a dump
    // of one line per event may print.
    std::string bytes = ReadFile(a);
    bytes.replace(14, 4, std::string("\x04\0\0\0", 4));  // max line length 4
    bytes.replace(19, 4, std::string("\x01\0\0\0", 4));  // keep breaks
    bytes.resize(bytes.size() - 4);
    bytes += std::string("\x01\0\0\0", 4);          // one event
    bytes += std::string("\x20\0\0\0", 4);          // kind 0x20
    bytes += std::string("\x15\xCD\x5B\x07", 4);    // time 123456789
    bytes += std::string("\x00", 1);                 // no text
    bytes += std::string("\x0A\0\0\0", 4);          // length 10
    bytes += std::string("\x00", 1);                 // no host
    bytes += std::string("abcdefgh\r\n", 10);        // data
    WriteFile(a, bytes);

    r = RunCommand(Midwire() + " session dump " + a);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("g_nMaxLineLength = 4\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("g_bKeepBreaks = 1\n"), std::string::npos) << r.out;
    const std::string strEvent = "0x00000020\t123456789\t10\t\t\tabcdefgh[13][10]\n";
    EXPECT_NE(r.out.find("events = 1\n" + strEvent), std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - strEvent.size()), strEvent) << r.out;
}

TEST(CliSession, ErrorsAndHelp)
{
    TempDir dir;
    auto r = RunCommand(Midwire() + " session --help");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("midwire session dump FILE"), std::string::npos);
    r = RunCommand(Midwire() + " --help");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("session"), std::string::npos);

    r = RunCommand(Midwire() + " session frobnicate x");
    EXPECT_EQ(r.status, 2);
    r = RunCommand(Midwire() + " session copy onlyone");
    EXPECT_EQ(r.status, 2);
    r = RunCommand(Midwire() + " --no-such-option");
    EXPECT_EQ(r.status, 2);
    // A wrong command line names the command, gives its synopsis and the way
    // to the rest, and not the whole option list, which would bury the error.
    struct Wrong {
        const char* pszArgs;
        const char* pszError;
    };
    for (const Wrong& w : {Wrong{"relay --timeout 1", "midwire: relay: Unknown option 'timeout'."},
                           Wrong{"relay", "midwire: relay: give --listen, --connect or both"},
                           Wrong{"relay --listen 1 --sessions 2", "midwire: relay: --sessions needs --keep-alive"},
                           Wrong{"export only.mwx", "midwire: export: wrong number of arguments"},
                           Wrong{"dgram --bind", "midwire: dgram: Missing value after '--bind'."},
                           Wrong{"session frobnicate x", "midwire: session: expected new, dump or copy"},
                           Wrong{"codec", "midwire: codec: expected base64-encode"}}) {
        r = RunCommand(Midwire() + " " + w.pszArgs);
        const std::string strCommand = std::string(w.pszArgs).substr(0, std::string(w.pszArgs).find(' '));
        EXPECT_EQ(r.status, 2) << w.pszArgs;
        EXPECT_EQ(r.err.rfind(w.pszError, 0), 0u) << r.err;
        EXPECT_NE(r.err.find("\nUsage: midwire " + strCommand + " "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("\nTry 'midwire " + strCommand + " --help' for more information.\n"), std::string::npos)
            << r.err;
        EXPECT_EQ(r.err.find("\n\n"), std::string::npos) << r.err;
        EXPECT_LT(std::count(r.err.begin(), r.err.end(), '\n'), 6) << r.err;
    }
    r = RunCommand(Midwire() + " relay --help");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("--hold-client"), std::string::npos);

    // A mistyped command is not taken for a session file to open.
    r = RunCommand(Midwire() + " relays");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("unknown command 'relays'"), std::string::npos) << r.err;
    // Without a display the desktop program says so instead of aborting.
    r = RunCommand("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " + Midwire() + " " + dir.Path("x.mwx"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no display"), std::string::npos) << r.err;
    // Nor when the display it is given cannot be opened: a server that is
    // gone, or a Wayland display without Wayland support.
    for (const char* pszEnv : {"env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY=:4711 ",
                               "env -u DISPLAY -u QT_QPA_PLATFORM WAYLAND_DISPLAY=midwire-nowhere "}) {
        r = RunCommand(std::string(pszEnv) + Midwire() + " " + dir.Path("x.mwx"));
        EXPECT_EQ(r.status, 1) << pszEnv << r.err;
        EXPECT_NE(r.err.find("midwire: the desktop program cannot start: no display could be opened"),
                  std::string::npos)
            << r.err;
    }

    r = RunCommand(Midwire() + " session dump " + dir.Path("missing.mwx"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Unable to open file: " + dir.Path("missing.mwx")), std::string::npos) << r.err;

    WriteFile(dir.Path("x.mwx"), "not a session");
    r = RunCommand(Midwire() + " session dump " + dir.Path("x.mwx"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Wrong file format."), std::string::npos);

    r = RunCommand(Midwire() + " session new " + dir.Path("no/such/dir/x.mwx"));
    EXPECT_EQ(r.status, 1);

    // Output that cannot be written is a failure, said as such.
    ASSERT_EQ(RunCommand(Midwire() + " session new " + dir.Path("ok.mwx")).status, 0);
    r = RunCommand(Midwire() + " session dump " + dir.Path("ok.mwx") + " > /dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("session: writing to standard output failed"), std::string::npos) << r.err;
    r = RunCommand("echo data | " + Midwire() + " codec base64-encode > /dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("codec: writing to standard output failed: No space left on device"), std::string::npos)
        << r.err;
    // The same for the program's own help and version, and for the help of
    // the command that prints.
    for (const char* pszArgs : {" --help", " --version", " print --help"}) {
        r = RunCommand(Midwire() + pszArgs + " > /dev/full");
        EXPECT_EQ(r.status, 1) << pszArgs;
        EXPECT_NE(r.err.find("writing to standard output failed: No space left on device"), std::string::npos)
            << pszArgs << ": " << r.err;
    }
}

// Each command's help lists how to get it, and every option that it names is
// one the command accepts.
TEST(CliSession, HelpNamesOnlyOptionsThatAreAccepted)
{
    auto r = RunCommand(Midwire() + " --help");
    EXPECT_NE(r.out.find("--version"), std::string::npos) << r.out;
    for (const char* pszCommand : {"session", "mime", "codec", "export", "show", "dgram", "relay", "playback", "print"}) {
        r = RunCommand(Midwire() + " " + pszCommand + " --help");
        ASSERT_EQ(r.status, 0) << pszCommand;
        EXPECT_NE(r.out.find("-h, --help"), std::string::npos) << pszCommand << ":\n" << r.out;
        std::set<std::string> options;
        for (std::size_t i = r.out.find("--"); i != std::string::npos; i = r.out.find("--", i + 2)) {
            std::size_t nEnd = i + 2;
            while (nEnd < r.out.size() && (std::islower(static_cast<unsigned char>(r.out[nEnd])) ||
                                           std::isdigit(static_cast<unsigned char>(r.out[nEnd])) || r.out[nEnd] == '-'))
                ++nEnd;
            if (nEnd > i + 2)
                options.insert(r.out.substr(i, nEnd - i));
        }
        EXPECT_FALSE(options.empty()) << pszCommand;
        for (const std::string& strOption : options) {
            if (strOption == "--help")
                continue;
            // Alone, an option is a wrong command line at most, never an
            // unknown one; nothing is started.
            const auto o = RunCommand(Midwire() + " " + pszCommand + " " + strOption + " </dev/null");
            EXPECT_EQ(o.err.find("Unknown option"), std::string::npos) << pszCommand << " " << strOption << ": " << o.err;
            EXPECT_EQ(o.status, 2) << pszCommand << " " << strOption << ": " << o.err;
        }
    }
}

// The other way round: every long option a command's parser is given, as its
// source declares them, is named in that command's help, so that no option
// is accepted that a user cannot find.
TEST(CliSession, HelpNamesEveryOptionTheParserAccepts)
{
    const std::string strSource = std::string(MIDWIRE_TEST_DIR) + "/../src/";
    const std::pair<const char*, const char*> commands[] = {
        {"session", "app/CmdSession.cpp"}, {"mime", "app/CmdMime.cpp"},     {"codec", "app/CmdMime.cpp"},
        {"export", "app/CmdExport.cpp"},   {"show", "app/CmdExport.cpp"},   {"dgram", "app/CmdDgram.cpp"},
        {"relay", "app/CmdRelay.cpp"},     {"playback", "app/CmdPlayback.cpp"}, {"print", "views/gui/PrintDevice.cpp"},
    };
    // QCommandLineOption name("long-name", ...) or name({"h", "long-name"}, ...)
    const std::regex declaration(R"re(QCommandLineOption\s+\w+\s*\(\s*(\{[^}]*\}|"[^"]*"))re");
    const std::regex quoted(R"re("([^"]*)")re");
    for (const auto& [pszCommand, pszFile] : commands) {
        const std::string code = ReadFile(strSource + pszFile);
        ASSERT_FALSE(code.empty()) << pszFile;
        std::set<std::string> names;
        for (std::sregex_iterator it(code.begin(), code.end(), declaration), end; it != end; ++it) {
            const std::string strNames = (*it)[1];
            for (std::sregex_iterator q(strNames.begin(), strNames.end(), quoted); q != end; ++q) {
                if ((*q)[1].length() > 1)
                    names.insert("--" + (*q)[1].str());
            }
        }
        EXPECT_TRUE(names.count("--help")) << pszFile << " declares no options the way this test reads them";
        const auto r = RunCommand(Midwire() + " " + pszCommand + " --help");
        ASSERT_EQ(r.status, 0) << pszCommand;
        for (const std::string& strOption : names) {
            // Followed by something other than a name character, so that
            // --sessions is not found inside --sessions-max.
            const std::regex named(strOption + "([^a-z0-9-]|$)");
            EXPECT_TRUE(std::regex_search(r.out, named)) << pszCommand << " --help does not name " << strOption;
        }
    }
}

// A standard descriptor closed by the caller stays closed for the program's
// purposes: the event loop's own descriptors must not take its number and
// receive what was meant for the output, nor give the input its data.
TEST(CliSession, ClosedStandardDescriptorsAreNotReused)
{
    TempDir dir;
    ASSERT_EQ(RunCommand(Midwire() + " session new " + dir.Path("ok.mwx")).status, 0);
    for (const char* pszRedirect : {" >&-", " <&- >&-"}) {
        const auto r = RunCommand(Midwire() + " session dump " + dir.Path("ok.mwx") + pszRedirect);
        EXPECT_EQ(r.status, 1) << pszRedirect;
        EXPECT_NE(r.err.find("session: writing to standard output failed: Bad file descriptor"), std::string::npos)
            << pszRedirect << ": " << r.err;
    }
    auto r = RunCommand(Midwire() + " codec base64-encode <&-");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("codec: cannot read standard input"), std::string::npos) << r.err;
    // A message read from a closed standard input is no empty message.
    r = RunCommand(Midwire() + " mime analyse - <&-");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("Unable to open file: - ; Bad file descriptor"), std::string::npos) << r.err;
    r = RunCommand(Midwire() + " mime decode - " + dir.Path("parts") + " <&-");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Unable to open file: - ; Bad file descriptor"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir.Path("parts")));

    // With all three closed the session is still written whole, and nothing
    // lands in it or beside it.
    r = RunCommand(Midwire() + " session copy " + dir.Path("ok.mwx") + " " + dir.Path("copy.mwx") +
                   " <&- >&- 2>&-; echo status=$?");
    EXPECT_EQ(r.out, "status=0\n");
    EXPECT_EQ(ReadFile(dir.Path("copy.mwx")), ReadFile(dir.Path("ok.mwx")));
}

// File names are bytes: one that is not UTF-8 (Latin-1, say), or that holds
// spaces, quotes or a leading dash, names the same file when it is written,
// read, copied, exported or decoded into, and is printed as given in errors.
TEST(CliSession, FileNamesAreTakenByteForByte)
{
    TempDir dir;
    const std::string strDir = dir.Root() + "/";
    const std::string a = strDir + "caf\xE9 \xFF 'q\".mwx";
    const std::string b = strDir + "-\xE9\xE9.mwx";
    auto arg = [](const std::string& s) {  // one shell word, quotes and all
        std::string out = "'";
        for (const char c : s)
            out += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return out + "'";
    };
    auto r = RunCommand(Midwire() + " session new " + arg(a));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFile(a).size(), 138u);
    r = RunCommand(Midwire() + " session copy " + arg(a) + " " + arg(b));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFile(b), ReadFile(a));
    r = RunCommand(Midwire() + " session dump " + arg(b));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("events = 0\n"), std::string::npos);
    r = RunCommand(Midwire() + " export " + arg(a) + " " + arg(strDir + "r\xE9.txt"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(std::filesystem::is_regular_file(strDir + "r\xE9.txt"));

    WriteFile(strDir + "m\xE9.eml", "Subject: x\n\nhi\n");
    r = RunCommand(Midwire() + " mime decode " + arg(strDir + "m\xE9.eml") + " " + arg(strDir + "d\xE9"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(std::filesystem::is_regular_file(strDir + "d\xE9/d\xE9.MIME"));

    // Only the names given were made.
    std::size_t nEntries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.Root()))
        ++nEntries;
    EXPECT_EQ(nEntries, 5u);

    r = RunCommand(Midwire() + " session dump " + arg(strDir + "n\xE9.mwx"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Unable to open file: " + strDir + "n\xE9.mwx"), std::string::npos) << r.err;
    r = RunCommand(Midwire() + " relay --listen 1 --save " + arg(strDir + "no/s\xE9.mwx"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("relay: cannot save the session to " + strDir + "no/s\xE9.mwx: "), std::string::npos)
        << r.err;
}

// The lossless form of argument bytes as text: any bytes come back as they
// were, and valid UTF-8 reads as its characters.
TEST(CliSession, ArgumentTextKeepsEveryByte)
{
    std::mt19937 rng(5);
    for (int i = 0; i < 200; ++i) {
        const std::string bytes = testutil::RandomBytes(rng, static_cast<std::size_t>(rng() % 40));
        EXPECT_EQ(LocalText(ArgumentText(bytes)), bytes);
    }
    for (const std::string& bytes : {std::string("\xED\xA0\x80"), std::string("\xC0\xAF"),
                                    std::string("\xF4\x90\x80\x80"), std::string("\xF0\x90\x82\x80\xE9"),
                                    std::string("\xE2\x82")})
        EXPECT_EQ(LocalText(ArgumentText(bytes)), bytes);
    EXPECT_EQ(ArgumentText("caf\xC3\xA9 \xF0\x9F\x98\x80"), QString::fromUtf8("caf\xC3\xA9 \xF0\x9F\x98\x80"));
    EXPECT_EQ(LocalText(QString::fromUtf8("\xC3\xA9")), "\xC3\xA9");
}

// A save follows a symbolic link to its file and writes a pipe or device in
// place: replacing the node by a new file would break the link, or swap
// /dev/null for a regular file when run as root.
TEST(CliSession, SaveKeepsLinksAndWritesSpecialFilesInPlace)
{
    TempDir dir;
    ASSERT_EQ(RunCommand(Midwire() + " session new " + dir.Path("a.mwx")).status, 0);
    const std::string strSaved = ReadFile(dir.Path("a.mwx"));
    ASSERT_FALSE(strSaved.empty());

    ASSERT_EQ(::symlink("target.mwx", dir.Path("link.mwx").c_str()), 0);
    auto r = RunCommand(Midwire() + " session copy " + dir.Path("a.mwx") + " " + dir.Path("link.mwx"));
    EXPECT_EQ(r.status, 0) << r.err;
    struct stat st {};
    ASSERT_EQ(::lstat(dir.Path("link.mwx").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(ReadFile(dir.Path("target.mwx")), strSaved);

    // A loop of links names no file: the save fails and the links stay.
    ASSERT_EQ(::symlink("loop2.mwx", dir.Path("loop1.mwx").c_str()), 0);
    ASSERT_EQ(::symlink("loop1.mwx", dir.Path("loop2.mwx").c_str()), 0);
    r = RunCommand(Midwire() + " session copy " + dir.Path("a.mwx") + " " + dir.Path("loop1.mwx"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Too many levels of symbolic links"), std::string::npos) << r.err;
    for (const char* pszLink : {"loop1.mwx", "loop2.mwx"}) {
        ASSERT_EQ(::lstat(dir.Path(pszLink).c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode)) << pszLink;
    }

    ASSERT_EQ(::mkfifo(dir.Path("pipe").c_str(), 0600), 0);
    r = RunCommand("(timeout 10 cat " + dir.Path("pipe") + " > " + dir.Path("fromPipe") + " &) ; timeout 10 " +
                   Midwire() + " session copy " + dir.Path("a.mwx") + " " + dir.Path("pipe") + "; sleep 0.2");
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(::lstat(dir.Path("pipe").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(ReadFile(dir.Path("fromPipe")), strSaved);
}

// /dev/stdout and /dev/fd/N name an open pipe by a link that reads
// "pipe:[N]": a session saved there goes down the pipe, as to a named pipe,
// for a pipeline such as "session copy IN /dev/stdout | gzip".
TEST(CliSession, SaveToStandardOutputThatIsAPipeGoesDownThePipe)
{
    TempDir dir;
    ASSERT_EQ(RunCommand(Midwire() + " session new " + dir.Path("a.mwx")).status, 0);
    const std::string strSaved = ReadFile(dir.Path("a.mwx"));
    ASSERT_FALSE(strSaved.empty());

    auto r = RunCommand(Midwire() + " session copy " + dir.Path("a.mwx") + " /dev/stdout | cat");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, strSaved);
    EXPECT_EQ(r.err, "");

    r = RunCommand(Midwire() + " session new /dev/fd/3 3>&1 >/dev/null | cat");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, strSaved);

    // Standard output that is a file is still replaced as a file.
    r = RunCommand(Midwire() + " session copy " + dir.Path("a.mwx") + " /dev/stdout > " + dir.Path("b.mwx"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFile(dir.Path("b.mwx")), strSaved);
}

// A session comes as well from standard input ("-"), a pipe, a named pipe
// (read once its writer comes) or a process substitution, read in one pass:
// the same content as from the file, and the same messages and statuses for
// an empty or truncated stream as for such a file. A length field beyond
// what a stream holds is damage, not an allocation of that length.
TEST(CliSession, SessionsAreReadFromStandardInputAndPipes)
{
    TempDir dir;
    // One event of 1.5 MiB: the stream takes many reads.
    WriteSessionWithOneEvent(dir, "big.mwx", 0x180000);
    const std::string m = "timeout 20 " + Midwire();
    const auto direct = RunCommand(m + " session dump " + dir.Path("big.mwx"));
    ASSERT_EQ(direct.status, 0) << direct.err;
    ASSERT_NE(direct.out.find("events = 1"), std::string::npos);

    ASSERT_EQ(::mkfifo(dir.Path("pipe.mwx").c_str(), 0600), 0);
    const std::string big = dir.Path("big.mwx");
    for (const std::string& strCommand :
         {"cat " + big + " | " + m + " session dump -", m + " session dump - < " + big,
          "cat " + big + " | " + m + " session dump /dev/stdin", m + " session dump /dev/stdin < " + big,
          "bash -c '" + m + " session dump <(cat " + big + ")'",
          "(sleep 0.3; cat " + big + " > " + dir.Path("pipe.mwx") + ") & " + m + " session dump " +
              dir.Path("pipe.mwx")}) {
        const auto r = RunCommand(strCommand);
        EXPECT_EQ(r.status, 0) << strCommand << ": " << r.err;
        EXPECT_TRUE(r.out == direct.out) << strCommand;
    }

    // Empty and truncated, as a file and as a stream.
    const std::string strBig = ReadFile(big);
    WriteFile(dir.Path("cut.mwx"), strBig.substr(0, strBig.size() - 1000));
    WriteFile(dir.Path("empty.mwx"), "");
    for (const char* pszName : {"cut.mwx", "empty.mwx"}) {
        const auto file = RunCommand(m + " session dump " + dir.Path(pszName));
        const auto stream = RunCommand("cat " + dir.Path(pszName) + " | " + m + " session dump -");
        EXPECT_EQ(file.status, 1) << pszName;
        EXPECT_EQ(stream.status, file.status) << pszName;
        std::string strExpected = file.err;
        if (const std::size_t nAt = strExpected.find(dir.Path(pszName)); nAt != std::string::npos)
            strExpected.replace(nAt, dir.Path(pszName).size(), "-");
        EXPECT_EQ(stream.err, strExpected) << pszName;
    }
    EXPECT_NE(RunCommand(m + " session dump " + dir.Path("cut.mwx")).err.find("truncated or damaged"),
              std::string::npos);
    auto r = RunCommand(m + " session dump /dev/null");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Wrong file format."), std::string::npos) << r.err;
    r = RunCommand(m + " session dump - <&-");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Unable to open file: - ; Bad file descriptor."), std::string::npos) << r.err;

    // An event claiming 1.5 GiB in a stream that ends after a few bytes,
    // read with a 1 GiB address space.
    std::string strClaim = strBig.substr(0, strBig.size() - 0x180000 - 5);
    strClaim += std::string("\x00\x00\x00\x60", 4) + std::string(1, '\0') + "few";
    WriteFile(dir.Path("claim.mwx"), strClaim);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    r = RunCommand("cat " + dir.Path("claim.mwx") + " | (ulimit -v 1048576; " + m + " session dump -)");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Unable to open file: - ; the file is truncated or damaged."), std::string::npos) << r.err;
#endif

    // Every command that loads a session reads it so.
    for (const char* pszCommand : {" export - " , " show -", " relay --listen 0 --from -",
                                   " playback - --as client --connect 127.0.0.1:1"}) {
        std::string strArgs = pszCommand;
        if (strArgs == " export - ")
            strArgs += dir.Path("out.txt");
        r = RunCommand("cat " + dir.Path("cut.mwx") + " | " + m + strArgs);
        EXPECT_NE(r.err.find("Unable to open file: - ; the file is truncated or damaged."), std::string::npos)
            << strArgs << ": " << r.err;
    }
    r = RunCommand("cat " + big + " | " + m + " export - " + dir.Path("out.txt"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFile(dir.Path("out.txt")).size(), RunCommand(m + " show " + big).out.size());
}

// "-" as an output is standard output, written where it stands and checked
// as any standard output is; it never makes a file named "-" (./- does).
// The same "-" as input and output is refused, and so is --save - where the
// event lines go to standard output.
TEST(CliSession, DashWritesStandardOutput)
{
    TempDir dir;
    ASSERT_EQ(RunCommand(Midwire() + " session new " + dir.Path("a.mwx")).status, 0);
    const std::string strSaved = ReadFile(dir.Path("a.mwx"));
    const std::string cd = "cd " + dir.Root() + " && timeout 20 ";
    for (const std::string strArgs :
         {" session new -", " session copy a.mwx -", " session copy a.mwx - >> b.mwx; cat b.mwx"}) {
        const auto r = RunCommand(cd + Midwire() + strArgs + " | cat");
        EXPECT_EQ(r.status, 0) << strArgs << ": " << r.err;
        EXPECT_TRUE(r.out == strSaved) << strArgs;
    }
    auto r = RunCommand(cd + "cat a.mwx | " + Midwire() + " session copy - ./- ");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(ReadFile(dir.Path("-")) == strSaved);
    ASSERT_EQ(::unlink(dir.Path("-").c_str()), 0);

    for (const char* pszRedirect : {" > /dev/full", " >&-"}) {
        r = RunCommand(cd + Midwire() + " session copy a.mwx -" + pszRedirect);
        EXPECT_EQ(r.status, 1) << pszRedirect;
        EXPECT_NE(r.err.find("Unable to open file: - ;"), std::string::npos) << pszRedirect << ": " << r.err;
    }

    struct Refusal {
        std::string strArgs, strMessage;
    };
    const Refusal refusals[] = {
        {" session copy - -", "session copy: '-' is given as both input and output"},
        {" relay --listen 0 --save -", "relay: --save - cannot go to standard output"},
        {" playback a.mwx --as server --listen 0 --save -", "playback: --save - cannot go to standard output"},
        {" dgram --bind 0 --save -", "dgram: --save - cannot go to standard output"},
        {" mime decode a.mwx -", "mime decode: DIR '-' would be standard output"},
    };
    for (const Refusal& refusal : refusals) {
        r = RunCommand(cd + Midwire() + refusal.strArgs + " < a.mwx");
        EXPECT_EQ(r.status, 2) << refusal.strArgs;
        EXPECT_NE(r.err.find(refusal.strMessage), std::string::npos) << refusal.strArgs << ": " << r.err;
        EXPECT_EQ(r.out, "") << refusal.strArgs;
    }
    struct stat st {};
    EXPECT_NE(::lstat(dir.Path("-").c_str(), &st), 0);
}

// A save replaces its file only where the user may write that file: a
// read-only file in a writable directory is refused with a message and an
// exit status of 1 and stays as it was, and so is a save into a directory
// the user may not write. A file that is replaced keeps its owner and mode.
// The refusals need a user without root's rights; as root the commands run
// as nobody.
TEST(CliSession, SaveRespectsTheTargetsPermissionsAndOwner)
{
    TempDir dir;
    ASSERT_TRUE(PrepareSessionInDirectory(dir, 0777));
    const bool bRoot = ::geteuid() == 0;
    std::string strAs;
    if (!OrdinaryUserPrefix(strAs))
        GTEST_SKIP() << "no setpriv to run the commands as an ordinary user";

    WriteFile(dir.Path("readonly.mwx"), "old");
    ASSERT_EQ(::chmod(dir.Path("readonly.mwx").c_str(), 0444), 0);
    if (bRoot) {
        ASSERT_EQ(::chown(dir.Path("readonly.mwx").c_str(), 65534, 65534), 0);
    }
    auto r = RunCommand(strAs + Midwire() + " session copy " + dir.Path("a.mwx") + " " + dir.Path("readonly.mwx"));
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("Unable to open file: " + dir.Path("readonly.mwx") + " ; Permission denied."),
              std::string::npos)
        << r.err;
    EXPECT_EQ(ReadFile(dir.Path("readonly.mwx")), "old");

    ASSERT_EQ(::mkdir(dir.Path("locked").c_str(), 0555), 0);
    r = RunCommand(strAs + Midwire() + " session copy " + dir.Path("a.mwx") + " " + dir.Path("locked/x.mwx"));
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("Permission denied"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir.Path("locked/x.mwx")));

    // A writable file is replaced; saved by root, another user's file stays
    // that user's.
    WriteFile(dir.Path("theirs.mwx"), "old");
    ASSERT_EQ(::chmod(dir.Path("theirs.mwx").c_str(), 0640), 0);
    if (bRoot) {
        ASSERT_EQ(::chown(dir.Path("theirs.mwx").c_str(), 65534, 65534), 0);
    }
    struct stat before {};
    ASSERT_EQ(::stat(dir.Path("theirs.mwx").c_str(), &before), 0);
    r = RunCommand(Midwire() + " session copy " + dir.Path("a.mwx") + " " + dir.Path("theirs.mwx"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFile(dir.Path("theirs.mwx")), ReadFile(dir.Path("a.mwx")));
    struct stat after {};
    ASSERT_EQ(::stat(dir.Path("theirs.mwx").c_str(), &after), 0);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
}

// A file the user may write in a directory the user may not (a shared file
// in a system directory) is saved over in place: it gets the new content and
// keeps its node, owner and mode. The --save option of a relay accepts such a
// file up front. The directory needs a user without root's rights; as root
// the commands run as nobody.
TEST(CliSession, WritableFileInALockedDirectoryIsSavedInPlace)
{
    TempDir dir;
    ASSERT_TRUE(PrepareSessionInDirectory(dir, 0755));
    const bool bRoot = ::geteuid() == 0;
    std::string strAs;
    if (!OrdinaryUserPrefix(strAs))
        GTEST_SKIP() << "no setpriv to run the commands as an ordinary user";

    const std::string strOld = "old content, longer than a new session file: " + std::string(400, 'x');
    WriteFile(dir.Path("shared.mwx"), strOld);
    ASSERT_EQ(::chmod(dir.Path("shared.mwx").c_str(), 0640), 0);
    if (bRoot) {
        ASSERT_EQ(::chown(dir.Path("shared.mwx").c_str(), 65534, 65534), 0);
    }
    struct stat before {};
    ASSERT_EQ(::stat(dir.Path("shared.mwx").c_str(), &before), 0);
    ASSERT_EQ(::chmod(dir.Root().c_str(), 0555), 0);

    auto r = RunCommand(strAs + Midwire() + " session copy " + dir.Path("a.mwx") + " " + dir.Path("shared.mwx"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFile(dir.Path("shared.mwx")), ReadFile(dir.Path("a.mwx")));
    struct stat after {};
    ASSERT_EQ(::stat(dir.Path("shared.mwx").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_mode & 07777, 0640u);

    // A relay whose connection is refused still saves its session there.
    ASSERT_EQ(::chmod(dir.Root().c_str(), 0755), 0);
    WriteFile(dir.Path("shared.mwx"), strOld);
    ASSERT_EQ(::chmod(dir.Root().c_str(), 0555), 0);
    r = RunCommand(strAs + Midwire() + " relay --connect 127.0.0.1:1 --save " + dir.Path("shared.mwx") + " </dev/null");
    EXPECT_EQ(r.err.find("cannot save the session"), std::string::npos) << r.err;
    EXPECT_EQ(RunCommand(Midwire() + " session dump " + dir.Path("shared.mwx")).status, 0);
    // A file that does not exist yet still cannot be made there.
    r = RunCommand(strAs + Midwire() + " session copy " + dir.Path("a.mwx") + " " + dir.Path("new.mwx"));
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("Permission denied"), std::string::npos) << r.err;
    ASSERT_EQ(::chmod(dir.Root().c_str(), 0755), 0);
}

// A file saved in place on a disk without room for the new session keeps
// its old content: the save says the disk is full and nothing is cut. The
// disk is a small file system mounted in a mount namespace of the test's
// own, which only root can make.
TEST(CliSession, InPlaceSaveThatDoesNotFitKeepsTheOldFile)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root can mount the small file system this test fills";
    std::string strAs;
    if (!OrdinaryUserPrefix(strAs) || RunCommand("unshare -m true").status != 0)
        GTEST_SKIP() << "no setpriv, or no mount namespace can be made here";
    TempDir dir;
    WriteSessionWithOneEvent(dir, "big.mwx", 300000);
    WriteSessionWithOneEvent(dir, "small.mwx", 1000);
    ASSERT_EQ(::chmod(dir.Root().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(dir.Path("big.mwx").c_str(), 0644), 0);
    ASSERT_EQ(::chmod(dir.Path("small.mwx").c_str(), 0644), 0);
    std::filesystem::create_directory(dir.Path("disk"));

    // On a 256 KiB disk whose directory nobody may write, the ordinary user's
    // file is saved in place: the big session does not fit, the small one
    // does. Each result is copied out before the namespace and its disk go.
    const std::string strSave = strAs + Midwire() + " session copy ";
    const std::string strScript =
        "set -e; cd " + dir.Root() +
        "; mount -t tmpfs -o size=256k,mode=0555 tmpfs disk"
        "; printf 'old session' > disk/shared.mwx; chown 65534:65534 disk/shared.mwx"
        "; set +e; " +
        strSave + "big.mwx disk/shared.mwx 2> big.err; echo $? > big.status; cp disk/shared.mwx after-big; " +
        strSave + "small.mwx disk/shared.mwx 2> small.err; echo $? > small.status; cp disk/shared.mwx after-small";
    WriteFile(dir.Path("fill.sh"), strScript);
    const auto r = RunCommand("unshare -m sh " + dir.Path("fill.sh"));
    ASSERT_EQ(r.status, 0) << r.err;

    EXPECT_EQ(ReadFile(dir.Path("big.status")), "1\n") << ReadFile(dir.Path("big.err"));
    EXPECT_NE(ReadFile(dir.Path("big.err")).find("No space left on device"), std::string::npos)
        << ReadFile(dir.Path("big.err"));
    const std::string strAfterBig = ReadFile(dir.Path("after-big"));
    EXPECT_TRUE(strAfterBig == "old session") << "the old file now holds " << strAfterBig.size() << " other bytes";
    EXPECT_EQ(ReadFile(dir.Path("small.status")), "0\n") << ReadFile(dir.Path("small.err"));
    EXPECT_EQ(ReadFile(dir.Path("after-small")), ReadFile(dir.Path("small.mwx")));
}

// Two processes saving the same session file at once leave one of the two
// sessions whole, never a mix or a cut file, and no temporary file; whether
// the file is replaced by rename or, in a directory the user may not write,
// written in place.
TEST(CliSession, SavesRacingForOneFileLeaveOneWholeSession)
{
    TempDir dir;
    ASSERT_EQ(::chmod(dir.Root().c_str(), 0755), 0);
    // Sessions of a few MiB take many writes each.
    WriteSessionWithOneEvent(dir, "x.mwx", 3000000);
    WriteSessionWithOneEvent(dir, "y.mwx", 2000000);
    const std::string strX = ReadFile(dir.Path("x.mwx"));
    const std::string strY = ReadFile(dir.Path("y.mwx"));
    std::filesystem::remove(dir.Path("a.mwx"));
    WriteFile(dir.Path("target.mwx"), "old");
    const bool bRoot = ::geteuid() == 0;
    std::string strAs;
    const bool bLockedToo = OrdinaryUserPrefix(strAs);
    if (bRoot) {
        for (const char* pszName : {"x.mwx", "y.mwx", "target.mwx"})
            ASSERT_EQ(::chown(dir.Path(pszName).c_str(), 65534, 65534), 0);
    }
    for (int nPass = 0; nPass < (bLockedToo ? 2 : 1); ++nPass) {
        if (nPass == 1) {
            ASSERT_EQ(::chmod(dir.Root().c_str(), 0555), 0);
        }
        for (int i = 0; i < 4; ++i) {
            const std::string strCopy = (nPass == 1 ? strAs : std::string()) + Midwire() + " session copy ";
            const auto r = RunCommand("cd " + dir.Root() + " && { " + strCopy + "x.mwx target.mwx & " + strCopy +
                                      "y.mwx target.mwx & " + strCopy + "x.mwx target.mwx; wait; }");
            EXPECT_EQ(r.status, 0) << r.err;
            const std::string strResult = ReadFile(dir.Path("target.mwx"));
            EXPECT_TRUE(strResult == strX || strResult == strY)
                << "pass " << nPass << ": " << strResult.size() << " bytes, neither session";
        }
    }
    ASSERT_EQ(::chmod(dir.Root().c_str(), 0755), 0);
    std::size_t nFiles = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.Root()))
        ++nFiles;
    EXPECT_EQ(nFiles, 3u) << "a temporary file was left behind";
}

// A save that reaches the file-size limit fails like any failed write: the
// command says so and exits 1, the file it was to replace is untouched, and
// no temporary file is left behind (the limit's signal would have killed the
// program half-way).
// A copy stopped by a signal while it writes leaves neither its temporary
// file nor a changed target, and says so with status 1.
TEST(CliSession, InterruptedCopyLeavesNoTemporaryFile)
{
    TempDir dir;
    ASSERT_EQ(RunCommand(Midwire() + " session new " + dir.Path("a.mwx")).status, 0);
    // 150 events of 1 MiB each, so that the save takes long enough to be
    // caught in the middle.
    std::string bytes = ReadFile(dir.Path("a.mwx"));
    bytes.resize(bytes.size() - 4);
    const std::uint32_t nEvents = 150, nLength = 1u << 20;
    for (int i = 0; i < 4; ++i)
        bytes += static_cast<char>(nEvents >> (8 * i));
    for (std::uint32_t n = 0; n < nEvents; ++n) {
        bytes += std::string("\x02\0\0\0\0\0\0\0\0", 9);  // kind, time, no text
        for (int i = 0; i < 4; ++i)
            bytes += static_cast<char>(nLength >> (8 * i));
        bytes += std::string(1, '\0');  // no host
        bytes += std::string(nLength, 'd');
    }
    WriteFile(dir.Path("big.mwx"), bytes);
    bytes.clear();
    WriteFile(dir.Path("out.mwx"), "earlier");

    // The signal comes once the temporary file exists (a bounded wait); the
    // process is held stopped meanwhile so that it cannot finish first.
    const std::string strCommand =
        "(" + Midwire() + " session copy " + dir.Path("big.mwx") + " " + dir.Path("out.mwx") +
        " & pid=$!; for i in $(seq 1 2000); do ls " + dir.Path("out.mwx.") +
        "* >/dev/null 2>&1 && break; sleep 0.005; done; kill -STOP $pid; kill -TERM $pid; kill -CONT $pid; wait $pid)";
    const auto r = RunCommand(strCommand);
    if (r.status == 0)
        GTEST_SKIP() << "the copy ended before the signal came";
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("session: interrupted, " + dir.Path("out.mwx") + " not written"), std::string::npos)
        << r.err;
    EXPECT_EQ(ReadFile(dir.Path("out.mwx")), "earlier");
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Root()))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a.mwx", "big.mwx", "out.mwx"}));
}

// Runs a shell command line with its standard output on a pipe that is
// non-blocking (as a parent sharing the pipe may have made it), read only
// after a pause, so that the pipe is full while the command writes; returns
// the exit status and what came through.
static std::pair<int, std::string> RunIntoNonBlockingPipe(const std::string& strCommand)
{
    int fds[2];
    if (::pipe(fds) != 0)
        return {-1, {}};
    ::fcntl(fds[1], F_SETFL, ::fcntl(fds[1], F_GETFL) | O_NONBLOCK);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], STDOUT_FILENO);
        ::close(fds[0]);
        ::close(fds[1]);
        ::execl("/bin/sh", "sh", "-c", strCommand.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    ::usleep(300000);
    std::string strOut;
    char buf[65536];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) != 0;) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        strOut.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    int nStatus = 0;
    while (pid > 0 && ::waitpid(pid, &nStatus, 0) < 0 && errno == EINTR) {
    }
    return {pid > 0 && WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1, strOut};
}

// Commands that print more than a pipe holds do not lose the rest, nor
// fail, when their output is a non-blocking pipe that is full for a while.
TEST(CliSession, NonBlockingOutputPipeGetsTheWholeOutput)
{
    TempDir dir;
    WriteSessionWithOneEvent(dir, "big.mwx", 1u << 20);
    std::mt19937 rng(7);
    WriteFile(dir.Path("data"), testutil::RandomBytes(rng, 1u << 20));
    for (const std::string& strArgs : {" session dump " + dir.Path("big.mwx"), " mime analyse " + dir.Path("data"),
                                      " codec base64-encode <" + dir.Path("data")}) {
        const auto expected = RunCommand(Midwire() + strArgs);
        ASSERT_EQ(expected.status, 0) << strArgs << ": " << expected.err;
        ASSERT_GT(expected.out.size(), 200000u) << strArgs;
        const auto [nStatus, strOut] = RunIntoNonBlockingPipe(Midwire() + strArgs);
        EXPECT_EQ(nStatus, 0) << strArgs;
        EXPECT_TRUE(strOut == expected.out) << strArgs << ": " << strOut.size() << " of " << expected.out.size()
                                            << " bytes";
    }
}

TEST(CliSession, SaveBeyondTheFileSizeLimitFailsCleanly)
{
    TempDir dir;
    WriteSessionWithOneEvent(dir, "big.mwx", 300000);
    WriteFile(dir.Path("target.mwx"), "old");

    const auto r = RunCommand("cd " + dir.Root() + " && (ulimit -f 100; exec " + Midwire() +
                              " session copy big.mwx target.mwx)");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("File too large"), std::string::npos) << r.err;
    EXPECT_EQ(ReadFile(dir.Path("target.mwx")), "old");
    std::size_t nFiles = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.Root()))
        ++nFiles;
    EXPECT_EQ(nFiles, 3u) << "a temporary file was left behind";
}

// The start of a command line that runs the program under strace with the
// options given. Leak checking does not work under a tracer: a sanitized
// build leaves it to the untraced runs.
static std::string Traced(const std::string& strOptions)
{
    return "ASAN_OPTIONS=detect_leaks=0 strace -f -o /dev/null " + strOptions + " ";
}

// Whether strace can run a command here and make its system calls fail; the
// reason to skip when it cannot.
static std::string StraceUnusable()
{
    if (RunCommand("command -v strace").status != 0)
        return "strace is not installed (scripts/setup.sh installs it)";
    if (RunCommand("strace -f -o /dev/null -e trace=none true").status != 0)
        return "strace cannot trace here (no ptrace permission)";
    return std::string();
}

// A write error that the file system reports only when the file is synced
// (a full disk under delayed allocation, a failing device, a network file
// system) fails the save: the file it was to replace keeps its content and
// no temporary file is left behind. Without the sync, the rename would put
// the unwritten file in place of the good one.
TEST(CliSession, SaveWhoseSyncFailsLeavesThePreviousFile)
{
    if (const std::string strSkip = StraceUnusable(); !strSkip.empty())
        GTEST_SKIP() << strSkip;
    TempDir dir;
    ASSERT_EQ(RunCommand(Midwire() + " session new " + dir.Path("a.mwx")).status, 0);
    const std::pair<const char*, const char*> failures[] = {{"EIO", "Input/output error"},
                                                            {"ENOSPC", "No space left on device"}};
    for (const auto& [pszErrno, pszCause] : failures) {
        WriteFile(dir.Path("target.mwx"), "old");
        const std::string strTrace = Traced(std::string("-e inject=fsync:error=") + pszErrno);
        const auto r = RunCommand("cd " + dir.Root() + " && " + strTrace + Midwire() + " session copy a.mwx target.mwx");
        EXPECT_EQ(r.status, 1) << pszErrno << ": " << r.err;
        EXPECT_NE(r.err.find("Unable to open file: target.mwx ; " + std::string(pszCause) + "."), std::string::npos)
            << r.err;
        EXPECT_EQ(ReadFile(dir.Path("target.mwx")), "old") << pszErrno;
        std::size_t nFiles = 0;
        for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.Root()))
            ++nFiles;
        EXPECT_EQ(nFiles, 2u) << pszErrno << ": a temporary file was left behind";
    }
    // Without a failure the same traced save succeeds.
    const std::string strTrace = Traced("-e trace=fsync");
    const auto r = RunCommand("cd " + dir.Root() + " && " + strTrace + Midwire() + " session copy a.mwx target.mwx");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFile(dir.Path("target.mwx")), ReadFile(dir.Path("a.mwx")));
}

// A replacement gets the mode of the file it replaces even when the saving
// process may not change the mode of a file it does not own (root without
// that capability, saving another user's file), and a save whose mode cannot
// be set at all fails and keeps the previous file rather than leave a file
// that only its owner can read.
TEST(CliSession, SaveKeepsTheModeOrFails)
{
    TempDir dir;
    ASSERT_EQ(RunCommand(Midwire() + " session new " + dir.Path("a.mwx")).status, 0);
    if (::geteuid() == 0 && RunCommand("setpriv --bounding-set=-fowner true").status == 0) {
        WriteFile(dir.Path("theirs.mwx"), "old");
        ASSERT_EQ(::chown(dir.Path("theirs.mwx").c_str(), 65534, 65534), 0);
        ASSERT_EQ(::chmod(dir.Path("theirs.mwx").c_str(), 0644), 0);
        const auto r = RunCommand("setpriv --bounding-set=-fowner " + Midwire() + " session copy " +
                                  dir.Path("a.mwx") + " " + dir.Path("theirs.mwx"));
        EXPECT_EQ(r.status, 0) << r.err;
        struct stat st {};
        ASSERT_EQ(::stat(dir.Path("theirs.mwx").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0644u);
        EXPECT_EQ(st.st_uid, 65534u);
        EXPECT_EQ(ReadFile(dir.Path("theirs.mwx")), ReadFile(dir.Path("a.mwx")));
    }

    if (const std::string strSkip = StraceUnusable(); !strSkip.empty())
        GTEST_SKIP() << strSkip;
    const auto copyWithoutFchmod = [&](const char* pszTarget) {
        return RunCommand("cd " + dir.Root() + " && umask 022 && " + Traced("-e inject=fchmod:error=EPERM") +
                          Midwire() + " session copy a.mwx " + pszTarget);
    };
    // Replacing a file whose mode cannot be given on: refused, old file kept.
    WriteFile(dir.Path("old.mwx"), "old");
    ASSERT_EQ(::chmod(dir.Path("old.mwx").c_str(), 0644), 0);
    auto r = copyWithoutFchmod("old.mwx");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("Unable to open file: old.mwx ; Operation not permitted."), std::string::npos) << r.err;
    EXPECT_EQ(ReadFile(dir.Path("old.mwx")), "old");
    std::size_t nFiles = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.Root()))
        ++nFiles;
    EXPECT_EQ(nFiles, std::filesystem::exists(dir.Path("theirs.mwx")) ? 3u : 2u) << "a temporary file was left behind";
    // A new file is saved, private to the user rather than not at all.
    r = copyWithoutFchmod("new.mwx");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFile(dir.Path("new.mwx")), ReadFile(dir.Path("a.mwx")));
}

// A session file that cannot be read (a failing disk) is reported with the
// cause of the failed read, whether that comes at the signature or in the
// middle of the history: it is neither "Wrong file format." nor a damaged file.
TEST(CliSession, LoadWhoseReadFailsNamesTheCause)
{
    if (const std::string strSkip = StraceUnusable(); !strSkip.empty())
        GTEST_SKIP() << strSkip;
    TempDir dir;
    // One event of 1.5 MiB: the file takes more than one read.
    WriteSessionWithOneEvent(dir, "big.mwx", 0x180000);
    ASSERT_EQ(RunCommand(Midwire() + " session dump " + dir.Path("big.mwx") + " >/dev/null").status, 0);

    for (const char* pszWhen : {"1", "2"}) {
        const auto r =
            RunCommand("cd " + dir.Root() + " && " +
                       Traced(std::string("-P big.mwx -e inject=read:error=EIO:when=") + pszWhen) + Midwire() +
                       " session dump big.mwx");
        EXPECT_EQ(r.status, 1) << "read " << pszWhen << ": " << r.err;
        EXPECT_NE(r.err.find("Unable to open file: big.mwx ; Input/output error."), std::string::npos)
            << "read " << pszWhen << ": " << r.err;
        EXPECT_EQ(r.err.find("Wrong file format"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("truncated or damaged"), std::string::npos) << r.err;
    }
}

// A data block that cannot be allocated stops the load with "Error allocating
// memory." alone: the file is not called damaged, and the events before it
// were read. The process runs with a 1 GiB address space and the file's
// second event claims 1.5 GiB (a sparse file: no disk is written).
TEST(CliSession, LoadThatRunsOutOfMemorySaysSo)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's shadow memory needs more address space than the limit leaves";
#else
    TempDir dir;
    const std::string a = dir.Path("big.mwx");
    ASSERT_EQ(RunCommand(Midwire() + " session new " + a).status, 0);
    std::string bytes = ReadFile(a);
    bytes.resize(bytes.size() - 4);
    bytes += std::string("\x02\0\0\0", 4);                     // two events
    bytes += std::string("\x00\x01\x00\x00", 4);               // kind 0x100 (message)
    bytes += std::string("\x15\xCD\x5B\x07", 4);               // time
    bytes += std::string("\x02ok", 3);                         // text
    bytes += std::string("\0\0\0\0", 4);                       // no data
    bytes += std::string("\x00", 1);                           // no host
    bytes += std::string("\x04\0\0\0", 4);                     // kind 4
    bytes += std::string("\x15\xCD\x5B\x07", 4);
    bytes += std::string("\x00", 1);
    bytes += std::string("\x00\x00\x00\x60", 4);               // length 1.5 GiB
    bytes += std::string("\x00", 1);
    WriteFile(a, bytes);
    ASSERT_EQ(::truncate(a.c_str(), static_cast<off_t>(bytes.size()) + (off_t{3} << 29)), 0);

    const auto r = RunCommand("ulimit -v 1048576; " + Midwire() + " session dump " + a);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Error allocating memory."), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("truncated or damaged"), std::string::npos) << r.err;
#endif
}

// A text that the file holds but memory cannot (the editor text, or an
// event's text, of 1.5 GiB in a sparse file, with a 1 GiB address space)
// stops the load with "Error allocating memory." as a data block does; the
// desktop shares this load and has no handler further out. So do the
// records of a file that holds more of them than memory can. A first string
// that long is no signature and is refused without being allocated.
TEST(CliSession, LoadOfTextsOrRecordsTooLargeForMemorySaysSo)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's shadow memory needs more address space than the limit leaves";
#else
    TempDir dir;
    const std::string a = dir.Path("a.mwx");
    ASSERT_EQ(RunCommand(Midwire() + " session new " + a).status, 0);
    std::string bytes = ReadFile(a);
    ASSERT_EQ(bytes.substr(bytes.size() - 5), std::string(5, '\0'));  // empty editor text, no events
    bytes.resize(bytes.size() - 5);
    const std::string strHuge("\xFF\xFF\xFF\x00\x00\x00\x60", 7);  // 4-byte form, 1.5 GiB
    const off_t nHuge = off_t{3} << 29;
    struct Case {
        std::string strName, strBytes, strMessage;
    };
    const Case cases[] = {
        {"editor.mwx", bytes + strHuge, "Error allocating memory."},
        {"event.mwx",
         bytes + std::string("\0\x01\0\0\0", 5) + std::string("\x04\0\0\0\x15\xCD\x5B\x07", 8) + strHuge,
         "Error allocating memory."},
        {"signature.mwx", strHuge, "Wrong file format."},
        // Millions of empty records (14 zero bytes each) announced by the
        // largest count: their memory runs out long before the file does.
        {"records.mwx", bytes + std::string("\0\xFF\xFF\xFF\xFF", 5), "Error allocating memory."},
    };
    for (const Case& c : cases) {
        const std::string strPath = dir.Path(c.strName);
        WriteFile(strPath, c.strBytes);
        ASSERT_EQ(::truncate(strPath.c_str(), static_cast<off_t>(c.strBytes.size()) + nHuge), 0);
        const auto r = RunCommand("ulimit -v 1048576; " + Midwire() + " session dump " + strPath);
        EXPECT_EQ(r.status, 1) << c.strName;
        EXPECT_NE(r.err.find(c.strMessage), std::string::npos) << c.strName << ": " << r.err;
        EXPECT_EQ(r.err.find("out of memory"), std::string::npos) << c.strName << ": " << r.err;
    }
#endif
}

// An input too large for the memory a command may use ends the command with a
// message and status 1, not with an abort.
TEST(CliSession, CommandThatRunsOutOfMemoryEndsWithAMessage)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's shadow memory needs more address space than the limit leaves";
#else
    const auto r = RunCommand("head -c 400M /dev/zero | (ulimit -v 1048576; exec " + Midwire() +
                              " codec base64-encode > /dev/null)");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("midwire: codec: out of memory"), std::string::npos) << r.err;
#endif
}
