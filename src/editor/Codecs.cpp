#include "editor/Codecs.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <new>
#include <sys/mman.h>

#include "app/CommandTable.h"
#include "editor/EditorAccess.h"
#include "session/FrontEnd.h"
#include "views/DisplayTranslation.h"

namespace {

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kHexDigits[] = "0123456789ABCDEF";

// Base64 decoding classes: 0..63 a digit, kSkip anything passed over, kPad the end.
constexpr std::uint8_t kSkip = 0x80;
constexpr std::uint8_t kPad = 0x81;

constexpr std::array<std::uint8_t, 256> MakeBase64Table()
{
    std::array<std::uint8_t, 256> table{};
    for (auto& v : table)
        v = kSkip;
    for (int i = 0; i < 64; ++i)
        table[static_cast<unsigned char>(kBase64Alphabet[i])] = static_cast<std::uint8_t>(i);
    table['='] = kPad;
    return table;
}
constexpr std::array<std::uint8_t, 256> kBase64Table = MakeBase64Table();

// Hexadecimal digit values, 0xFF for anything else.
constexpr std::array<std::uint8_t, 256> MakeHexTable()
{
    std::array<std::uint8_t, 256> table{};
    for (auto& v : table)
        v = 0xFF;
    for (int i = 0; i < 10; ++i)
        table['0' + i] = static_cast<std::uint8_t>(i);
    for (int i = 0; i < 6; ++i) {
        table['A' + i] = static_cast<std::uint8_t>(10 + i);
        table['a' + i] = static_cast<std::uint8_t>(10 + i);
    }
    return table;
}
constexpr std::array<std::uint8_t, 256> kHexTable = MakeHexTable();

// What Quoted-Printable encoding does with a byte: 0 writes it as it is,
// 1 a blank, 2 a line feed, 3 the "=XX" form.
constexpr std::array<std::uint8_t, 256> MakeQpEncodeTable()
{
    std::array<std::uint8_t, 256> table{};
    for (int c = 0; c < 256; ++c)
        table[static_cast<std::size_t>(c)] = (c >= 33 && c <= 126 && c != '=') ? 0 : 3;
    table[' '] = 1;
    table['\n'] = 2;
    return table;
}
constexpr std::array<std::uint8_t, 256> kQpEncode = MakeQpEncodeTable();

// A byte placed at a position of a 32-bit word as it lies in memory.
constexpr std::uint32_t ByteAt(int nPos, char c)
{
    const int nShift = std::endian::native == std::endian::little ? 8 * nPos : 8 * (3 - nPos);
    return static_cast<std::uint32_t>(static_cast<unsigned char>(c)) << nShift;
}

// The "=XX" form of every byte.
struct QpEscapeTable {
    char codes[256][3];
    std::uint32_t words[256];  // the same three bytes as one word, in memory order
    constexpr QpEscapeTable() : codes(), words()
    {
        for (int c = 0; c < 256; ++c) {
            codes[c][0] = '=';
            codes[c][1] = kHexDigits[c >> 4];
            codes[c][2] = kHexDigits[c & 15];
            words[c] = ByteAt(0, '=') | ByteAt(1, kHexDigits[c >> 4]) | ByteAt(2, kHexDigits[c & 15]);
        }
    }
};
constexpr QpEscapeTable kQpEscapes;

// Eight bytes tested at once, as one 64-bit word.
constexpr std::uint64_t kEachByte = 0x0101010101010101ull;
constexpr std::uint64_t kHighBits = 0x8080808080808080ull;

inline std::uint64_t LoadEight(const unsigned char* p)
{
    std::uint64_t x;
    std::memcpy(&x, p, 8);
    return x;
}

// The high bit of each byte of x that Quoted-Printable output cannot hold as
// it is: outside 0x20..0x7E, or "=". The lowest flagged byte is exact, and so
// is the word as a whole (a borrow or carry only crosses from a byte that
// already failed); bytes above the lowest flagged one may be flagged wrongly.
inline std::uint64_t NotPrintableBytes(std::uint64_t x)
{
    const std::uint64_t below = (x - kEachByte * 0x20) & ~x;
    const std::uint64_t above = (x + kEachByte * 0x01) | x;
    const std::uint64_t eq = x ^ (kEachByte * '=');
    const std::uint64_t equals = (eq - kEachByte) & ~eq;
    return (below | above | equals) & kHighBits;
}

inline bool AllPrintableNoEquals(std::uint64_t x)
{
    return NotPrintableBytes(x) == 0;
}

// The offset in memory of the first byte of x that Quoted-Printable output
// cannot hold as it is, 8 when there is none.
inline int FirstNotPrintable(std::uint64_t x)
{
    const std::uint64_t bad = NotPrintableBytes(x);
    if (bad == 0)
        return 8;
    return (std::endian::native == std::endian::little ? std::countr_zero(bad) : std::countl_zero(bad)) / 8;
}

// The byte of x that lies at offset i in memory.
inline unsigned char ByteOf(std::uint64_t x, int i)
{
    const int nShift = std::endian::native == std::endian::little ? 8 * i : 8 * (7 - i);
    return static_cast<unsigned char>(x >> nShift);
}

// Quoted-Printable output of a byte that is not a line feed and not a blank
// before one, as one word: the byte itself or "=XX", and in the fourth byte
// its length. The whole word is stored and the output moves on by the
// length; the next store covers the length byte.
struct QpEncodeWords {
    std::uint32_t words[256];
    constexpr QpEncodeWords() : words()
    {
        for (int c = 0; c < 256; ++c) {
            const bool bEscape = kQpEncode[static_cast<std::size_t>(c)] >= 2;
            words[c] = (bEscape ? kQpEscapes.words[c] : ByteAt(0, static_cast<char>(c))) |
                       ByteAt(3, static_cast<char>(bEscape ? 3 : 1));
        }
    }
    static constexpr std::size_t Length(std::uint32_t word)
    {
        return std::endian::native == std::endian::little ? word >> 24 : word & 0xFF;
    }
};
constexpr QpEncodeWords kQpWords;

// Bytes Quoted-Printable decoding copies as they are: 7-bit bytes other
// than "=", the blank, the tab and the line feed.
constexpr std::array<bool, 256> MakeQpPlainTable()
{
    std::array<bool, 256> table{};
    for (int c = 0; c < 128; ++c)
        table[static_cast<std::size_t>(c)] = c != '=' && c != ' ' && c != '\t' && c != '\n';
    return table;
}
constexpr std::array<bool, 256> kQpPlain = MakeQpPlainTable();

// Plain bytes and blanks: what a run of decoded text may hold.
constexpr std::array<bool, 256> MakeQpRunTable()
{
    std::array<bool, 256> table = MakeQpPlainTable();
    table[' '] = true;
    table['\t'] = true;
    return table;
}
constexpr std::array<bool, 256> kQpRun = MakeQpRunTable();

// Two Base64 digits for every 12-bit value.
struct Base64PairTable {
    char pairs[4096][2];
    constexpr Base64PairTable() : pairs()
    {
        for (int v = 0; v < 4096; ++v) {
            pairs[v][0] = kBase64Alphabet[v >> 6];
            pairs[v][1] = kBase64Alphabet[v & 63];
        }
    }
};
constexpr Base64PairTable kBase64Pairs;

// Sizes a result string for n bytes about to be written. A large result is
// backed by huge pages where the system offers them on request: its first
// touch then costs one page fault per 2 MiB rather than one per 4 KiB, which
// for fresh memory costs more than the coding itself.
void SizeOutput(std::string& strOut, std::size_t n)
{
    constexpr std::size_t LARGE = std::size_t{8} << 20;
    if (n >= LARGE && strOut.capacity() < n) {
        strOut.reserve(n);
#ifdef MADV_HUGEPAGE
        constexpr std::uintptr_t HUGE_PAGE = std::uintptr_t{2} << 20;
        const auto nBegin = reinterpret_cast<std::uintptr_t>(strOut.data());
        const std::uintptr_t nStart = (nBegin + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
        const std::uintptr_t nEnd = (nBegin + n) & ~(HUGE_PAGE - 1);
        if (nEnd > nStart)
            ::madvise(reinterpret_cast<void*>(nStart), nEnd - nStart, MADV_HUGEPAGE);
#endif
    }
    strOut.resize(n);
}

// A result string written through a pointer, grown as needed, cut to size at the end.
class COutput {
public:
    explicit COutput(std::size_t nExpected)
    {
        SizeOutput(m_strOut, nExpected + 64);
        m_p = m_strOut.data();
        m_pEnd = m_p + m_strOut.size();
    }
    // Room for at least n more bytes; returns the write position.
    char* Room(std::size_t n)
    {
        if (static_cast<std::size_t>(m_pEnd - m_p) < n) {
            const std::size_t nUsed = static_cast<std::size_t>(m_p - m_strOut.data());
            SizeOutput(m_strOut, std::max(m_strOut.size() * 2, nUsed + n));
            m_p = m_strOut.data() + nUsed;
            m_pEnd = m_strOut.data() + m_strOut.size();
        }
        return m_p;
    }
    void Advance(std::size_t n) { m_p += n; }
    std::string Take()
    {
        m_strOut.resize(static_cast<std::size_t>(m_p - m_strOut.data()));
        return std::move(m_strOut);
    }

private:
    std::string m_strOut;
    char* m_p;
    char* m_pEnd;
};

}  // namespace

std::string Base64Encode(std::string_view data)
{
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    const std::size_t n = data.size();
    const std::size_t nLines = n / 57;
    const std::size_t nRest = n % 57;
    std::string strOut;
    SizeOutput(strOut, nLines * 77 + (nRest + 2) / 3 * 4 + 1);
    char* q = strOut.data();
    auto group = [&q](const unsigned char* s) {
        const std::uint32_t v = (std::uint32_t{s[0]} << 16) | (std::uint32_t{s[1]} << 8) | s[2];
        std::memcpy(q, kBase64Pairs.pairs[v >> 12], 2);
        std::memcpy(q + 2, kBase64Pairs.pairs[v & 4095], 2);
        q += 4;
    };
    for (std::size_t nLine = 0; nLine < nLines; ++nLine) {
        for (int i = 0; i < 19; ++i, p += 3)
            group(p);
        *q++ = '\n';
    }
    std::size_t nLeft = nRest;
    for (; nLeft >= 3; nLeft -= 3, p += 3)
        group(p);
    if (nLeft > 0) {
        const unsigned char s[3] = {p[0], nLeft > 1 ? p[1] : static_cast<unsigned char>(0), 0};
        group(s);
        q[-1] = '=';
        if (nLeft == 1)
            q[-2] = '=';
    }
    *q++ = '\n';
    return strOut;
}

std::string Base64Decode(std::string_view text)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* const pEnd = p + text.size();
    std::string strOut;
    SizeOutput(strOut, text.size() / 4 * 3 + 3);
    char* const pStart = strOut.data();
    char* q = pStart;
    std::uint32_t nBits = 0;
    int nDigits = 0;
    while (p < pEnd) {
        // Whole groups of four digits, the common case.
        while (nDigits == 0 && pEnd - p >= 4) {
            const std::uint8_t a = kBase64Table[p[0]], b = kBase64Table[p[1]], c = kBase64Table[p[2]],
                               d = kBase64Table[p[3]];
            if ((a | b | c | d) & 0x80)
                break;
            const std::uint32_t v = (std::uint32_t{a} << 18) | (std::uint32_t{b} << 12) | (std::uint32_t{c} << 6) | d;
            q[0] = static_cast<char>(v >> 16);
            q[1] = static_cast<char>(v >> 8);
            q[2] = static_cast<char>(v);
            q += 3;
            p += 4;
        }
        if (p >= pEnd)
            break;
        const std::uint8_t v = kBase64Table[*p++];
        if (v == kPad)
            break;
        if (v == kSkip)
            continue;
        nBits = (nBits << 6) | v;
        if (++nDigits == 4) {
            q[0] = static_cast<char>(nBits >> 16);
            q[1] = static_cast<char>(nBits >> 8);
            q[2] = static_cast<char>(nBits);
            q += 3;
            nBits = 0;
            nDigits = 0;
        }
    }
    // An unfinished group: two digits hold one byte, three hold two.
    if (nDigits == 2) {
        *q++ = static_cast<char>(nBits >> 4);
    } else if (nDigits == 3) {
        *q++ = static_cast<char>(nBits >> 10);
        *q++ = static_cast<char>(nBits >> 2);
    }
    strOut.resize(static_cast<std::size_t>(q - pStart));
    return strOut;
}

