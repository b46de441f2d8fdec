// The MIME report (analysis and decoding modes), the decoding into a
// directory, and the robustness of both against hostile input.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "TestUtil.h"
#include "mime/MimeAdapter.h"
#include "mime/MimeDecode.h"
#include "mime/MimeReport.h"

namespace fs = std::filesystem;
using testutil::ReadFile;
using testutil::TempDir;

namespace {

const std::string kExample =
    "MIME-Version: 1.0\n"
    "Subject: test\n"
    "Content-Type: multipart/mixed; boundary=xx\n"
    "\n"
    "--xx\n"
    "Content-Type: text/plain\n"
    "\n"
    "hello\n"
    "--xx--\n";

const std::string kExampleReport =
    "Message Level [1] Header\n"
    "  MIME Version = 1.0\n"
    "  Subject = test\n"
    "  Content Type = multipart\n"
    "  Content SubType = mixed\n"
    "  Content Parameters\n"
    "    Attribute = boundary\n"
    "    Value = xx\n"
    "Message Level [1] Body\n"
    "  Message Level [1] Part [1]\n"
    "    Part [1] Level [1] Header\n"
    "      Content Type = text\n"
    "      Content SubType = plain\n"
    "    Part [1] Level [1] Body\n"
    "      Part content = \n"
    "__________\n"
    "hello\n"
    "__________\n";

// A decoding run into a fresh directory "out" (raw copy "msg").
struct Decoded {
    TempDir tmp;
    std::string dir;
    std::string report;
    explicit Decoded(const std::string& message)
    {
        dir = tmp.Path("out");
        fs::create_directory(dir);
        std::string strWriteError;
        EXPECT_TRUE(DecodeToDirectory(message, dir, "msg", strWriteError)) << strWriteError;
        // Stored as a text file: CR LF line ends.
        report = testutil::CrLfToLf(ReadFile(dir + "/msg.MIME"));
    }
    std::string File(const std::string& name) const { return ReadFile(dir + "/" + name); }
    bool Has(const std::string& name) const { return fs::exists(dir + "/" + name); }
};

bool Contains(const std::string& text, const std::string& piece)
{
    return text.find(piece) != std::string::npos;
}

std::string Multipart(const std::string& boundary, const std::vector<std::string>& parts,
                      const std::string& header = std::string())
{
    std::string s = header + "Content-Type: multipart/mixed; boundary=" + boundary + "\n\n";
    for (const std::string& part : parts)
        s += "--" + boundary + "\n" + part + "\n";
    return s + "--" + boundary + "--\n";
}

}  // namespace

TEST(MimeReport, ExampleInAnalysisAndDecodingMode)
{
    EXPECT_EQ(AnalyseMessage(kExample), kExampleReport);

    Decoded d(kExample);
    const std::string head = kExampleReport.substr(0, kExampleReport.find("      Part content = "));
    EXPECT_EQ(d.report, head + "      Part content file =" + d.dir + "/part1.1\n");
    EXPECT_EQ(d.File("part1.1"), "hello");
    EXPECT_EQ(d.File("msg"), kExample);  // the raw copy, unchanged
}

TEST(MimeReport, PartFilesAreNamedByDepthAndIndex)
{
    // Not multipart: depth 0, index -1.
    Decoded single("Subject: one\n\nbody\n");
    EXPECT_TRUE(Contains(single.report, "  Message content file =" + single.dir + "/part0.-1\n"));
    EXPECT_EQ(single.File("part0.-1"), "body\n");
    EXPECT_FALSE(single.Has("part0.0"));

    const std::string nested = Multipart("in", {"Content-Type: text/plain\n\ninner one", "\ninner two"});
    const std::string inner = "Subject: enclosed\n\nenclosed body";
    const std::string msg = Multipart("out", {"\nfirst", "Content-Type: text/plain\n\nsecond",
                                              "Content-Type: message/rfc822\n\n" + inner, nested});
    const std::string report = AnalyseMessage(msg);
    EXPECT_TRUE(Contains(report, "\n  Message Level [1] Part [2]\n    Part [2] Level [1] Header\n"));
    EXPECT_TRUE(Contains(report, "\n      Part [1] \n        Part [1] Level [2] Header\n"));
    EXPECT_TRUE(Contains(report, "    Part [3] Level [1] Body\n      Part content = Message \n"
                                 "        Message Level [3] Header\n          Subject = enclosed\n"));

    Decoded d(msg);
    EXPECT_EQ(d.File("part1.1"), "first");
    EXPECT_EQ(d.File("part1.2"), "second");
    EXPECT_EQ(d.File("part2.3"), "enclosed body");  // the encapsulated message keeps its part's index
    EXPECT_EQ(d.File("part2.1"), "inner one");
    EXPECT_EQ(d.File("part2.2"), "inner two");
    EXPECT_TRUE(Contains(d.report, "        Message content file =" + d.dir + "/part2.3\n"));
}

