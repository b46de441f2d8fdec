#include "views/DisplayTranslation.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

#include "session/MidwireDoc.h"

int g_nMaxLineLength = 0;
char g_chDisplayBreak = '\n';
BOOL g_bKeepBreaks = 0;

namespace {

// The representation of each byte value, padded to 8 bytes so that the copy
// loop can always move 8 bytes and advance by the real length.
struct ByteForm {
    char text[8];
    std::uint8_t length;
};

struct FormTable {
    std::array<ByteForm, 256> forms{};
    FormTable()
    {
        for (int b = 0; b < 256; ++b) {
            ByteForm& f = forms[static_cast<size_t>(b)];
            if (b >= 0x20 && b <= 0x7F) {
                f.text[0] = static_cast<char>(b);
                f.length = 1;
                if (b == '[') {
                    f.text[1] = '[';
                    f.length = 2;
                }
            } else {
                char buf[8];
                const int n = std::snprintf(buf, sizeof buf, "[%d]", b);
                std::memcpy(f.text, buf, static_cast<size_t>(n));
                f.length = static_cast<std::uint8_t>(n);
            }
        }
    }
};

const FormTable& Forms()
{
    static const FormTable table;
    return table;
}

// Large texts are written into fresh pages; faulting them in one by one costs
// more than the translation itself, so the pages ahead of the writer are
// populated a chunk at a time where the kernel supports it.
class CPagePopulator {
public:
    CPagePopulator(char* pStart, size_t nSize) : m_pNext(pStart), m_pEnd(pStart + nSize)
    {
        m_bActive = nSize >= (8u << 20);
    }
    void Ahead(const char* pWritten)
    {
        if (m_bActive && pWritten + kChunk / 2 >= m_pNext && m_pNext < m_pEnd) {
#ifdef MADV_POPULATE_WRITE
            const auto nPage = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
            char* pFrom = reinterpret_cast<char*>(reinterpret_cast<uintptr_t>(m_pNext) & ~(nPage - 1));
            const size_t nLen = std::min(kChunk, static_cast<size_t>(m_pEnd - pFrom)) & ~(nPage - 1);
            if (nLen == 0 || ::madvise(pFrom, nLen, MADV_POPULATE_WRITE) != 0)
                m_bActive = false;
            m_pNext = pFrom + nLen;
#else
            m_bActive = false;
#endif
        }
    }

private:
    static constexpr size_t kChunk = 4u << 20;
    char* m_pNext;
    char* m_pEnd;
    bool m_bActive;
};

inline bool IsBracketed(unsigned char b)
{
    return b < 0x20 || b > 0x7F;
}

// The translation with the given line breaking (nMax 0 and bKeep false for
// none).
MallocPtr<char> TranslateBytes(const unsigned char* p, size_t n, unsigned char chBreak, int nMax, bool bKeep)
{
    const auto& forms = Forms().forms;

    // One pass into a block of the largest size the text can have (five
    // characters a byte, two more with line breaking); the untouched rest is
    // never paged in and is given back at the end.
    const size_t nWorst = n * ((nMax > 0 || bKeep) ? 7 : 5);
    // Eight bytes of slack let every form be copied as one 8-byte move.
    MallocPtr<char> text(static_cast<char*>(std::malloc(nWorst + 8)));
    if (!text)
        return nullptr;
    char* out = text.get();
    CPagePopulator populator(out, nWorst);

    if (nMax <= 0 && !bKeep) {
        for (size_t i = 0; i < n; ++i) {
            if ((i & 0xFFFF) == 0)
                populator.Ahead(out);
            const ByteForm& f = forms[p[i]];
            std::memcpy(out, f.text, 8);
            out += f.length;
        }
    } else {
        long nLine = 0;
        for (size_t i = 0; i < n; ++i) {
            const unsigned char b = p[i];
            const ByteForm& f = forms[b];
            std::memcpy(out, f.text, 8);
            out += f.length;
            nLine += f.length;
            if (bKeep && b == chBreak && IsBracketed(b)) {
                *out++ = static_cast<char>(chBreak);
                nLine = 0;
            }
            if (nMax > 0 && nLine >= nMax) {
                *out++ = static_cast<char>(chBreak);
                nLine = 0;
            }
        }
    }
    *out = '\0';
    const size_t nSize = static_cast<size_t>(out - text.get()) + 1;
    if (nSize + 4096 < nWorst) {
        if (void* pShrunk = std::realloc(text.get(), nSize)) {
            (void)text.release();
            text.reset(static_cast<char*>(pShrunk));
        }
    }
    return text;
}

// The translation with the session's line breaking.
MallocPtr<char> TranslateWithSettings(const unsigned char* p, size_t n)
{
    const auto chBreak = static_cast<unsigned char>(g_chDisplayBreak);
    // A NUL break character cannot stand in a zero-terminated text (it would
    // cut the text short), so it inserts no breaks at all.
    const int nMax = chBreak ? g_nMaxLineLength : 0;
    const bool bKeep = chBreak && g_bKeepBreaks != 0;
    return TranslateBytes(p, n, chBreak, nMax, bKeep);
}

}  // namespace

MallocPtr<char> BytesToDisplayText(const void* pBytes, std::int32_t nLength)
{
    const auto* p = static_cast<const unsigned char*>(pBytes);
    return TranslateWithSettings(p, (p && nLength > 0) ? static_cast<size_t>(nLength) : 0);
}