namespace {

// The encoded size, estimated from a sample of the input: an escaped byte
// takes three characters, and a soft break follows every line. A close
// estimate spares binary data the growth of a large output, which copies it.
std::size_t EstimateQpSize(const unsigned char* p, std::size_t n)
{
    const std::size_t nSample = std::min<std::size_t>(n, std::size_t{1} << 20);
    std::size_t nEscaped = 0;
    for (std::size_t i = 0; i < nSample; ++i)
        nEscaped += kQpEncode[p[i]] == 3;
    const std::size_t nBase = n + (nSample ? 2 * static_cast<std::size_t>(static_cast<double>(nEscaped) /
                                                                            static_cast<double>(nSample) *
                                                                            static_cast<double>(n))
                                           : 0);
    return nBase + nBase / 32 + 256;  // a soft break of two characters per 73 or more
}

}  // namespace

std::string QuotedPrintableEncode(std::string_view data)
{
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    const std::size_t n = data.size();
    COutput out(EstimateQpSize(p, n));
    std::size_t nColumn = 0;  // characters on the current output line; at most 72 at the top of the loop
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = p[i];
        const std::uint8_t kind = kQpEncode[c];
        if (kind == 2) {
            *out.Room(1) = '\n';
            out.Advance(1);
            nColumn = 0;
            ++i;
            continue;
        }
        if ((nColumn == 0 && (c == '.' || (c == 'F' && data.substr(i + 1, 4) == "rom "))) ||
            (i + 1 == n && kind != 0)) {
            // A line that begins with "." or "From " would read differently to
            // mail transports; a blank at the very end would be lost.
            std::memcpy(out.Room(3), kQpEscapes.codes[c], 3);
            out.Advance(3);
            nColumn += 3;
            ++i;
        } else if (i + 1 == n) {
            *out.Room(1) = static_cast<char>(c);
            out.Advance(1);
            ++nColumn;
            ++i;
        } else {
            // The rest of the line, up to where it must break, short of the last byte of the data.
            const std::size_t nEnd = n - 1;
            char* const q0 = out.Room(256);
            char* q = q0;
            // Eight bytes at once are tried at the start and then only after
            // a few plain ones, so that binary data does not pay for the test
            // at every byte.
            int nPlain = 4;
            while (i < nEnd && nColumn <= 72) {
                if (nPlain >= 4 && i + 8 <= nEnd && nColumn + 8 <= 73) {
                    if (AllPrintableNoEquals(LoadEight(p + i)) && !(p[i + 7] == ' ' && p[i + 8] == '\n')) {
                        std::memcpy(q, p + i, 8);
                        q += 8;
                        i += 8;
                        nColumn += 8;
                        continue;
                    }
                    nPlain = 0;
                }
                // Eight bytes of mixed data without a line feed among them or
                // right after them, far enough from the line's end that no
                // soft break can fall among them: each is written as its word
                // without further tests (a blank is never before a line feed
                // here).
                // Near the line's end, four bytes are taken the same way.
                const int nBlock = nColumn + 21 <= 72 ? 8 : nColumn + 9 <= 72 ? 4 : 0;
                if (nBlock != 0 && i + 9 <= nEnd) {
                    const std::uint64_t x = LoadEight(p + i);
                    const std::uint64_t lf = x ^ (kEachByte * '\n');
                    if ((((lf - kEachByte) & ~lf) & kHighBits) == 0 && p[i + 8] != '\n') {
                        char* const qBlock = q;
                        for (int k = 0; k < nBlock; ++k) {
                            const std::uint32_t word = kQpWords.words[p[i + static_cast<std::size_t>(k)]];
                            std::memcpy(q, &word, 4);  // the room asked for covers the fourth byte
                            q += QpEncodeWords::Length(word);
                        }
                        const auto nWritten = static_cast<std::size_t>(q - qBlock);
                        nColumn += nWritten;
                        i += static_cast<std::size_t>(nBlock);
                        // Eight plain bytes at once are tried next only
                        // after a block that was all plain.
                        nPlain = nWritten == static_cast<std::size_t>(nBlock) ? 4 : 0;
                        continue;
                    }
                }
                // One byte, without a branch on its kind: the blank before a
                // line feed is escaped like any byte that cannot stand for itself.
                const unsigned char b = p[i];
                const std::uint8_t k = kQpEncode[b];
                if (k == 2)
                    break;
                const std::uint32_t nEscape = static_cast<std::uint32_t>(k == 3) |
                                              (static_cast<std::uint32_t>(k == 1) &
                                               static_cast<std::uint32_t>(p[i + 1] == '\n'));
                const std::uint32_t nMask = 0u - nEscape;
                const std::uint32_t code =
                    (kQpEscapes.words[b] & nMask) | (ByteAt(0, static_cast<char>(b)) & ~nMask);
                const std::size_t nLen = 1 + 2 * std::size_t{nEscape};
                std::memcpy(q, &code, 4);  // the room asked for covers the fourth byte
                q += nLen;
                nColumn += nLen;
                nPlain = static_cast<int>(static_cast<std::uint32_t>(nPlain + 1) & ~nMask);
                ++i;
            }
            out.Advance(static_cast<std::size_t>(q - q0));
        }
        if (nColumn > 72 && i < n && p[i] != '\n') {
            char* q = out.Room(2);
            q[0] = '=';
            q[1] = '\n';
            out.Advance(2);
            nColumn = 0;
        }
    }
    return out.Take();
}