// Numbered names come from depth and index only, and a "name" may repeat:
// a later part whose file name is taken gets a numbered variant, so that no
// part's content is lost, and the report names the file it really went to.
TEST(MimeReport, PartsWhoseNamesCollideGetTheirOwnFiles)
{
    const std::string msg = Multipart(
        "o", {Multipart("a", {"\nfrom a"}), Multipart("b", {"\nfrom b"}),
              "Content-Type: text/plain; name=same.txt\n\none", "Content-Type: text/plain; name=same.txt\n\ntwo",
              "Content-Type: text/plain; name=part2.1_2\n\nnamed"});
    Decoded d(msg);
    EXPECT_EQ(d.File("part2.1"), "from a");
    EXPECT_EQ(d.File("part2.1_2"), "from b");
    EXPECT_EQ(d.File("same.txt"), "one");
    EXPECT_EQ(d.File("same_2.txt"), "two");
    EXPECT_EQ(d.File("part2_2.1_2"), "named");
    for (const char* pszName : {"part2.1", "part2.1_2", "same.txt", "same_2.txt", "part2_2.1_2"})
        EXPECT_TRUE(Contains(d.report, "Part content file =" + d.dir + "/" + pszName + "\n")) << pszName;

    // Tens of thousands of parts of one name (a message of a few megabytes)
    // are named one after the other, not by counting up from 2 each time; a
    // part that really has the name of a variant keeps it.
    constexpr int kParts = 30000;
    std::vector<std::string> many = {"Content-Type: text/plain; name=many_3.txt\n\nliteral"};
    for (int i = 1; i <= kParts; ++i)
        many.push_back("Content-Type: text/plain; name=many.txt\n\n" + std::to_string(i));
    Decoded m(Multipart("m", many));
    EXPECT_EQ(m.File("many_3.txt"), "literal");
    EXPECT_EQ(m.File("many.txt"), "1");
    EXPECT_EQ(m.File("many_2.txt"), "2");
    EXPECT_EQ(m.File("many_4.txt"), "3");
    EXPECT_EQ(m.File("many_" + std::to_string(kParts + 1) + ".txt"), std::to_string(kParts));
    EXPECT_EQ(std::distance(fs::directory_iterator(m.dir), fs::directory_iterator()), kParts + 3);
}

TEST(MimeReport, OnlyTheLowerCaseNameParameterNamesTheFile)
{
    const std::string msg = Multipart("b", {"Content-Type: text/plain; Name=upper.txt\n\nU",
                                            "Content-Type: text/plain; NAME=x; name=first; name=lower.txt\n\nL"});
    Decoded d(msg);
    EXPECT_EQ(d.File("part1.1"), "U");
    EXPECT_FALSE(d.Has("upper.txt"));
    EXPECT_EQ(d.File("lower.txt"), "L");
    EXPECT_FALSE(d.Has("part1.2"));
    EXPECT_TRUE(Contains(d.report, "    Part content file =" + d.dir + "/lower.txt\n"));
    EXPECT_TRUE(Contains(d.report, "      Content Parameters\n        Attribute = Name\n        Value = upper.txt\n"));
}

TEST(MimeReport, TransferEncodingsDecodeByFirstLetter)
{
    const std::string msg = Multipart(
        "b", {"Content-Transfer-Encoding: base64\n\naGVs\nbG8=", "Content-Transfer-Encoding: BASE64\n\nYWJj",
              "Content-Transfer-Encoding: quoted-printable\n\na=3Db=\nc", "Content-Transfer-Encoding: 7bit\n\n=41 x",
              "Content-Transfer-Encoding: 8bit\n\n=41 y", "Content-Transfer-Encoding:\n\n=41 z",
              "Content-Transfer-Encoding: binary\n\nYWJj"});
    Decoded d(msg);
    EXPECT_EQ(d.File("part1.1"), "hello");
    EXPECT_EQ(d.File("part1.2"), "abc");
    EXPECT_EQ(d.File("part1.3"), "a=bc");
    EXPECT_EQ(d.File("part1.4"), "=41 x");
    EXPECT_EQ(d.File("part1.5"), "=41 y");
    EXPECT_EQ(d.File("part1.6"), "=41 z");
    EXPECT_EQ(d.File("part1.7"), "YWJj");  // binary content is raw bytes, not Base64
    // Zero bytes reach the file.
    Decoded zeros("Content-Transfer-Encoding: base64\n\nAEEA\n");
    EXPECT_EQ(zeros.File("part0.-1"), std::string("\0A\0", 3));

    // Analysis mode shows the body still encoded.
    const std::string report = AnalyseMessage(msg);
    EXPECT_TRUE(Contains(report, "      Content Transfer Encoding = base64\n"));
    EXPECT_TRUE(Contains(report, "__________\naGVs\nbG8=\n__________\n"));
}

TEST(MimeReport, HeaderFieldsInTableOrder)
{
    const std::string msg =
        "X-Mailer: ignored\n"
        "Content-Id: <part.1@example.net>\n"
        "Subject: first subject\n"
        "To: Friends: a@b.example, Bob <bob@c.example>;, carol@d.example\n"
        "From: \"Ann Author\" <ann@a.example>, Dan <dan@e.example>\n"
        "Sender: Sam <sam@s.example>\n"
        "Message-Id: <1234.5678@mail.example.org>\n"
        "Date: Tue, 1 Jan 2002\n"
        " 10:00:00 +0000\n"
        "Subject: second subject\n"
        "MIME-Version: 1.0\n"
        "\n"
        "body\n";
    const std::string report = AnalyseMessage(msg);
    const std::string header = report.substr(0, report.find("Message Level [1] Body"));
    EXPECT_EQ(header,
              "Message Level [1] Header\n"
              "  MIME Version = 1.0\n"
              "  Subject = first subject\n"
              "  From = Ann Author <ann@a.example>\n"
              "    Full name = Ann Author\n"
              "    Route = \n"
              "    Local Part = ann\n"
              "    Domain = a.example\n"
              "  From = Dan <dan@e.example>\n"
              "    Full name = Dan\n"
              "    Route = \n"
              "    Local Part = dan\n"
              "    Domain = e.example\n"
              "  Sender = Sam <sam@s.example>\n"
              "    Full name = Sam\n"
              "    Route = \n"
              "    Local Part = sam\n"
              "    Domain = s.example\n"
              "  To = Friends: a@b.example, Bob <bob@c.example>;\n"
              "  To = carol@d.example\n"
              "  Date = Tue, 1 Jan 2002 10:00:00 +0000\n"
              "  MessageId = <1234.5678@mail.example.org>\n"
              "    Local Part = 1234.5678\n"
              "    Domain = mail.example.org\n"
              "  Content Type = \n"
              "  Content SubType = \n"
              "  ContentId = <part.1@example.net>\n"
              "    Local Part = part.1\n"
              "    Domain = example.net\n");
}

