#include "editor/Codecs.h"

#include <array>
#include <cstdint>

#include "app/CommandTable.h"
#include "editor/EditorAccess.h"

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

// Bytes Quoted-Printable writes as they are (the blank and the line feed
// have rules of their own).
constexpr std::array<bool, 256> MakeQpLiteralTable()
{
    std::array<bool, 256> table{};
    for (int c = 33; c <= 126; ++c)
        table[static_cast<std::size_t>(c)] = c != '=';
    return table;
}
constexpr std::array<bool, 256> kQpLiteral = MakeQpLiteralTable();

// Output collected in a fixed block and appended to the result in pieces,
// so that the result is never zero-filled ahead of time.
class COutput {
public:
    explicit COutput(std::size_t nExpected) { m_strOut.reserve(nExpected); }
    // Room for at least n more bytes.
    char* Room(std::size_t n)
    {
        if (m_nUsed + n > sizeof m_buf)
            Flush();
        return m_buf + m_nUsed;
    }
    void Advance(std::size_t n) { m_nUsed += n; }
    void Put(char c) { *Room(1) = c, ++m_nUsed; }
    std::string Take()
    {
        Flush();
        return std::move(m_strOut);
    }

private:
    void Flush()
    {
        m_strOut.append(m_buf, m_nUsed);
        m_nUsed = 0;
    }
    std::string m_strOut;
    char m_buf[16384];
    std::size_t m_nUsed = 0;
};

}  // namespace

std::string Base64Encode(std::string_view data)
{
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    const std::size_t n = data.size();
    const std::size_t nLines = n / 57;
    const std::size_t nRest = n % 57;
    std::string strOut;
    strOut.resize(nLines * 77 + (nRest + 2) / 3 * 4 + 1);
    char* q = strOut.data();
    auto group = [&q](const unsigned char* s) {
        const std::uint32_t v = (std::uint32_t{s[0]} << 16) | (std::uint32_t{s[1]} << 8) | s[2];
        q[0] = kBase64Alphabet[v >> 18];
        q[1] = kBase64Alphabet[(v >> 12) & 63];
        q[2] = kBase64Alphabet[(v >> 6) & 63];
        q[3] = kBase64Alphabet[v & 63];
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
    strOut.resize(text.size() / 4 * 3 + 3);
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

std::string QuotedPrintableEncode(std::string_view data)
{
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    const std::size_t n = data.size();
    COutput out(n + n / 8 + 16);
    std::size_t nColumn = 0;  // characters on the current output line
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char c = p[i];
        if (c == '\n') {
            out.Put('\n');
            nColumn = 0;
            continue;
        }
        const bool bLast = i + 1 == n;
        bool bEscape;
        if (c == ' ')
            bEscape = bLast || p[i + 1] == '\n';
        else if (nColumn == 0 && (c == '.' || (c == 'F' && data.substr(i + 1, 4) == "rom ")))
            bEscape = true;  // would read as a line of its own to mail transports
        else
            bEscape = !kQpLiteral[c];
        char* q = out.Room(3);
        if (bEscape) {
            q[0] = '=';
            q[1] = kHexDigits[c >> 4];
            q[2] = kHexDigits[c & 15];
            out.Advance(3);
            nColumn += 3;
        } else {
            q[0] = static_cast<char>(c);
            out.Advance(1);
            ++nColumn;
        }
        if (nColumn > 72 && !bLast && p[i + 1] != '\n') {
            char* s = out.Room(2);
            s[0] = '=';
            s[1] = '\n';
            out.Advance(2);
            nColumn = 0;
        }
    }
    return out.Take();
}

std::string QuotedPrintableDecode(std::string_view text)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::string strOut;
    strOut.resize(n);  // decoding never lengthens
    char* const pStart = strOut.data();
    char* q = pStart;
    auto isBlank = [](unsigned char c) { return c == ' ' || c == '\t'; };
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = p[i];
        if (c == '\n') {
            *q++ = '\n';
            ++i;
        } else if (isBlank(c)) {
            // A run of blanks is kept only when something other than the line end follows it.
            std::size_t j = i + 1;
            while (j < n && isBlank(p[j]))
                ++j;
            if (j < n && p[j] != '\n') {
                for (; i < j; ++i)
                    *q++ = static_cast<char>(p[i]);
            }
            i = j;
        } else if (c == '=') {
            std::size_t j = i + 1;
            while (j < n && isBlank(p[j]))
                ++j;
            if (j == n || p[j] == '\n') {
                i = j < n ? j + 1 : j;  // soft line break: the line goes on with the next
            } else if (i + 2 < n && kHexTable[p[i + 1]] != 0xFF && kHexTable[p[i + 2]] != 0xFF) {
                *q++ = static_cast<char>((kHexTable[p[i + 1]] << 4) | kHexTable[p[i + 2]]);
                i += 3;
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
    std::int32_t nLength = 0;
    std::string strInput;
    {
        MallocPtr<unsigned char> pBytes = GetEditorBytes(nLength);
        if (pBytes)
            strInput.assign(reinterpret_cast<const char*>(pBytes.get()), static_cast<std::size_t>(nLength));
    }
    const std::string strResult = pfnCoder(strInput);
    PutEditorBytes(strResult.data(), static_cast<std::int32_t>(strResult.size()));
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