namespace {

// The byte that two hexadecimal digits stand for, indexed by the two digits
// as they lie in memory read as one 16-bit word; 0x100 where either is not a
// digit.
struct QpDigitPairs {
    std::uint16_t values[65536];
    constexpr QpDigitPairs() : values()
    {
        for (int w = 0; w < 65536; ++w) {
            const int nFirst = std::endian::native == std::endian::little ? (w & 0xFF) : (w >> 8);
            const int nSecond = std::endian::native == std::endian::little ? (w >> 8) : (w & 0xFF);
            const std::uint8_t hi = kHexTable[static_cast<std::size_t>(nFirst)];
            const std::uint8_t lo = kHexTable[static_cast<std::size_t>(nSecond)];
            values[w] = (hi | lo) & 0xF0 ? 0x100 : static_cast<std::uint16_t>((hi << 4) | lo);
        }
    }
};
constexpr QpDigitPairs kQpDigitPairs;

// 1 for a plain byte, 2 for a blank or tab (which goes as it is before a
// plain byte), 0 for the rest.
constexpr std::array<std::uint8_t, 256> MakeQpItemTable()
{
    std::array<std::uint8_t, 256> table{};
    for (int c = 0; c < 256; ++c)
        table[static_cast<std::size_t>(c)] = kQpPlain[static_cast<std::size_t>(c)] ? 1 : 0;
    table[' '] = 2;
    table['\t'] = 2;
    return table;
}
constexpr std::array<std::uint8_t, 256> kQpItem = MakeQpItemTable();

// Items without an escape in a row after which the decoder tries to copy
// several bytes at once: text gets there at once, binary data seldom.
constexpr std::uint32_t QP_RUN_TRY = 4;

}  // namespace