TEST(MimeReport, ResentFieldsCarryTheirOwnLabels)
{
    const std::string report = AnalyseMessage(
        "Resent-Message-Id: <r@x.example>\nResent-Sender: rs@y.example\nResent-From: rf@z.example\n"
        "Resent-To: a@b.example\nReply-To: r@c.example\nNewsgroups: comp.a\nFollowup-To: comp.b\n\nx");
    EXPECT_TRUE(Contains(report, "  Resent From = rf@z.example\n    Resent Full name = \n    Resent Route = \n"
                                 "    Resent Local Part = rf\n    Resent Domain = z.example\n"
                                 "  Resent Sender = rs@y.example\n    Resent Full name = \n"));
    EXPECT_TRUE(Contains(report, "  Resent To = a@b.example\n  Reply To = r@c.example\n"));
    EXPECT_TRUE(Contains(report, "  Resent MessageId = <r@x.example>\n    Resent Local Part = r\n"
                                 "    Resent Domain = x.example\n"));
    EXPECT_TRUE(Contains(report, "  Followup To = comp.b\n  News Groups = comp.a\n"));
    // An empty address list prints nothing.
    EXPECT_FALSE(Contains(AnalyseMessage("To: \nSubject: s\n\nx"), "To ="));
}

// A Content-Type that is empty, lacks its subtype or holds only parameters
// is shown as written, parameters included, not as a type the message does
// not name; its "name" still names the part file.
TEST(MimeReport, UnreadableContentTypeIsShownAsWritten)
{
    const auto typeLines = [](const std::string& field) {
        const std::string report = AnalyseMessage("Content-Type:" + field + "\n\nbody\n");
        return report.substr(report.find("  Content Type"), report.find("Message Level [1] Body") -
                                                                 report.find("  Content Type"));
    };
    EXPECT_EQ(typeLines(""), "  Content Type = \n  Content SubType = \n");
    EXPECT_EQ(typeLines(" text"), "  Content Type = text\n  Content SubType = \n");
    EXPECT_EQ(typeLines(" ; name=x.txt"), "  Content Type = \n  Content SubType = \n  Content Parameters\n"
                                          "    Attribute = name\n    Value = x.txt\n");
    // A field that does name application/octet-stream reads as such.
    EXPECT_EQ(typeLines(" Application/Octet-Stream; a=b"), "  Content Type = Application\n"
                                                            "  Content SubType = Octet-Stream\n"
                                                            "  Content Parameters\n    Attribute = a\n"
                                                            "    Value = b\n");

    Decoded d(Multipart("b", {"Content-Type: ;name=named.txt\n\nN"}));
    EXPECT_EQ(d.File("named.txt"), "N");
}

TEST(MimeReport, MissingBoundaryMakesALeaf)
{
    const std::string body = "--other\nContent-Type: text/plain\n\nhello\n--other--\n";
    const std::string report = AnalyseMessage("Content-Type: multipart/mixed; boundary=zz\n\n" + body);
    EXPECT_TRUE(Contains(report, "Message Level [1] Body\n  Message content = \n__________\n" + body + "\n__________\n"));
    EXPECT_FALSE(Contains(report, "Part [1]"));
}

// A boundary the parse finds without making a part of it (a closing line
// with no opening one, an opening line with nothing after it) leaves a
// leaf whose body is still the whole text, boundary lines and line ends
// included, in a top-level and in an encapsulated message alike.
TEST(MimeReport, MultipartWithoutPartsShowsItsWholeBody)
{
    const std::string header = "Subject: s\nContent-Type: multipart/mixed; boundary=QQ\n\n";
    for (const std::string& body : {std::string("pre\n--QQ--\npost\n"), std::string("pre\r\n--QQ--\r\npost\r\n"),
                                   std::string("--QQ--  \nafter\n"), std::string("\npre\n--QQ\n"),
                                   std::string("pre\n--QQ--")}) {
        const std::string shown = "Message content = \n__________\n" + body + "\n__________\n";
        EXPECT_TRUE(Contains(AnalyseMessage(header + body), "Message Level [1] Body\n  " + shown)) << body;
        const std::string inner = AnalyseMessage(Multipart("o", {"Content-Type: message/rfc822\n\n" + header + body}));
        EXPECT_TRUE(Contains(inner, "        Message Level [3] Body\n          " + shown)) << body;
        Decoded d(header + body);
        EXPECT_EQ(d.File("part0.-1"), body);
    }
}

