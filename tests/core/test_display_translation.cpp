// Bytes to display text and back, under every translation setting.

#include <gtest/gtest.h>

#include <cstring>
#include <random>

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