std::string QuotedPrintableDecode(std::string_view text)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::string strOut;
    SizeOutput(strOut, n);  // decoding never lengthens
    char* const pStart = strOut.data();
    char* q = pStart;
    auto isBlank = [](unsigned char c) { return c == ' ' || c == '\t'; };
    std::size_t i = 0;
    while (i < n) {
        // Plain bytes, blanks before plain bytes and escapes, the bulk of
        // most input, without a branch on which of them comes: a byte is
        // written either way and the input moves on by one or three. Eight
        // bytes that may stand as they are, the last not a blank, are copied
        // at once (blanks among them are followed by something other than a
        // line end, so they are kept). Anything else is left to the rules
        // below.
        std::uint32_t nPlainRun = QP_RUN_TRY;  // items in a row without an escape
        while (i + 9 <= n) {
            if (nPlainRun >= QP_RUN_TRY) {
                // The bytes up to the first that cannot stand as it is are
                // copied at once, short of the blanks just before it (which
                // the blank rule must judge).
                const std::uint64_t x = LoadEight(p + i);
                int k = FirstNotPrintable(x);
                while (k > 0 && ByteOf(x, k - 1) == ' ')
                    --k;
                if (k > 0) {
                    std::memcpy(q, p + i, 8);
                    q += k;
                    i += static_cast<std::size_t>(k);
                    if (k == 8)
                        continue;
                }
                nPlainRun = 0;
                continue;
            }
            const unsigned char c = p[i];
            std::uint16_t nPair;
            std::memcpy(&nPair, p + i + 1, 2);
            const std::uint32_t nValue = kQpDigitPairs.values[nPair];
            const auto nEquals = static_cast<std::uint32_t>(c == '=');
            const std::uint32_t nEscape = nEquals & static_cast<std::uint32_t>(nValue < 0x100);
            const std::uint32_t nItem = kQpItem[c];
            std::uint32_t nGo = nEscape | (nItem & 1u) | ((nItem >> 1) & kQpItem[p[i + 1]] & 1u);
            // Keeps the compiler from testing the parts of nGo one by one,
            // which would bring back the branch on the kind of byte.
            asm("" : "+r"(nGo));
            if (nGo == 0)
                break;
            const std::uint32_t nMask = 0u - nEscape;
            *q++ = static_cast<char>((nValue & nMask) | (c & ~nMask));
            // Every "=" that gets here begins an escape: the step needs only
            // the byte itself, not the look-up of its digits.
            i += 1 + 2 * std::size_t{nEquals};
            nPlainRun = (nPlainRun + 1) & ~nMask;
        }
        if (i >= n)
            break;
        const unsigned char c = p[i];
        if (kQpPlain[c]) {
            // A run of plain bytes and blanks; blanks that end the line are
            // left to the blank rule below.
            std::size_t j = i + 1;
            while (j + 8 <= n && AllPrintableNoEquals(LoadEight(p + j)))
                j += 8;
            while (j < n && kQpRun[p[j]])
                ++j;
            if (j == n || p[j] == '\n')
                while (isBlank(p[j - 1]))
                    --j;
            std::memcpy(q, p + i, j - i);
            q += j - i;
            i = j;
        } else if (c == '\n') {
            *q++ = '\n';
            ++i;
        } else if (isBlank(c)) {
            // A run of blanks is kept only when something other than the line end follows it.
            std::size_t j = i + 1;
            while (j < n && isBlank(p[j]))
                ++j;
            if (j < n && p[j] != '\n') {
                std::memcpy(q, p + i, j - i);
                q += j - i;
            }
            i = j;
        } else if (c == '=') {
            if (i + 2 < n && kHexTable[p[i + 1]] != 0xFF && kHexTable[p[i + 2]] != 0xFF) {
                *q++ = static_cast<char>((kHexTable[p[i + 1]] << 4) | kHexTable[p[i + 2]]);
                i += 3;
                continue;
            }
            std::size_t j = i + 1;
            while (j < n && isBlank(p[j]))
                ++j;
            // A line may end in CR LF, as every line of captured mail does:
            // the CR of "=\r\n" belongs to the line end of a soft break.
            if (j < n && p[j] == '\r' && (j + 1 == n || p[j + 1] == '\n'))
                ++j;
            if (j == n || p[j] == '\n') {
                i = j < n ? j + 1 : j;  // soft line break: the line goes on with the next
            } else {
                *q++ = '=';
                ++i;
            }
        } else {
            *q++ = static_cast<char>(c & 0x7F);
            ++i;
        }
    }
    strOut.resize(static_cast<std::size_t>(q - pStart));
    return strOut;
}