// The same for a multipart body part: its body runs from its header to the
// line break before the next delimiter of a multipart it lies in, CR LF line
// ends and its own boundary lines kept, and is stored so when decoded.
TEST(MimeReport, MultipartPartWithoutPartsKeepsItsWholeBody)
{
    const std::string header = "Content-Type: multipart/alternative; boundary=QQ\n\n";
    for (const std::string& body : {std::string("pre\n--QQ--\npost\n"), std::string("pre\r\n--QQ--\r\npost\r\n"),
                                   std::string("line1\r\n\r\n  line2\t \r\nlast"), std::string("--QQ--  \nafter"),
                                   std::string("no boundary at all\n--o-- is not its own line")}) {
        const std::string message = Multipart("o", {"Content-Type: text/plain\n\nfirst", header + body});
        const std::string shown = "Part content = \n__________\n" + body + "\n__________\n";
        EXPECT_TRUE(Contains(AnalyseMessage(message), "    Part [2] Level [1] Body\n      " + shown)) << body;
        Decoded d(message);
        EXPECT_EQ(d.File("part1.2"), body);
        EXPECT_EQ(d.File("part1.1"), "first");

        // Two levels down, the part ends at a delimiter of the outermost multipart.
        const std::string nested = "Content-Type: multipart/mixed; boundary=top\n\n--top\n"
                                   "Content-Type: multipart/mixed; boundary=mid\n\n--mid\n" +
                                   header + body + "\r\n--top--\n";
        EXPECT_TRUE(Contains(AnalyseMessage(nested), "        Part [1] Level [2] Body\n          " + shown))
            << body;
    }
}

// A part ends before the CR LF of the delimiter after it, also when that
// delimiter is the last line of the input: a message forwarded in a message
// body with CR LF line ends always ends so, as does a file without a line
// break after its closing delimiter. Content that ends in a CR of its own
// keeps it.
TEST(MimeReport, CrLfBeforeAClosingDelimiterAtTheEndIsNotContent)
{
    const std::string inner = "Subject: inner\r\nContent-Type: multipart/alternative; boundary=CC\r\n\r\n"
                              "--CC\r\nContent-Type: text/plain\r\n\r\nfirst\r\n"
                              "--CC\r\nContent-Type: text/html\r\n\r\n<p>x</p>\r\n--CC--";
    const std::string forwarded = "Content-Type: multipart/mixed; boundary=BB\r\n\r\n--BB\r\n"
                                  "Content-Type: message/rfc822\r\n\r\n" +
                                  inner + "\r\n--BB--\r\n";
    const std::string report = AnalyseMessage(forwarded);
    EXPECT_TRUE(Contains(report, "__________\nfirst\n__________\n")) << report;
    EXPECT_TRUE(Contains(report, "__________\n<p>x</p>\n__________\n")) << report;
    Decoded d(forwarded);
    EXPECT_EQ(d.File("part3.1"), "first");
    EXPECT_EQ(d.File("part3.2"), "<p>x</p>");

    for (const std::string& end : {std::string("--CC--"), std::string("--CC"), std::string("--CC--  ")}) {
        const std::string top = "Content-Type: multipart/mixed; boundary=CC\r\n\r\n--CC\r\n\r\none\r\n"
                                "--CC\r\nContent-Transfer-Encoding: 7bit\r\n\r\ntwo\r\n" + end;
        Decoded t(top);
        EXPECT_EQ(t.File("part1.1"), "one") << end;
        EXPECT_EQ(t.File("part1.2"), "two") << end;
    }
    Decoded own("Content-Type: multipart/mixed; boundary=CC\n\n--CC\n\ncr\r\r\n--CC--");
    EXPECT_EQ(own.File("part1.1"), "cr\r");
}

TEST(MimeReport, InputWithoutHeaderIsAllBody)
{
    const std::string input = "this is no header\nSubject: late\n\nmore\n";
    EXPECT_EQ(AnalyseMessage(input), "Message Level [1] Header\n"
                                     "  Content Type = \n"
                                     "  Content SubType = \n"
                                     "Message Level [1] Body\n"
                                     "  Message content = \n__________\n" +
                                         input + "\n__________\n");
    EXPECT_EQ(AnalyseMessage(""), "Message Level [1] Header\n  Content Type = \n  Content SubType = \n"
                                  "Message Level [1] Body\n  Message content = \n__________\n\n__________\n");
}

// A header block that runs into lines that are not header fields, without a
// blank line between, ends there: those lines begin the body, in a top-level
// message, a body part (decoded as its encoding says) and an encapsulated
// message alike. A header ended by a delimiter still has an empty body, and
// a stray line between two fields is still passed over.
TEST(MimeReport, HeaderWithoutBlankLineKeepsWhatFollows)
{
    const std::string fence = "content = \n__________\n";
    EXPECT_TRUE(Contains(AnalyseMessage("Subject: x\nhello there\nsecond: line\n"),
                         "Message Level [1] Body\n  Message " + fence + "hello there\nsecond: line\n"));
    const std::string msg = Multipart(
        "xx", {"Content-Type: text/plain\nnot a header\nmore text", "Content-Transfer-Encoding: base64\nYWJj",
               "Content-Type: message/rfc822\n\nSubject: in\ninner text", "Content-Type: text/plain\n",
               "Content-Type: text/plain\nstray\nContent-Description: d\n\nafter"});
    const std::string report = AnalyseMessage(msg);
    EXPECT_TRUE(Contains(report, "Part " + fence + "not a header\nmore text\n__________\n")) << report;
    EXPECT_TRUE(Contains(report, "Part " + fence + "YWJj\n__________\n")) << report;
    EXPECT_TRUE(Contains(report, "        Message Level [3] Body\n          Message " + fence +
                                     "inner text\n__________\n"))
        << report;
    EXPECT_TRUE(Contains(report, "Part " + fence + "\n__________\n")) << report;
    EXPECT_TRUE(Contains(report, "      Content Description = d\n    Part [5] Level [1] Body\n      Part " + fence +
                                     "after\n__________\n"))
        << report;
    Decoded d(msg);
    EXPECT_EQ(d.File("part1.1"), "not a header\nmore text");
    EXPECT_EQ(d.File("part1.2"), "abc");
    EXPECT_EQ(d.File("part2.3"), "inner text");
}

