// Bytes to display text and back, under every translation setting.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>

#include "TestUtil.h"
#include "session/MidwireDoc.h"
#include "views/DisplayTranslation.h"

namespace {

struct TranslationFixture : ::testing::Test {
    void SetUp() override { Reset(); }
    void TearDown() override { Reset(); }
    static void Reset()
    {
        g_nMaxLineLength = 0;
        g_chDisplayBreak = '\n';
        g_bKeepBreaks = 0;
    }
    static std::string Text(const std::string& bytes) { return BytesToDisplayString(bytes); }
    static std::string Bytes(const std::string& text) { return DisplayTextToByteString(text); }
};

}  // namespace

TEST_F(TranslationFixture, BytesToText)
{
    EXPECT_EQ(Text("ab[c"), "ab[[c");
    EXPECT_EQ(Text(std::string("\x00\x7F\x80\xFF", 4)), "[0]\x7F[128][255]");
    EXPECT_EQ(Text("Hello\r\n"), "Hello[13][10]");
    EXPECT_EQ(Text(""), "");
    MallocPtr<char> p = BytesToDisplayText(nullptr, 0);
    ASSERT_TRUE(p);
    EXPECT_STREQ(p.get(), "");
}

TEST_F(TranslationFixture, LineBreaking)
{
    g_nMaxLineLength = 4;
    EXPECT_EQ(Text("abcdef"), "abcd\nef");
    g_nMaxLineLength = 2;
    EXPECT_EQ(Text("\rA"), "[13]\nA");
    // A break never splits a bracket group or a doubled bracket.
    g_nMaxLineLength = 3;
    EXPECT_EQ(Text("a[b\x01" "c"), "a[[\nb[1]\nc");

    Reset();
    g_bKeepBreaks = 1;
    EXPECT_EQ(Text("Hello\r\n"), "Hello[13][10]\n");
    // A printable break character is never kept raw.
    g_chDisplayBreak = 'x';
    EXPECT_EQ(Text("axb"), "axb");
    // Keep breaks resets the line counter.
    Reset();
    g_bKeepBreaks = 1;
    g_nMaxLineLength = 8;
    EXPECT_EQ(Text("ab\ncdefghij"), "ab[10]\ncdefghij\n");
    // A NUL break character would cut the text short: no break is inserted.
    g_chDisplayBreak = '\0';
    EXPECT_EQ(Text(std::string("abcdefghij\0k", 12)), "abcdefghij[0]k");
}

TEST_F(TranslationFixture, TextToBytes)
{
    EXPECT_EQ(Bytes("[["), "[");
    EXPECT_EQ(Bytes("[ 65]"), "A");
    EXPECT_EQ(Bytes("[-1]"), "\xFF");
    EXPECT_EQ(Bytes("[300]"), "\x2C");
    EXPECT_EQ(Bytes("[x]"), std::string(1, '\0'));
    EXPECT_EQ(Bytes("abc["), "abc");
    EXPECT_EQ(Bytes("[12"), "\x0C");
    EXPECT_EQ(Bytes("[65]A"), "AA");
    EXPECT_EQ(Bytes("a\r\n\tb\xE9" "c"), "abc");
    EXPECT_EQ(Bytes("A[[B[13][10]"), "A[B\r\n");
    std::int32_t n = -1;
    EXPECT_EQ(DisplayTextToBytes("", n), nullptr);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(DisplayTextToBytes("\n\n\n", n), nullptr);
    EXPECT_EQ(n, 0);
    MallocPtr<unsigned char> p = DisplayTextToBytes("[7]z", n);
    ASSERT_TRUE(p);
    EXPECT_EQ(n, 2);
    EXPECT_EQ(p.get()[0], 7);
    // Reading stops at the first NUL, as for any zero-terminated text.
    EXPECT_EQ(Bytes(std::string("ab\0cd", 5)), "ab");
}

// With a control character as display break, the two directions are inverse
// for every byte sequence, whatever the line settings: data shown in the
// editor can be sent back unchanged.
TEST_F(TranslationFixture, RoundTripUnderAllSettings)
{
    std::mt19937 rng(1234);
    for (int round = 0; round < 300; ++round) {
        g_nMaxLineLength = static_cast<int>(rng() % 12);
        g_bKeepBreaks = static_cast<BOOL>(rng() % 2);
        g_chDisplayBreak = static_cast<char>(rng() % 32);
        std::string bytes(rng() % 200, '\0');
        for (auto& c : bytes)
            c = static_cast<char>(rng() % 4 == 0 ? '[' : rng() & 0xFF);
        const std::string text = Text(bytes);
        ASSERT_EQ(text.size(), std::strlen(text.c_str()));
        ASSERT_EQ(Bytes(text), bytes) << "round " << round;
    }
}