namespace {

// The editor's whole content through a coder, and back.
void ConvertEditor(std::string (*pfnCoder)(std::string_view))
{
    // The coders take any length: the editor's bytes are not bound to the
    // 32-bit length of a data block on the way in, only on the way back.
    std::string strResult;
    try {
        strResult = pfnCoder(DisplayTextToByteString(GetEditorText()));
    } catch (const std::bad_alloc&) {
        AfxMessageBox(IDS_ALLOC_FAILED);
        return;
    }
    // A result beyond the 32-bit data length, or one whose text cannot be
    // made, leaves the editor as it was rather than cut or emptied.
    if (strResult.size() > 0x7FFFFFFFu ||
        !PutEditorBytes(strResult.data(), static_cast<std::int32_t>(strResult.size())))
        AfxMessageBox(IDS_ALLOC_FAILED);
}

}  // namespace

void RegisterCodecCommands(CCommandTable& table, CMidwireDoc& /*doc*/)
{
    const auto hasText = [] { return EditorHasText(); };
    table.Register(ID_MIME_ENCODE_BASE64, [] { ConvertEditor(Base64Encode); }, hasText);
    table.Register(ID_MIME_DECODE_BASE64, [] { ConvertEditor(Base64Decode); }, hasText);
    table.Register(ID_MIME_ENCODE_QP, [] { ConvertEditor(QuotedPrintableEncode); }, hasText);
    table.Register(ID_MIME_DECODE_QP, [] { ConvertEditor(QuotedPrintableDecode); }, hasText);
}