// A body part with neither a header nor a blank line (text right after its
// delimiter, or nothing at all before the next one) keeps its place: the
// parts after it keep their numbers and file names, also in a nested multipart.
TEST(MimeReport, PartsWithoutHeaderOrBlankLineKeepTheirPlace)
{
    const std::string inner = "Content-Type: multipart/mixed; boundary=in\n\n--in\nhello\nworld\n--in\n--in\n"
                              "Content-Type: text/plain\n\nlast\n--in--";
    const std::string msg = Multipart("out", {"just text", inner, "Content-Type: text/plain\n\nthird"});
    const std::string report = AnalyseMessage(msg);
    EXPECT_TRUE(Contains(report, "  Message Level [1] Part [3]\n    Part [3] Level [1] Header\n")) << report;
    EXPECT_TRUE(Contains(report, "        Part [3] Level [2] Header\n")) << report;
    Decoded d(msg);
    EXPECT_EQ(d.File("part1.1"), "just text");
    EXPECT_EQ(d.File("part2.1"), "hello\nworld");
    EXPECT_EQ(d.File("part2.2"), "");
    EXPECT_EQ(d.File("part2.3"), "last");
    EXPECT_EQ(d.File("part1.3"), "third");
}

// A message body is a message whatever it holds: one that does not begin
// with a header keeps its whole text as the body of the encapsulated
// message, as the top-level message does, and an empty one is an empty message.
TEST(MimeReport, EncapsulatedMessageWithoutHeaderKeepsItsText)
{
    const std::string text = "no header here\nline two\n\nafter a blank line";
    const std::string msg = Multipart("b", {"Content-Type: message/rfc822\n\n" + text,
                                            "Content-Type: message/news\n\n",
                                            "Content-Type: message/rfc822\n\nSubject: s\njunk\n\nbody"});
    const std::string report = AnalyseMessage(msg);
    EXPECT_TRUE(Contains(report, "    Part [1] Level [1] Body\n      Part content = Message \n"
                                 "        Message Level [3] Header\n          Content Type = \n"
                                 "          Content SubType = \n        Message Level [3] Body\n"
                                 "          Message content = \n__________\n" +
                                     text + "\n__________\n"));
    EXPECT_TRUE(Contains(report, "    Part [2] Level [1] Body\n      Part content = Message \n"
                                 "        Message Level [3] Header\n"));
    EXPECT_TRUE(Contains(report, "        Message Level [3] Header\n          Subject = s\n"));

    Decoded d(msg);
    EXPECT_EQ(d.File("part2.1"), text);
    EXPECT_EQ(d.File("part2.2"), "");
    EXPECT_EQ(d.File("part2.3"), "body");
    EXPECT_FALSE(d.Has("part1.2"));

    // Only a Content-Type of message makes one: a digest's part without the
    // field shows it empty and is a leaf.
    const std::string digest = "Content-Type: multipart/digest; boundary=b\n\n--b\n\nSubject: d\n\nx\n--b--\n";
    EXPECT_TRUE(Contains(AnalyseMessage(digest), "      Content Type = \n      Content SubType = \n"
                                                 "    Part [1] Level [1] Body\n      Part content = \n"
                                                 "__________\nSubject: d\n\nx\n__________\n"));
}

