// The Base64 and Quoted-Printable coders and the editor commands built on them.

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "app/CommandTable.h"
#include "app/HeadlessFrontEnd.h"
#include "editor/Codecs.h"
#include "session/MidwireDoc.h"
#include "views/DisplayTranslation.h"

namespace {

// The four editor commands on a headless editor with the default translation.
class CodecCommands : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_nMaxLine = g_nMaxLineLength;
        m_bKeep = g_bKeepBreaks;
        g_nMaxLineLength = 0;
        g_bKeepBreaks = FALSE;
        RegisterCodecCommands(m_table, m_doc);
    }
    void TearDown() override
    {
        g_nMaxLineLength = m_nMaxLine;
        g_bKeepBreaks = m_bKeep;
    }
    std::string Run(UINT nID, const std::string& strEditor)
    {
        m_frontEnd.SetEditorText(strEditor);
        EXPECT_TRUE(m_table.Run(nID));
        return m_frontEnd.GetEditorText();
    }

    CHeadlessFrontEnd m_frontEnd;
    CMidwireDoc m_doc;
    CCommandTable m_table;
    int m_nMaxLine = 0;
    BOOL m_bKeep = FALSE;
};

}  // namespace

TEST(Base64, EncodesWithLineFeedsAfterEveryLineAndAtTheEnd)
{
    EXPECT_EQ(Base64Encode("abc"), "YWJj\n");
    EXPECT_EQ(Base64Encode(""), "\n");
    EXPECT_EQ(Base64Encode("a"), "YQ==\n");
    EXPECT_EQ(Base64Encode("ab"), "YWI=\n");
    EXPECT_EQ(Base64Encode(std::string("\xFB\xFF\x00", 3)), "+/8A\n");

    const std::string line57(57, 'x');
    const std::string encoded = Base64Encode(line57);
    ASSERT_EQ(encoded.size(), 78u);
    EXPECT_EQ(encoded.substr(76), "\n\n");
    EXPECT_EQ(encoded.find('\n'), 76u);

    const std::string two = Base64Encode(std::string(58, 'x'));
    EXPECT_EQ(two.substr(76), "\neA==\n");
    EXPECT_EQ(Base64Encode(std::string(114, 'x')).size(), 2 * 77u + 1);
}

TEST(Base64, DecodesSkippingNoiseUntilThePadding)
{
    EXPECT_EQ(Base64Decode("YWJj\n"), "abc");
    EXPECT_EQ(Base64Decode("Y W\r\nJ\tj"), "abc");
    EXPECT_EQ(Base64Decode("Y*W!J\x80j"), "abc");      // characters outside the alphabet are skipped
    EXPECT_EQ(Base64Decode("YQ==YWJj"), "a");         // the padding ends the data
    EXPECT_EQ(Base64Decode("YWI=\nYWJj"), "ab");
    EXPECT_EQ(Base64Decode("YWJjZA"), "abcd");        // an unpadded tail keeps its whole bytes
    EXPECT_EQ(Base64Decode("YWJjZ"), "abc");
    EXPECT_EQ(Base64Decode(""), "");
    EXPECT_EQ(Base64Decode("===="), "");
}

TEST(Base64, RoundTripsEveryLength)
{
    std::mt19937 rng(7);
    for (std::size_t n = 0; n < 300; ++n) {
        const std::string data = testutil::RandomBytes(rng, n);
        const std::string encoded = Base64Encode(data);
        ASSERT_EQ(Base64Decode(encoded), data) << n;
        // No line is longer than 76 characters.
        std::size_t nStart = 0;
        for (std::size_t at = encoded.find('\n'); at != std::string::npos; at = encoded.find('\n', nStart = at + 1))
            ASSERT_LE(at - nStart, 76u);
    }
}