// Any break character, not only the control characters below 32: one
// from 0x80 up is dropped on the way back as well, so the round trip holds;
// breaks fall only between two byte forms (taking them out gives the
// unbroken text), a line ends as soon as it reaches the maximum, and a
// printable break character, which does not read back as nothing, still
// leaves every form whole and the first byte first.
TEST_F(TranslationFixture, LineBreaksFallBetweenFormsForAnyBreakCharacter)
{
    std::mt19937 rng(4321);
    for (int round = 0; round < 3000; ++round) {
        const auto chBreak = static_cast<unsigned char>(rng() & 0xFF);
        g_chDisplayBreak = static_cast<char>(chBreak);
        g_nMaxLineLength = static_cast<int>(rng() % 9);
        g_bKeepBreaks = static_cast<BOOL>(rng() % 2);
        std::string bytes(1 + rng() % 60, '\0');
        for (auto& c : bytes)
            c = static_cast<char>(rng() % 3 == 0 ? chBreak : rng() & 0xFF);
        const std::string text = Text(bytes);
        const MallocPtr<char> oneLine = BytesToOneLineDisplayText(bytes.data(), static_cast<std::int32_t>(bytes.size()));
        ASSERT_TRUE(oneLine);
        const bool bDropped = chBreak < 0x20 || chBreak > 0x7F;
        if (chBreak == 0) {
            // A NUL cannot stand in the text: no breaks at all.
            ASSERT_EQ(text, oneLine.get()) << "round " << round;
        } else if (bDropped) {
            ASSERT_EQ(Bytes(text), bytes) << "round " << round;
            std::string strJoined = text;
            strJoined.erase(std::remove(strJoined.begin(), strJoined.end(), static_cast<char>(chBreak)), strJoined.end());
            ASSERT_EQ(strJoined, oneLine.get()) << "round " << round;
            if (g_nMaxLineLength > 0) {
                std::size_t nStart = 0;
                for (std::size_t at = text.find(static_cast<char>(chBreak)); at != std::string::npos;
                     at = text.find(static_cast<char>(chBreak), nStart = at + 1))
                    ASSERT_LE(at - nStart, static_cast<std::size_t>(g_nMaxLineLength) + 4) << "round " << round;
                ASSERT_LT(text.size() - nStart, static_cast<std::size_t>(g_nMaxLineLength)) << "round " << round;
            }
        } else {
            ASSERT_EQ(Bytes(text).substr(0, 1), bytes.substr(0, 1)) << "round " << round;
        }
    }
}

namespace {

// The text-to-bytes rules read the plain way, one character at a time, with
// the C library's own atoi for a bracketed number.
std::string ReferenceTextToBytes(const std::string& text)
{
    std::string out;
    const std::string z = text.substr(0, text.find('\0'));
    for (std::size_t i = 0; i < z.size(); ++i) {
        const auto c = static_cast<unsigned char>(z[i]);
        if (c != '[') {
            if (c >= 0x20 && c <= 0x7F)
                out += static_cast<char>(c);
            continue;
        }
        if (i + 1 == z.size())
            break;
        if (z[i + 1] == '[') {
            out += '[';
            ++i;
            continue;
        }
        out += static_cast<char>(std::atoi(z.c_str() + i + 1) & 0xFF);
        const std::size_t nClose = z.find(']', i + 1);
        if (nClose == std::string::npos)
            break;
        i = nClose;
    }
    return out;
}

}  // namespace