TEST(MimeReport, HostilePartNamesStayInsideTheDirectory)
{
    TempDir tmp;
    const std::string dir = tmp.Path("out");
    fs::create_directory(dir);
    const std::vector<std::string> names = {"../escape1", "/tmp/../escape2", "..", ".", "", "sub/dir/",
                                            "..\\escape3", "msg", "msg.MIME", "C:\\docs\\win.txt",
                                            std::string(300, 'L') + ".txt"};
    std::vector<std::string> parts;
    for (const std::string& name : names) {
        std::string quoted;  // a backslash is escaped inside a quoted string
        for (char c : name)
            quoted += c == '\\' ? std::string("\\\\") : std::string(1, c);
        parts.push_back("Content-Type: text/plain; name=\"" + quoted + "\"\n\n" + name + "!");
    }
    std::string strWriteError;
    EXPECT_TRUE(DecodeToDirectory(Multipart("b", parts), dir, "msg", strWriteError));

    EXPECT_FALSE(fs::exists(tmp.Path("escape1")));
    EXPECT_FALSE(fs::exists("/tmp/escape2"));
    EXPECT_EQ(ReadFile(dir + "/escape1"), "../escape1!");
    EXPECT_EQ(ReadFile(dir + "/escape2"), "/tmp/../escape2!");
    EXPECT_EQ(ReadFile(dir + "/escape3"), "..\\escape3!");
    EXPECT_EQ(ReadFile(dir + "/win.txt"), "C:\\docs\\win.txt!");
    // Names that leave nothing usable, or would clobber the raw copy or the report, get numbered names.
    EXPECT_EQ(ReadFile(dir + "/part1.3"), "..!");
    EXPECT_EQ(ReadFile(dir + "/part1.4"), ".!");
    EXPECT_EQ(ReadFile(dir + "/part1.5"), "!");
    EXPECT_EQ(ReadFile(dir + "/part1.6"), "sub/dir/!");
    EXPECT_EQ(ReadFile(dir + "/part1.8"), "msg!");
    EXPECT_EQ(ReadFile(dir + "/part1.9"), "msg.MIME!");
    EXPECT_EQ(ReadFile(dir + "/part1.11"), std::string(300, 'L') + ".txt!");  // too long for a file name
    EXPECT_TRUE(ReadFile(dir + "/msg").starts_with("Content-Type: multipart/mixed"));
    EXPECT_TRUE(ReadFile(dir + "/msg.MIME").starts_with("Message Level [1] Header\r\n"));
    std::size_t nEntries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir))
        ++nEntries;
    EXPECT_EQ(nEntries, names.size() + 2);
    EXPECT_EQ(std::distance(fs::directory_iterator(tmp.Root()), fs::directory_iterator()), 1);

    // Control characters, as RFC 2231 or encoded words bring them in, do not
    // reach the file name or break the report's line that names the file.
    Decoded c(Multipart("c", {"Content-Type: text/plain; name*=utf-8''bad%0A%20%20Part%20content%20file%20=x\n\nA",
                              "Content-Type: text/plain; name=\"=?utf-8?q?=1B[31mred=7F?=\"\n\nB",
                              "Content-Type: text/plain; name*=utf-8''cut%00off\n\nC"}));
    EXPECT_EQ(c.File("bad_  Part content file =x"), "A");
    EXPECT_EQ(c.File("_[31mred_"), "B");
    EXPECT_EQ(c.File("cut"), "C");
    EXPECT_TRUE(Contains(c.report, "      Part content file =" + c.dir + "/bad_  Part content file =x\n"));
    EXPECT_TRUE(Contains(c.report, "      Part content file =" + c.dir + "/_[31mred_\n"));
    EXPECT_EQ(std::distance(fs::directory_iterator(c.dir), fs::directory_iterator()), 5);
}