// Decoding reads six bits a digit whatever surrounds the digits: noise,
// line breaks and blanks anywhere in a group of four, a lone "=" or a
// stray tail, in runs long enough for whole groups and short ones.
TEST(Base64, DecodesNoisyTextDigitByDigit)
{
    auto reference = [](const std::string& text) {
        static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        std::string out;
        std::uint32_t nBits = 0;
        int nHeld = 0;
        for (const char c : text) {
            if (c == '=')
                break;
            const std::size_t v = kAlphabet.find(c);
            if (v == std::string::npos)
                continue;
            nBits = (nBits << 6) | static_cast<std::uint32_t>(v);
            nHeld += 6;
            if (nHeld >= 8) {
                nHeld -= 8;
                out += static_cast<char>((nBits >> nHeld) & 0xFF);
            }
        }
        return out;
    };
    std::mt19937 rng(21);
    static const char* const kNoise[] = {"\n", "\r\n", " ", "\t", "*", "\x80", "\xFF", "-", "_", "="};
    for (int round = 0; round < 2000; ++round) {
        std::string text = Base64Encode(testutil::RandomBytes(rng, rng() % 200));
        text.pop_back();  // the closing line feed, so that noise may also come last
        if (round % 2 == 0)
            while (!text.empty() && text.back() == '=')
                text.pop_back();
        for (std::size_t n = rng() % 6; n > 0; --n)
            text.insert(rng() % (text.size() + 1), kNoise[rng() % (sizeof kNoise / sizeof kNoise[0])]);
        ASSERT_EQ(Base64Decode(text), reference(text)) << "round " << round;
    }
}

TEST(QuotedPrintable, EncodesByTheByteRules)
{
    EXPECT_EQ(QuotedPrintableEncode("a=b"), "a=3Db");
    EXPECT_EQ(QuotedPrintableEncode("a\tb\rc"), "a=09b=0Dc");
    EXPECT_EQ(QuotedPrintableEncode("a b \nc "), "a b=20\nc=20");
    EXPECT_EQ(QuotedPrintableEncode(".x\n.y.\nz."), "=2Ex\n=2Ey.\nz.");
    EXPECT_EQ(QuotedPrintableEncode("From me\nFrom\nFroma\nx From "), "=46rom me\nFrom\nFroma\nx From=20");
    EXPECT_EQ(QuotedPrintableEncode(std::string("\x00\x7F\x80\xFF~!<>", 8)), "=00=7F=80=FF~!<>");
    EXPECT_EQ(QuotedPrintableEncode("\n\n"), "\n\n");
    EXPECT_EQ(QuotedPrintableEncode(""), "");
}

TEST(QuotedPrintable, SoftBreaksKeepLinesShort)
{
    const std::string encoded = QuotedPrintableEncode(std::string(200, 'a'));
    EXPECT_EQ(encoded, std::string(73, 'a') + "=\n" + std::string(73, 'a') + "=\n" + std::string(54, 'a'));
    // No soft break right before a line feed or at the end.
    EXPECT_EQ(QuotedPrintableEncode(std::string(73, 'a') + "\nb"), std::string(73, 'a') + "\nb");
    EXPECT_EQ(QuotedPrintableEncode(std::string(73, 'a')), std::string(73, 'a'));
    // An escape may carry a line past 72; the break follows it.
    EXPECT_EQ(QuotedPrintableEncode(std::string(71, 'a') + "==b"), std::string(71, 'a') + "=3D=\n=3Db");
    // A line that begins after a soft break is a line start too.
    EXPECT_EQ(QuotedPrintableEncode(std::string(73, 'a') + ".b"), std::string(73, 'a') + "=\n=2Eb");
}

TEST(QuotedPrintable, DecodesLineByLine)
{
    EXPECT_EQ(QuotedPrintableDecode("a=3Db"), "a=b");
    EXPECT_EQ(QuotedPrintableDecode("a=3db"), "a=b");
    EXPECT_EQ(QuotedPrintableDecode("ab=\ncd\n"), "abcd\n");
    EXPECT_EQ(QuotedPrintableDecode("ab= \t\ncd="), "abcd");        // blanks after a soft break's "=" too
    EXPECT_EQ(QuotedPrintableDecode("a b \t\nc\t \n d"), "a b\nc\n d");  // trailing blanks dropped
    EXPECT_EQ(QuotedPrintableDecode("x=ZZ=4"), "x=ZZ=4");                // a bad escape passes as it is
    EXPECT_EQ(QuotedPrintableDecode(std::string("\xC8", 1)), "H");      // high bit cleared
    EXPECT_EQ(QuotedPrintableDecode("=C8"), "\xC8");                     // but not in an escape
    EXPECT_EQ(QuotedPrintableDecode("a\r\n"), "a\r\n");
    // Soft breaks of text with CR LF line ends, as captured mail has them.
    EXPECT_EQ(QuotedPrintableDecode("ab=\r\ncd= \r\nef=\r"), "abcdef");
    EXPECT_EQ(QuotedPrintableDecode("x=20=\r\ny\r\n"), "x y\r\n");
    EXPECT_EQ(QuotedPrintableDecode("a=\rb"), "a=\rb");  // a CR inside a line is no line end
}