// Typed text need not be well formed: stray, empty, nested and unterminated
// brackets, signs, blanks and numbers beyond a byte all read as atoi would,
// and nothing is read past the end of the text.
TEST_F(TranslationFixture, MalformedBracketsReadAsAtoiDoes)
{
    EXPECT_EQ(Bytes("["), "");
    EXPECT_EQ(Bytes("[]"), std::string(1, '\0'));
    EXPECT_EQ(Bytes("[256]"), std::string(1, '\0'));
    EXPECT_EQ(Bytes("[999999999]"), "\xFF");
    EXPECT_EQ(Bytes("a[13"), "a\r");
    EXPECT_EQ(Bytes("[1[2]]x"), "\x01]x");  // the first closing bracket ends the group
    EXPECT_EQ(Bytes("[[[65]"), "[A");
    EXPECT_EQ(Bytes("[+7][--7][ \t-2][\n9]"), std::string("\x07\x00\xFE\x09", 4));
    EXPECT_EQ(Bytes("]]"), "]]");

    // Random runs of the characters that matter, against the plain reading.
    // Texts with a run of more than nine digits are passed over, so that
    // every number fits an int and atoi itself is defined.
    std::mt19937 rng(77);
    static const char* const kPieces[] = {"[", "]", "[[", "-", "+", " ", "\t", "\n", "0", "7", "25", "300",
                                          "-99999", "x", "\xE9", "\x7F"};
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        for (std::size_t n = rng() % 24; n > 0; --n)
            text += kPieces[rng() % (sizeof kPieces / sizeof kPieces[0])];
        std::size_t nRun = 0, nLongest = 0;
        for (const char c : text)
            nLongest = std::max(nLongest, nRun = (c >= '0' && c <= '9') ? nRun + 1 : 0);
        if (nLongest > 9)
            continue;
        ASSERT_EQ(Bytes(text), ReferenceTextToBytes(text)) << "text '" << text << "'";
        std::int32_t nLength = -1;
        const MallocPtr<unsigned char> p = DisplayTextToBytes(text, nLength);
        ASSERT_EQ(p == nullptr, nLength == 0);
        if (p) {
            ASSERT_EQ(std::string(reinterpret_cast<const char*>(p.get()), static_cast<std::size_t>(nLength)), Bytes(text));
        }
    }

    // Every byte value, alone and in one long run, reads back as itself.
    std::string all;
    for (int b = 0; b < 256; ++b) {
        const std::string one(1, static_cast<char>(b));
        ASSERT_EQ(Bytes(Text(one)), one) << b;
        all += one;
    }
    std::string big;
    for (int i = 0; i < 4096; ++i)
        big += all;
    EXPECT_TRUE(Bytes(Text(big)) == big);
}

// A text longer than a data block may be: one that gives more bytes than a
// 32-bit length counts is refused before anything is allocated, rather than
// handed back with its length cut to the low 32 bits; a text of the same
// length that gives few bytes is translated as usual.
TEST_F(TranslationFixture, TextsBeyondTwoGibibytesAreRefusedOrTranslatedWhole)
{
    const auto nPage = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::size_t nRepeats = (std::size_t{1} << 31) / testutil::CRepeatedBytes::kBlock + 1;
    {
        const testutil::CRepeatedBytes text(std::string(nPage, 'A'), "BCDE", nRepeats, "F");
        ASSERT_TRUE(text.Ok());
        ASSERT_GT(text.View().size(), std::size_t{0x7FFFFFFF});
        std::int32_t nLength = 0;
        EXPECT_EQ(DisplayTextToBytes(text.View(), nLength), nullptr);
        EXPECT_EQ(nLength, -1);
    }
    {
        // Mostly characters that give nothing, a few bytes at each end.
        const testutil::CRepeatedBytes text("[65][[" + std::string(nPage - 6, '\n'), "\r\n", nRepeats, "[255]z");
        ASSERT_TRUE(text.Ok());
        std::int32_t nLength = 0;
        const MallocPtr<unsigned char> p = DisplayTextToBytes(text.View(), nLength);
        ASSERT_TRUE(p);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(p.get()), static_cast<std::size_t>(nLength)),
                  "A[\xFFz");
    }
}

TEST_F(TranslationFixture, AppendBytesGrowsAndKeepsContent)
{
    unsigned char* block = nullptr;
    std::int32_t n = 0;
    ASSERT_NE(AppendBytes(block, n, "abc", 3), nullptr);
    EXPECT_EQ(n, 3);
    ASSERT_NE(AppendBytes(block, n, "de", 2), nullptr);
    EXPECT_EQ(n, 5);
    ASSERT_NE(AppendByte(block, n, 'f'), nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(block), static_cast<size_t>(n)), "abcdef");
    std::free(block);
}