// A file that is opened but cannot be written whole (here a file size limit
// stands in for a full disk) fails the decoding: the part's report line says
// so and the command exits 1 naming the first file cut short.
TEST(MimeDecodeCli, AFileThatCannotBeWrittenWholeFailsTheCommand)
{
    TempDir tmp;
    testutil::WriteFile(tmp.Path("big.eml"), "Content-Type: multipart/mixed; boundary=b\n\n--b\n"
                                             "Content-Type: text/plain\n\nsmall\n--b\n"
                                             "Content-Type: application/octet-stream\n\n" +
                                                 std::string(300000, 'a') + "\n--b--\n");
    const auto r = testutil::RunCommand("trap '' XFSZ; ulimit -f 200; " + testutil::Midwire() + " mime decode " +
                                        tmp.Path("big.eml") + " " + tmp.Path("out"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Contains(r.err, "Unable to write file: " + tmp.Path("out") + "/out ; File too large.")) << r.err;
    const std::string report = testutil::CrLfToLf(ReadFile(tmp.Path("out") + "/out.MIME"));
    EXPECT_TRUE(Contains(report, "  Part content file =" + tmp.Path("out") + "/part1.1\n")) << report;
    EXPECT_TRUE(Contains(report, "  Error writing content file =" + tmp.Path("out") + "/part1.2\n")) << report;

    const auto ok = testutil::RunCommand(testutil::Midwire() + " mime decode " + tmp.Path("big.eml") + " " +
                                         tmp.Path("out2"));
    EXPECT_EQ(ok.status, 0) << ok.err;
}

// A file system with no room for another file (here a tmpfs of four inodes,
// in a mount namespace of its own) fails the decoding too, although no file
// was cut short: the later part files and the report were never created.
TEST(MimeDecodeCli, AFullFileSystemFailsTheCommand)
{
    if (::geteuid() != 0 || testutil::RunCommand("command -v unshare").status != 0)
        GTEST_SKIP() << "mounting a small file system needs root and unshare";
    TempDir tmp;
    fs::create_directory(tmp.Path("mnt"));
    std::vector<std::string> parts;
    for (int i = 1; i <= 5; ++i)
        parts.push_back("Content-Type: text/plain\n\npart " + std::to_string(i));
    testutil::WriteFile(tmp.Path("five.eml"), Multipart("b", parts));
    const std::string mnt = tmp.Path("mnt");
    const auto r = testutil::RunCommand("timeout 60 unshare -m sh -c 'mount -t tmpfs -o size=1m,nr_inodes=4 none " +
                                        mnt + " && " + testutil::Midwire() + " mime decode " + tmp.Path("five.eml") +
                                        " " + mnt + "/out; echo status=$?; ls " + mnt + "/out'");
    if (!Contains(r.out, "status="))
        GTEST_SKIP() << "no tmpfs could be mounted: " << r.err;
    EXPECT_TRUE(Contains(r.out, "status=1\n")) << r.out << r.err;
    // The first file that could not be created is named, not the report that failed after it.
    EXPECT_TRUE(Contains(r.err, "Unable to write file: " + mnt + "/out/part1.")) << r.err;
    EXPECT_TRUE(Contains(r.err, " ; No space left on device.")) << r.err;
}

TEST(MimeReport, UnwritablePartFilesAreReportedNotFatal)
{
    // The caller was to create the directory; without it no file can be opened.
    TempDir tmp;
    const std::string dir = tmp.Path("missing");
    std::string strWriteError;
    EXPECT_TRUE(DecodeToDirectory(kExample, dir, "msg", strWriteError));  // files not opened are passed over
    EXPECT_FALSE(fs::exists(dir));

    std::string report;
    const auto pMessage = CMimeMessage::Parse(kExample);
    CMimeDecodeTarget target{dir, {}, {}, {}, {}};
    ReportMessage(pMessage->Root(), report, 0, -1, &target);
    EXPECT_TRUE(Contains(report, "    Part [1] Level [1] Body\n      Error opening content file =" + dir + "/part1.1\n"));

    // A named pipe that no program reads, where a file is to go, is passed
    // over at once: it does not hold the decoding (and a window) for good.
    fs::create_directory(dir);
    const std::string strPipe = dir + "/msg";
    ASSERT_EQ(::mkfifo(strPipe.c_str(), 0600), 0);
    {
        testutil::CPipeRescue rescue(strPipe);
        EXPECT_TRUE(DecodeToDirectory(kExample, dir, "msg", strWriteError)) << strWriteError;
        rescue.Returned();
        EXPECT_FALSE(rescue.Rescued()) << "the decoding waited for a reader of the pipe";
        EXPECT_TRUE(fs::is_fifo(strPipe));
        EXPECT_TRUE(fs::is_regular_file(dir + "/msg.MIME"));
        EXPECT_TRUE(fs::is_regular_file(dir + "/part1.1"));
    }
}

TEST(MimeReport, DeepNestingIsBoundedAndReportedAsALeaf)
{
    // Multiparts and encapsulated messages nested far deeper than the report goes.
    std::string msg;
    for (int i = 0; i < 400; ++i)
        msg += i % 2 ? "Content-Type: message/rfc822\n\n"
                     : "Content-Type: multipart/mixed; boundary=b" + std::to_string(i) + "\n\n--b" +
                           std::to_string(i) + "\n";
    msg += "\ndeepest\n";
    const std::string report = AnalyseMessage(msg);
    // Indentation grows with depth: the deepest line sits at the bound (labels add up to 4 blanks).
    std::size_t nMaxIndent = 0;
    for (std::size_t at = 0; at < report.size(); at = report.find('\n', at) + 1) {
        const std::size_t nIndent = report.find_first_not_of(' ', at) - at;
        if (report[at + nIndent] != '\n')
            nMaxIndent = std::max(nMaxIndent, nIndent);
        if (report.find('\n', at) == std::string::npos)
            break;
    }
    const std::size_t nBound = static_cast<std::size_t>(kMaxMimeReportDepth) * 4;
    EXPECT_GE(nMaxIndent, nBound);
    EXPECT_LE(nMaxIndent, nBound + 4);
    // The entity at the bound shows what it holds as its content.
    const std::string indent(nBound, ' ');
    EXPECT_TRUE(Contains(report, "\n" + indent + "Message Level [" + std::to_string(kMaxMimeReportDepth + 1) +
                                     "] Body\n" + indent + "  Message content = \n__________\n--b100\n"));

    // A long chain of message/partial bodies, each parsed anew, ends at the bound too.
    std::string partial = "end";
    for (int i = 0; i < 300; ++i)
        partial = "Content-Type: message/partial; id=" + std::to_string(i) + "\n\n" + partial;
    EXPECT_TRUE(Contains(AnalyseMessage(partial), indent + "  Message content = \n__________\n"));

    Decoded d(msg);
    EXPECT_TRUE(d.report.starts_with("Message Level [1] Header"));
}

// The library's parse and writer recurse once per level of nesting: under a
// small stack (the user's ulimit) a deeply nested message must still be
// analysed and decoded, not crash the program.
TEST(MimeDecodeCli, DeepNestingNeedsNoLargeStack)
{
    TempDir tmp;
    std::string multiparts, messages;
    for (int i = 0; i < 2000; ++i)
        multiparts += "Content-Type: multipart/mixed; boundary=b" + std::to_string(i) + "\n\n--b" + std::to_string(i) + "\n";
    for (int i = 0; i < 400; ++i)
        messages += "Content-Type: message/rfc822\n\n";
    testutil::WriteFile(tmp.Path("mp.eml"), multiparts + "\ndeepest\n");
    testutil::WriteFile(tmp.Path("msg.eml"), messages + "deepest\n");
    for (const char* pszName : {"mp.eml", "msg.eml"}) {
        const std::string strSmallStack = "ulimit -s 128; " + testutil::Midwire() + " mime ";
        const auto analysed = testutil::RunCommand(strSmallStack + "analyse " + tmp.Path(pszName));
        EXPECT_EQ(analysed.status, 0) << pszName << analysed.err;
        EXPECT_TRUE(analysed.out.starts_with("Message Level [1] Header\n")) << pszName;
        EXPECT_TRUE(Contains(analysed.out, "deepest")) << pszName;
        const auto decoded =
            testutil::RunCommand(strSmallStack + "decode " + tmp.Path(pszName) + " " + tmp.Path(pszName) + ".d");
        EXPECT_EQ(decoded.status, 0) << pszName << decoded.err;
        EXPECT_TRUE(fs::exists(tmp.Path(pszName) + ".d/" + pszName + ".d.MIME")) << pszName;
    }
}

TEST(MimeReport, MutatedMessagesNeverCrash)
{
    const std::vector<std::string> seeds = {
        kExample,
        Multipart("q", {"Content-Type: text/plain; name=a.txt\nContent-Transfer-Encoding: base64\n\nYWJj\n",
                        "Content-Type: message/rfc822\n\nFrom: a@b\nTo: g: x@y;\nSubject: s\n\nin\n",
                        Multipart("r", {"Content-Transfer-Encoding: quoted-printable\n\na=3D=\nb\n"})},
                  "From: \"A\" <a@b.example>\nMessage-Id: <x@y>\n"),
        "Content-Type: message/partial; id=1\n\nSubject: p\nContent-Type: multipart/alternative; boundary=\"=_\"\n\n"
        "--=_\n\nx\n--=_--\n",
    };
    const std::string alphabet = "-\n\r:;=\"<>@, \t()\\/abmxyz0";
    std::mt19937 rng(20261209);
    TempDir tmp;
    for (int round = 0; round < 3000; ++round) {
        std::string msg = seeds[rng() % seeds.size()];
        const int nEdits = 1 + static_cast<int>(rng() % 8);
        for (int e = 0; e < nEdits && !msg.empty(); ++e) {
            const std::size_t at = rng() % msg.size();
            switch (rng() % 5) {
            case 0: msg[at] = alphabet[rng() % alphabet.size()]; break;
            case 1: msg[at] = static_cast<char>(rng()); break;
            case 2: msg.erase(at, 1 + rng() % 16); break;
            case 3: msg.insert(at, msg.substr(rng() % msg.size(), rng() % 64)); break;
            default: msg.insert(at, 1, alphabet[rng() % alphabet.size()]); break;
            }
        }
        const std::string report = AnalyseMessage(msg);
        ASSERT_TRUE(report.starts_with("Message Level [1] Header\n")) << msg;
        if (round % 50 == 0) {
            const std::string dir = tmp.Path("d" + std::to_string(round));
            fs::create_directory(dir);
            std::string strWriteError;
            DecodeToDirectory(msg, dir, "raw", strWriteError);
            ASSERT_EQ(ReadFile(dir + "/raw"), msg);
        }
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(tmp.Root()), fs::directory_iterator()), 60);
}