TEST(QuotedPrintable, RoundTripsAnyBytes)
{
    std::mt19937 rng(11);
    for (int i = 0; i < 300; ++i) {
        std::string data = testutil::RandomBytes(rng, rng() % 400);
        for (char& c : data)  // plenty of blanks, line feeds, dots and "From " to meet the line rules
            if (rng() % 3 == 0)
                c = " \n.F"[rng() % 4];
        if (i % 5 == 0)
            data.insert(0, "From ");
        const std::string encoded = QuotedPrintableEncode(data);
        ASSERT_EQ(QuotedPrintableDecode(encoded), data);
        std::size_t nStart = 0;
        for (std::size_t at = encoded.find('\n'); at != std::string::npos; at = encoded.find('\n', nStart = at + 1))
            ASSERT_LE(at - nStart, 76u);
    }
}

namespace {

// The Quoted-Printable rules one byte at a time, the plain way: the coders
// must give exactly this on every input, whatever shortcuts they take.
std::string ReferenceQpEncode(const std::string& d)
{
    static const char* const kHex = "0123456789ABCDEF";
    std::string out;
    std::size_t nColumn = 0;
    auto escape = [&](unsigned char c) {
        out += '=';
        out += kHex[c >> 4];
        out += kHex[c & 15];
        nColumn += 3;
    };
    for (std::size_t i = 0; i < d.size(); ++i) {
        const auto c = static_cast<unsigned char>(d[i]);
        if (c == '\n') {
            out += '\n';
            nColumn = 0;
            continue;
        }
        const bool bPlain = c >= 33 && c <= 126 && c != '=';
        const bool bLast = i + 1 == d.size();
        if ((nColumn == 0 && (c == '.' || d.compare(i, 5, "From ") == 0)) || (bLast && !bPlain))
            escape(c);
        else if (bLast || bPlain || (c == ' ' && d[i + 1] != '\n'))
            out += static_cast<char>(c), ++nColumn;
        else
            escape(c);
        if (nColumn > 72 && i + 1 < d.size() && d[i + 1] != '\n') {
            out += "=\n";
            nColumn = 0;
        }
    }
    return out;
}

std::string ReferenceQpDecode(const std::string& t)
{
    auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    std::string out;
    std::size_t i = 0;
    while (i < t.size()) {
        const char c = t[i];
        if (c == '\n') {
            out += '\n';
            ++i;
        } else if (blank(c)) {
            std::size_t j = i;
            while (j < t.size() && blank(t[j]))
                ++j;
            if (j < t.size() && t[j] != '\n')
                out.append(t, i, j - i);
            i = j;
        } else if (c == '=') {
            if (i + 2 < t.size() && hex(t[i + 1]) && hex(t[i + 2])) {
                out += static_cast<char>(std::stoi(t.substr(i + 1, 2), nullptr, 16));
                i += 3;
                continue;
            }
            std::size_t j = i + 1;
            while (j < t.size() && blank(t[j]))
                ++j;
            if (j < t.size() && t[j] == '\r' && (j + 1 == t.size() || t[j + 1] == '\n'))
                ++j;
            if (j == t.size() || t[j] == '\n') {
                i = j < t.size() ? j + 1 : j;
            } else {
                out += '=';
                ++i;
            }
        } else {
            out += static_cast<char>(c & 0x7F);
            ++i;
        }
    }
    return out;
}

// Input made of what the coders treat differently, in runs long and short:
// printable text, blanks and tabs, line feeds, "=" with and without digits,
// soft breaks, 8-bit and control bytes, dots and "From " at line starts.
std::string QpMaterial(std::mt19937& rng, std::size_t nSize)
{
    static const char* const kPieces[] = {"=41", "=3d", "=\n", "= \t\n", "=Z", "=4", " \n", "\t\n", "  x", "\n.",
                                          "\nFrom ", "=", "\r\n", "   \n", "a \t \n", "x  =41"};
    std::string s;
    while (s.size() < nSize) {
        switch (rng() % 6) {
        case 0:
        case 1:
            for (std::size_t n = rng() % 40; n > 0; --n)
                s += static_cast<char>('!' + rng() % 94);
            break;
        case 2:
            s += std::string(1 + rng() % 3, " \t"[rng() % 2]);
            break;
        case 3:
            s += kPieces[rng() % (sizeof kPieces / sizeof kPieces[0])];
            break;
        case 4:
            s += static_cast<char>(rng() & 0xFF);
            break;
        default:
            s += std::string(rng() % 90, 'a');
            break;
        }
    }
    return s;
}

}  // namespace