MallocPtr<char> BytesToOneLineDisplayText(const void* pBytes, std::int32_t nLength)
{
    const auto* p = static_cast<const unsigned char*>(pBytes);
    const size_t n = (p && nLength > 0) ? static_cast<size_t>(nLength) : 0;
    return TranslateBytes(p, n, 0, 0, false);
}

std::string BytesToDisplayString(const void* pBytes, std::int32_t nLength)
{
    MallocPtr<char> text = BytesToDisplayText(pBytes, nLength);
    return text ? std::string(text.get()) : std::string();
}

std::string BytesToDisplayString(std::string_view bytes)
{
    MallocPtr<char> text = TranslateWithSettings(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    return text ? std::string(text.get()) : std::string();
}

namespace {

// Converts the display text into out (which has room for text.size() bytes);
// returns the number of bytes written. Without out, only counts them.
template <bool kWrite>
size_t TranslateBack(std::string_view text, [[maybe_unused]] unsigned char* out)
{
    const char* p = text.data();
    const char* const end = p + text.size();
    size_t n = 0;
    const auto put = [&](unsigned char b) {
        if constexpr (kWrite)
            out[n] = b;
        ++n;
    };
    while (p < end) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '\0')
            break;
        if (c != '[') {
            if (c >= 0x20 && c <= 0x7F)
                put(c);
            ++p;
            continue;
        }
        // An opening bracket.
        ++p;
        if (p >= end || *p == '\0')
            break;
        if (*p == '[') {
            put('[');
            ++p;
            continue;
        }
        // A decimal value the way atoi reads it; its low 8 bits are the byte.
        const char* q = p;
        while (q < end && (*q == ' ' || (*q >= '\t' && *q <= '\r')))
            ++q;
        bool bNegative = false;
        if (q < end && (*q == '+' || *q == '-'))
            bNegative = *q++ == '-';
        std::uint32_t nValue = 0;
        while (q < end && *q >= '0' && *q <= '9')
            nValue = nValue * 10u + static_cast<std::uint32_t>(*q++ - '0');
        if (bNegative)
            nValue = 0u - nValue;
        put(static_cast<unsigned char>(nValue & 0xFFu));
        // Continue after the next closing bracket; without one the text ends.
        while (p < end && *p != ']' && *p != '\0')
            ++p;
        if (p >= end || *p == '\0')
            break;
        ++p;
    }
    return n;
}

}  // namespace

MallocPtr<unsigned char> DisplayTextToBytes(std::string_view text, std::int32_t& nLength)
{
    nLength = 0;
    if (text.empty())
        return nullptr;
    // A text longer than a data block may be can still give few enough
    // bytes ("[0]" is one byte): such a text is counted before anything is
    // allocated for it, and one that gives more is refused, not cut.
    if (text.size() > static_cast<size_t>(INT32_MAX) && TranslateBack<false>(text, nullptr) > static_cast<size_t>(INT32_MAX)) {
        nLength = -1;
        return nullptr;
    }
    MallocPtr<unsigned char> block(static_cast<unsigned char*>(std::malloc(text.size())));
    if (!block) {
        nLength = -1;
        return nullptr;
    }
    const size_t n = TranslateBack<true>(text, block.get());
    if (n == 0)
        return nullptr;
    if (n < text.size() / 2) {
        // Give back what a mostly-bracketed text over-allocated.
        if (void* p = std::realloc(block.get(), n)) {
            (void)block.release();
            block.reset(static_cast<unsigned char*>(p));
        }
    }
    nLength = static_cast<std::int32_t>(n);
    return block;
}

std::string DisplayTextToByteString(std::string_view text)
{
    std::string bytes(text.size(), '\0');
    bytes.resize(TranslateBack<true>(text, reinterpret_cast<unsigned char*>(bytes.data())));
    return bytes;
}

unsigned char* AppendBytes(unsigned char*& pBlock, std::int32_t& nLength, const void* pBytes, std::int32_t n)
{
    if (n <= 0)
        return pBlock;
    unsigned char* pNew;
    if (!pBlock || nLength <= 0) {
        pNew = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(n)));
        if (!pNew)
            return nullptr;
        std::free(pBlock);  // an empty block with storage is replaced
        std::memcpy(pNew, pBytes, static_cast<size_t>(n));
        pBlock = pNew;
        nLength = n;
        return pBlock;
    }
    const size_t nNew = static_cast<size_t>(nLength) + static_cast<size_t>(n);
    if (nNew > 0x7FFFFFFFu)
        return nullptr;
    pNew = static_cast<unsigned char*>(std::realloc(pBlock, nNew));
    if (!pNew)
        return nullptr;
    std::memcpy(pNew + nLength, pBytes, static_cast<size_t>(n));
    pBlock = pNew;
    nLength = static_cast<std::int32_t>(nNew);
    return pBlock;
}

unsigned char* AppendByte(unsigned char*& pBlock, std::int32_t& nLength, unsigned char byte)
{
    return AppendBytes(pBlock, nLength, &byte, 1);
}

void AppendWithCrLf(std::string& strOut, std::string_view text)
{
    for (;;) {
        const std::size_t nBreak = text.find('\n');
        if (nBreak == std::string_view::npos) {
            strOut.append(text);
            return;
        }
        strOut.append(text.substr(0, nBreak));
        strOut.append("\r\n");
        text.remove_prefix(nBreak + 1);
    }
}