TEST(MimeTransferEncoding, FirstLetterSelectsTheDecoder)
{
    std::string out;
    DecodeTransferEncoding(out, "YWJj", "b");
    EXPECT_EQ(out, "abc");
    DecodeTransferEncoding(out, "a=3Db", "Quoted-Printable");
    EXPECT_EQ(out, "a=b");
    DecodeTransferEncoding(out, "YWJj", "");
    EXPECT_EQ(out, "YWJj");
    DecodeTransferEncoding(out, "YWJj", "x-uuencode");
    EXPECT_EQ(out, "YWJj");
}

TEST(MimeAdapter, MessagesOfMoreThanFourGibibytesAreParsedInPlace)
{
#if defined(__SANITIZE_THREAD__)
    // One thread only; the thread checker's shadow of the 4 GiB view alone
    // takes some 16 GB, more than a test machine can spare.
    GTEST_SKIP() << "single-threaded, and too large for the thread checker's shadow memory";
#endif
    // A Base64 part of blank lines that runs past 4 GiB, then a small part.
    const auto nPage = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    std::string head =
        "Content-Type: multipart/mixed; boundary=\"BB\"\r\n\r\n"
        "--BB\r\nContent-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n\r\n";
    head.resize(nPage - 2, ' ');
    head += "\r\n";
    const std::string filler = std::string(1022, ' ') + "\r\n";
    const std::string tail = "--BB\r\nContent-Type: text/plain; name=\"end.txt\"\r\n\r\nthe end\r\n--BB--\r\n";
    const std::size_t nRepeats = (std::size_t{4} << 30) / testutil::CRepeatedBytes::kBlock + 1;
    testutil::CRepeatedBytes bytes(head, filler, nRepeats, tail);
    ASSERT_TRUE(bytes.Ok());
    const std::string_view data = bytes.View();
    ASSERT_GT(data.size(), std::size_t{0xFFFFFFFF});

    const auto pMessage = CMimeMessage::Parse(data);
    const CMimeEntity root = pMessage->Root();
    std::string strField;
    ASSERT_TRUE(root.GetField("Content-Type", strField));
    ASSERT_EQ(root.GetBodyPartCount(), 2);

    // The large content is viewed where it lies, not copied.
    std::string strStorage;
    const std::string_view first = root.GetBodyPart(0).GetBodyView(strStorage);
    EXPECT_GT(first.size(), std::size_t{0xFFFFFFFF});
    EXPECT_TRUE(strStorage.empty());
    EXPECT_GE(first.data(), data.data());
    EXPECT_LE(first.data() + first.size(), data.data() + data.size());

    // The part that lies beyond 4 GiB is found with its own header and body.
    const CMimeEntity last = root.GetBodyPart(1);
    ASSERT_TRUE(last.GetField("Content-Type", strField));
    EXPECT_EQ(strField, "text/plain; name=\"end.txt\"");
    EXPECT_EQ(last.GetBodyView(strStorage), "the end");
}