TEST(QuotedPrintable, CodersFollowTheByteRulesOnAnyInput)
{
    std::mt19937 rng(5);
    for (int i = 0; i < 2000; ++i) {
        const std::string data = i % 3 == 0 ? testutil::RandomBytes(rng, rng() % 300) : QpMaterial(rng, rng() % 600);
        ASSERT_EQ(QuotedPrintableEncode(data), ReferenceQpEncode(data)) << "input " << i;
        ASSERT_EQ(QuotedPrintableDecode(data), ReferenceQpDecode(data)) << "input " << i;
    }
    // Large enough for the output to take the large-buffer path.
    const std::string big = QpMaterial(rng, 9u << 20);
    EXPECT_TRUE(QuotedPrintableEncode(big) == ReferenceQpEncode(big));
    EXPECT_TRUE(QuotedPrintableDecode(big) == ReferenceQpDecode(big));
}

TEST_F(CodecCommands, ConvertTheWholeEditorThroughTheDisplayTranslation)
{
    EXPECT_EQ(Run(ID_MIME_ENCODE_BASE64, "abc"), "YWJj[10]");
    EXPECT_EQ(Run(ID_MIME_DECODE_BASE64, "YWJj[10]"), "abc");
    EXPECT_EQ(Run(ID_MIME_DECODE_BASE64, "YW\nJj"), "abc");
    EXPECT_EQ(Run(ID_MIME_ENCODE_BASE64, "\n\n"), "[10]");  // enabled, but no bytes
    EXPECT_EQ(Run(ID_MIME_ENCODE_QP, "a=b"), "a=3Db");
    EXPECT_EQ(Run(ID_MIME_DECODE_QP, "a=3Db"), "a=b");
    EXPECT_EQ(Run(ID_MIME_ENCODE_QP, "From x[10].y [10]"), "=46rom x[10]=2Ey=20[10]");
    EXPECT_EQ(Run(ID_MIME_DECODE_QP, "[200]"), "H");
    EXPECT_EQ(Run(ID_MIME_DECODE_BASE64, "AAE="), "[0][1]");

    m_frontEnd.SetEditorText("");
    for (UINT nID : {ID_MIME_ENCODE_BASE64, ID_MIME_DECODE_BASE64, ID_MIME_ENCODE_QP, ID_MIME_DECODE_QP})
        EXPECT_FALSE(m_table.IsEnabled(nID));
    EXPECT_TRUE(m_frontEnd.m_messages.empty());
}

TEST(CodecCli, FiltersStandardInput)
{
    testutil::TempDir tmp;
    std::mt19937 rng(3);
    const std::string data = testutil::RandomBytes(rng, 5000);
    testutil::WriteFile(tmp.Path("in"), data);
    const std::string m = testutil::Midwire();
    const auto b64 = testutil::RunCommand(m + " codec base64-encode < " + tmp.Path("in"));
    ASSERT_EQ(b64.status, 0) << b64.err;
    EXPECT_EQ(b64.out, Base64Encode(data));
    testutil::WriteFile(tmp.Path("b64"), b64.out);
    EXPECT_EQ(testutil::RunCommand(m + " codec base64-decode < " + tmp.Path("b64")).out, data);

    const auto qp = testutil::RunCommand(m + " codec qp-encode < " + tmp.Path("in"));
    ASSERT_EQ(qp.status, 0) << qp.err;
    EXPECT_EQ(qp.out, QuotedPrintableEncode(data));
    testutil::WriteFile(tmp.Path("qp"), qp.out);
    EXPECT_EQ(testutil::RunCommand(m + " codec qp-decode < " + tmp.Path("qp")).out, data);

    EXPECT_EQ(testutil::RunCommand(m + " codec base64-encode < /dev/null").out, "\n");
    EXPECT_EQ(testutil::RunCommand(m + " codec --help").status, 0);
    EXPECT_EQ(testutil::RunCommand(m + " codec rot13 < /dev/null").status, 2);
    EXPECT_EQ(testutil::RunCommand(m + " codec qp-encode extra < /dev/null").status, 2);
}

namespace {

std::string ToHex(const std::string& s)
{
    static const char* const kHex = "0123456789abcdef";
    std::string out;
    for (const char c : s) {
        out += kHex[static_cast<unsigned char>(c) >> 4];
        out += kHex[static_cast<unsigned char>(c) & 15];
    }
    return out;
}

std::string FromHex(const std::string& hex)
{
    std::string out;  // "-" stands for no bytes
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

}  // namespace

// The coders against python3's base64 and quopri modules as an independent
// peer: a few hundred inputs go out as hex, one line each, and python sends
// back its own encodings and its decodings of ours. Base64 must match
// python's byte for byte (python leaves out the extra line feed after a
// last line that is exactly full, and gives nothing for no input); for
// Quoted-Printable, whose line breaking may differ, each side must decode
// the other's encoding to the original bytes.
TEST(CodecPeer, AgreesWithPythonCoders)
{
    if (testutil::RunCommand("python3 -c 'import base64, quopri'").status != 0)
        GTEST_SKIP() << "python3 with base64 and quopri is missing";
    testutil::TempDir tmp;
    std::mt19937 rng(2024);
    std::vector<std::string> inputs;
    std::string strLines;
    for (int i = 0; i < 400; ++i) {
        std::string data;
        if (i % 4 == 0)
            data = testutil::RandomBytes(rng, rng() % 300);
        else if (i % 4 == 1)
            data = std::string(57 * (1 + rng() % 3), 'x');
        else
            data = QpMaterial(rng, rng() % 400);
        strLines += ToHex(data) + ' ' + ToHex(Base64Encode(data)) + ' ' + ToHex(QuotedPrintableEncode(data)) + '\n';
        inputs.push_back(std::move(data));
    }
    testutil::WriteFile(tmp.Path("in"), strLines);
    testutil::WriteFile(tmp.Path("peer.py"), R"(import base64, binascii, quopri, sys
for line in open(sys.argv[1]):
    data, b64, qp = (binascii.unhexlify(x) for x in line.rstrip('\n').split(' '))
    h = lambda b: b.hex() or '-'
    # quopri's text mode takes CR LF for a line end and writes it back as the
    # line end it saw first: data with a CR is coded as binary instead.
    qp_py = quopri.encodestring(data) if b'\r' not in data else binascii.b2a_qp(data, istext=False)
    print(h(base64.encodebytes(data)), h(base64.b64decode(b64)), h(qp_py), h(quopri.decodestring(qp)))
)");
    const auto peer = testutil::RunCommand("python3 " + tmp.Path("peer.py") + " " + tmp.Path("in"));
    ASSERT_EQ(peer.status, 0) << peer.err;
    std::istringstream answers(peer.out);
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        const std::string& data = inputs[i];
        std::string strB64, strB64Back, strQp, strQpBack;
        ASSERT_TRUE(answers >> strB64 >> strB64Back >> strQp >> strQpBack) << "answer " << i;
        const std::string strExtra = data.size() % 57 == 0 ? "\n" : "";
        EXPECT_EQ(Base64Encode(data), FromHex(strB64) + strExtra) << "input " << i;
        EXPECT_EQ(FromHex(strB64Back), data) << "input " << i;
        EXPECT_EQ(QuotedPrintableDecode(FromHex(strQp)), data) << "input " << i << " python: " << FromHex(strQp);
        EXPECT_EQ(FromHex(strQpBack), data) << "input " << i;
    }
}
