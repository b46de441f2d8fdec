#include "mime/MimeAdapter.h"

#include <gmime/gmime.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <mutex>
#include <new>
#include <optional>
#include <string>

#include <pthread.h>

namespace {

// Owned GLib references and allocations.
struct GObjectUnref {
    void operator()(gpointer p) const noexcept
    {
        if (p)
            g_object_unref(p);
    }
};
template <class T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

struct GFree {
    void operator()(gpointer p) const noexcept { g_free(p); }
};
using GCharPtr = std::unique_ptr<char, GFree>;

std::string Text(const char* psz)
{
    return psz ? std::string(psz) : std::string();
}

// A read-only stream over bytes that its creator keeps alive, with 64-bit
// positions throughout. The library's own memory stream keeps its bytes in a
// GByteArray, whose 32-bit length cannot describe a message of 4 GiB or more;
// this one serves every size, and its substreams (the contents of the parsed
// parts) share the same bytes.
struct MwViewStream {
    GMimeStream parent;
    std::string_view bytes;
};
struct MwViewStreamClass {
    GMimeStreamClass parent_class;
};

GType mw_view_stream_get_type();
#define MW_TYPE_VIEW_STREAM (mw_view_stream_get_type())

G_DEFINE_TYPE(MwViewStream, mw_view_stream, GMIME_TYPE_STREAM)

gint64 ViewStreamEnd(GMimeStream* pStream)
{
    const auto nSize = static_cast<gint64>(reinterpret_cast<MwViewStream*>(pStream)->bytes.size());
    return pStream->bound_end != -1 ? std::min(pStream->bound_end, nSize) : nSize;
}

ssize_t ViewStreamRead(GMimeStream* pStream, char* pBuffer, size_t nLength)
{
    const gint64 nLeft = ViewStreamEnd(pStream) - pStream->position;
    if (nLeft < 0 || pStream->position < pStream->bound_start) {
        errno = EINVAL;
        return -1;
    }
    const auto n = static_cast<size_t>(std::min<gint64>(nLeft, static_cast<gint64>(std::min<size_t>(nLength, SSIZE_MAX))));
    if (n == 0)
        return 0;
    std::memcpy(pBuffer, reinterpret_cast<MwViewStream*>(pStream)->bytes.data() + pStream->position, n);
    pStream->position += static_cast<gint64>(n);
    return static_cast<ssize_t>(n);
}

ssize_t ViewStreamWrite(GMimeStream*, const char*, size_t)
{
    errno = EBADF;  // the parser only reads
    return -1;
}

int ViewStreamNothing(GMimeStream*)
{
    return 0;
}

gboolean ViewStreamEos(GMimeStream* pStream)
{
    return pStream->position >= ViewStreamEnd(pStream);
}

int ViewStreamReset(GMimeStream* pStream)
{
    pStream->position = pStream->bound_start;
    return 0;
}

gint64 ViewStreamSeek(GMimeStream* pStream, gint64 nOffset, GMimeSeekWhence whence)
{
    gint64 nReal = nOffset;
    if (whence == GMIME_STREAM_SEEK_CUR)
        nReal = pStream->position + nOffset;
    else if (whence == GMIME_STREAM_SEEK_END)
        nReal = ViewStreamEnd(pStream) + nOffset;
    if (nReal < pStream->bound_start || nReal > ViewStreamEnd(pStream)) {
        errno = EINVAL;
        return -1;
    }
    pStream->position = nReal;
    return nReal;
}

gint64 ViewStreamTell(GMimeStream* pStream)
{
    return pStream->position;
}

gint64 ViewStreamLength(GMimeStream* pStream)
{
    return ViewStreamEnd(pStream) - pStream->bound_start;
}

GMimeStream* NewViewStream(std::string_view bytes, gint64 nStart, gint64 nEnd)
{
    auto* pView = static_cast<MwViewStream*>(g_object_new(MW_TYPE_VIEW_STREAM, nullptr));
    pView->bytes = bytes;
    g_mime_stream_construct(GMIME_STREAM(pView), nStart, nEnd);
    return GMIME_STREAM(pView);
}

GMimeStream* ViewStreamSubstream(GMimeStream* pStream, gint64 nStart, gint64 nEnd)
{
    return NewViewStream(reinterpret_cast<MwViewStream*>(pStream)->bytes, nStart, nEnd);
}

void mw_view_stream_class_init(MwViewStreamClass* pClass)
{
    GMimeStreamClass* pStreamClass = GMIME_STREAM_CLASS(pClass);
    pStreamClass->read = ViewStreamRead;
    pStreamClass->write = ViewStreamWrite;
    pStreamClass->flush = ViewStreamNothing;
    pStreamClass->close = ViewStreamNothing;
    pStreamClass->eos = ViewStreamEos;
    pStreamClass->reset = ViewStreamReset;
    pStreamClass->seek = ViewStreamSeek;
    pStreamClass->tell = ViewStreamTell;
    pStreamClass->length = ViewStreamLength;
    pStreamClass->substream = ViewStreamSubstream;
}

void mw_view_stream_init(MwViewStream* pView)
{
    new (&pView->bytes) std::string_view();
}

// The bytes a stream of this adapter views, null for any other stream.
const std::string_view* ViewStreamBytes(GMimeStream* pStream)
{
    if (!G_TYPE_CHECK_INSTANCE_TYPE(pStream, MW_TYPE_VIEW_STREAM))
        return nullptr;
    return &reinterpret_cast<MwViewStream*>(pStream)->bytes;
}

// The bytes of a stream from its start to its end. Content streams of a
// parsed message share the parser's memory buffer, so they are viewed there
// directly; any other stream is read into strStorage.
std::string_view ViewWholeStream(GMimeStream* pStream, std::string& strStorage)
{
    if (!pStream)
        return std::string_view();
    if (const std::string_view* pBytes = ViewStreamBytes(pStream)) {
        const gint64 nLen = static_cast<gint64>(pBytes->size());
        const gint64 nStart = std::clamp<gint64>(pStream->bound_start, 0, nLen);
        const gint64 nEnd = pStream->bound_end < 0 ? nLen : std::clamp<gint64>(pStream->bound_end, nStart, nLen);
        return pBytes->substr(static_cast<std::size_t>(nStart), static_cast<std::size_t>(nEnd - nStart));
    }
    if (GMIME_IS_STREAM_MEM(pStream)) {
        const GByteArray* pArray = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(pStream));
        if (pArray) {
            const gint64 nLen = pArray->len;
            const gint64 nStart = std::clamp<gint64>(pStream->bound_start, 0, nLen);
            const gint64 nEnd = pStream->bound_end < 0 ? nLen : std::clamp<gint64>(pStream->bound_end, nStart, nLen);
            return std::string_view(reinterpret_cast<const char*>(pArray->data) + nStart,
                                    static_cast<std::size_t>(nEnd - nStart));
        }
    }
    strStorage.clear();
    if (g_mime_stream_reset(pStream) != 0)
        return std::string_view();
    const gint64 nLength = g_mime_stream_length(pStream);
    if (nLength > 0)
        strStorage.reserve(static_cast<std::size_t>(nLength));
    char buf[65536];
    ssize_t n;
    while ((n = g_mime_stream_read(pStream, buf, sizeof buf)) > 0)
        strStorage.append(buf, static_cast<std::size_t>(n));
    return strStorage;
}

// An object's content as the library writes it out (for bodies the parse
// keeps as structure, not as bytes).
std::string WriteContent(GMimeObject* pObject)
{
    GObjectPtr<GMimeStream> pStream(g_mime_stream_mem_new());
    g_mime_object_write_content_to_stream(pObject, nullptr, pStream.get());
    const GByteArray* pArray = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(pStream.get()));
    return pArray ? std::string(reinterpret_cast<const char*>(pArray->data), pArray->len) : std::string();
}

GMimeHeader* FindHeader(GMimeObject* pObject, const char* pszName)
{
    if (!pObject)
        return nullptr;
    GMimeHeaderList* pList = g_mime_object_get_header_list(pObject);
    return pList ? g_mime_header_list_get_header(pList, pszName) : nullptr;
}

bool IsMediaTypeMessage(GMimeObject* pObject)
{
    // Only a field actually present counts: the library reports text/plain
    // for a part without Content-Type.
    if (!FindHeader(pObject, "Content-Type"))
        return false;
    GMimeContentType* pType = g_mime_object_get_content_type(pObject);  // borrowed
    const char* pszType = pType ? g_mime_content_type_get_media_type(pType) : nullptr;
    return pszType && g_ascii_strcasecmp(pszType, "message") == 0;
}

void AddMailbox(std::vector<CMimeMailbox>& mailboxes, InternetAddress* pAddress)
{
    if (INTERNET_ADDRESS_IS_GROUP(pAddress)) {
        InternetAddressList* pMembers = internet_address_group_get_members(INTERNET_ADDRESS_GROUP(pAddress));
        const int nCount = pMembers ? internet_address_list_length(pMembers) : 0;
        for (int i = 0; i < nCount; ++i)
            AddMailbox(mailboxes, internet_address_list_get_address(pMembers, i));
        return;
    }
    if (!INTERNET_ADDRESS_IS_MAILBOX(pAddress))
        return;
    InternetAddressMailbox* pMailbox = INTERNET_ADDRESS_MAILBOX(pAddress);
    CMimeMailbox mailbox;
    GCharPtr pText(internet_address_to_string(pAddress, nullptr, FALSE));
    mailbox.strText = Text(pText.get());
    mailbox.strFullName = Text(internet_address_get_name(pAddress));
    const std::string strAddr = Text(internet_address_mailbox_get_addr(pMailbox));
    const int nAt = pMailbox->at;
    if (nAt >= 0 && static_cast<std::size_t>(nAt) < strAddr.size()) {
        mailbox.strLocalPart = strAddr.substr(0, static_cast<std::size_t>(nAt));
        mailbox.strDomain = strAddr.substr(static_cast<std::size_t>(nAt) + 1);
    } else {
        mailbox.strLocalPart = strAddr;
    }
    mailboxes.push_back(std::move(mailbox));
}

}  // namespace

void EnsureMimeLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] {
        // The library takes the locale's character set, once, from the
        // locale and its variables as they are when it starts, and decodes
        // the text of an encoded word whose charset it does not know as that
        // set: under LANG=C such a word read as Latin-1, under a UTF-8
        // locale as a "?" for each byte above 127, so the report and the
        // part file names changed with the user's locale. It starts under
        // the C locale, whose set it takes as Latin-1, whatever the user's
        // is. Start-up calls this before any other thread runs, so neither
        // the locale nor the variable changes under another thread's feet.
        const char* pszLocale = std::setlocale(LC_ALL, nullptr);
        const std::string strLocale = pszLocale ? pszLocale : "C";
        const char* pszVariable = std::getenv("LC_ALL");
        const std::optional<std::string> variable =
            pszVariable ? std::optional<std::string>(pszVariable) : std::nullopt;
        ::setenv("LC_ALL", "C", 1);
        std::setlocale(LC_ALL, "C");
        g_mime_init();
        std::setlocale(LC_ALL, strLocale.c_str());
        if (variable)
            ::setenv("LC_ALL", variable->c_str(), 1);
        else
            ::unsetenv("LC_ALL");
        // Bodies of media type message are kept as plain parts, bytes and
        // all, and parsed as messages only when the report asks for them.
        // The library's own message parts drop whatever of a body does not
        // read as a header (a body without header would lose its text),
        // where a message parsed from the bytes keeps it as its body.
        for (const char* pszSubtype : {"rfc822", "rfc2822", "news", "global", "partial"})
            g_mime_object_register_type("message", pszSubtype, GMIME_TYPE_PART);
    });
}

void RunWithMimeStack(const std::function<void()>& work)
{
    // Far more than the deepest recursion needs: the library stops nesting
    // at about a thousand levels, the report at its depth bound, and a
    // level takes a few kilobytes at most. Only the pages used are ever
    // backed by memory.
    constexpr std::size_t kStackBytes = std::size_t{64} << 20;
    struct CCall {
        const std::function<void()>* pWork;
        std::exception_ptr pError;
    } call{&work, nullptr};
    const auto run = [](void* pArg) -> void* {
        auto* pCall = static_cast<CCall*>(pArg);
        try {
            (*pCall->pWork)();
        } catch (...) {
            pCall->pError = std::current_exception();
        }
        return nullptr;
    };
    pthread_attr_t attr;
    int nError = pthread_attr_init(&attr);
    pthread_t thread;
    if (nError == 0) {
        nError = pthread_attr_setstacksize(&attr, kStackBytes);
        if (nError == 0)
            nError = pthread_create(&thread, &attr, run, &call);
        pthread_attr_destroy(&attr);
    }
    if (nError == 0)
        pthread_join(thread, nullptr);
    else
        run(&call);  // no thread to be had (address space limited): the caller's stack it is
    if (call.pError)
        std::rethrow_exception(call.pError);
}

// --- CMimeMessage ---

namespace {

// What keeps the bytes that the parser reads in place (through a view
// stream) alive for as long as the message and its parts may read them.
struct CByteWrapper {
    std::string strOwned;           // the bytes themselves, when the message keeps them
    std::shared_ptr<void> pParent;  // the bytes of the message these lie in, if any
};

}  // namespace

std::unique_ptr<CMimeMessage> CMimeMessage::Parse(std::string_view data)
{
    return ParseInto(std::unique_ptr<CMimeMessage>(new CMimeMessage), data);
}

std::unique_ptr<CMimeMessage> CMimeMessage::ParseOwned(std::string data)
{
    auto pWrapper = std::make_shared<CByteWrapper>();
    pWrapper->strOwned = std::move(data);
    std::unique_ptr<CMimeMessage> pResult(new CMimeMessage);
    pResult->m_pBytes = pWrapper;
    return ParseInto(std::move(pResult), pWrapper->strOwned);
}

std::unique_ptr<CMimeMessage> CMimeMessage::ParseInto(std::unique_ptr<CMimeMessage> pResult, std::string_view data)
{
    EnsureMimeLibrary();
    if (!pResult->m_pBytes)
        pResult->m_pBytes = std::make_shared<CByteWrapper>();
    pResult->m_data = data;
    GObjectPtr<GMimeStream> pStream(NewViewStream(data, 0, -1));
    GObjectPtr<GMimeParser> pParser(g_mime_parser_new_with_stream(pStream.get()));
    // The default options, with a note of every line the parse took for a
    // broken header field: a body that began without a blank line.
    const std::unique_ptr<GMimeParserOptions, decltype(&g_mime_parser_options_free)> pOptions(
        g_mime_parser_options_clone(g_mime_parser_options_get_default()), &g_mime_parser_options_free);
    const auto noteWarning = [](gint64 nOffset, GMimeParserWarning code, const gchar*, gpointer pData) {
        if (code == GMIME_CRIT_INVALID_HEADER_NAME && nOffset >= 0)
            static_cast<CMimeMessage*>(pData)->m_invalidHeaderLines.push_back(nOffset);
        else if (code == GMIME_CRIT_PART_WITHOUT_HEADERS_OR_CONTENT && nOffset >= 0)
            static_cast<CMimeMessage*>(pData)->m_droppedParts.push_back(nOffset);
    };
    g_mime_parser_options_set_warning_callback(pOptions.get(), noteWarning, pResult.get());
    pResult->m_pMessage = g_mime_parser_construct_message(pParser.get(), pOptions.get());
    std::sort(pResult->m_invalidHeaderLines.begin(), pResult->m_invalidHeaderLines.end());
    std::sort(pResult->m_droppedParts.begin(), pResult->m_droppedParts.end());
    pResult->m_droppedParts.erase(std::unique(pResult->m_droppedParts.begin(), pResult->m_droppedParts.end()),
                                  pResult->m_droppedParts.end());
    if (!pResult->m_pMessage) {
        pResult->m_bareBody = data;
    } else {
        // The header ends before the line break of the blank line that
        // separates it from the body.
        const gint64 nEnd = g_mime_parser_get_headers_end(pParser.get());
        if (nEnd >= 0 && static_cast<std::size_t>(nEnd) <= data.size()) {
            std::size_t nBody = static_cast<std::size_t>(nEnd);
            if (data.substr(nBody, 2) == "\r\n")
                nBody += 2;
            else if (data.substr(nBody, 1) == "\n")
                nBody += 1;
            pResult->m_rawBody = data.substr(nBody);
        }
    }
    return pResult;
}

std::unique_ptr<CMimeMessage> CMimeMessage::Share(_GMimeMessage* pMessage, const std::shared_ptr<void>& pBytes)
{
    std::unique_ptr<CMimeMessage> pResult(new CMimeMessage);
    pResult->m_pMessage = GMIME_MESSAGE(g_object_ref(pMessage));
    pResult->m_pBytes = pBytes;
    return pResult;
}

CMimeMessage::~CMimeMessage()
{
    // The objects go first: their streams read the bytes that m_pBytes keeps.
    if (m_pMessage)
        g_object_unref(m_pMessage);
}

CMimeEntity CMimeMessage::Root() const
{
    return CMimeEntity(m_pMessage ? GMIME_OBJECT(m_pMessage) : nullptr, true, this);
}

// --- CMimeEntity ---

_GMimeObject* CMimeEntity::BodyObject() const
{
    if (!m_pObject)
        return nullptr;
    if (m_bMessage)
        return g_mime_message_get_mime_part(GMIME_MESSAGE(m_pObject));
    return m_pObject;
}

bool CMimeEntity::GetField(const char* pszName, std::string& strText) const
{
    GMimeHeader* pHeader = FindHeader(m_pObject, pszName);
    // The Content-* fields of a message sit in the header of its MIME part.
    if (!pHeader && m_bMessage)
        pHeader = FindHeader(BodyObject(), pszName);
    if (!pHeader)
        return false;
    GCharPtr pUnfolded(g_mime_utils_header_unfold(g_mime_header_get_raw_value(pHeader)));
    strText = Text(pUnfolded.get());
    return true;
}

namespace {

// Whether a line (without its line feed) is a delimiter of the boundary:
// "--" and the boundary, optionally "--", then only white space.
bool IsDelimiterLine(std::string_view line, std::string_view boundary)
{
    if (boundary.empty() || line.size() < boundary.size() + 2 || line.substr(0, 2) != "--" ||
        line.substr(2, boundary.size()) != boundary)
        return false;
    std::string_view rest = line.substr(boundary.size() + 2);
    if (rest.substr(0, 2) == "--")
        rest.remove_prefix(2);
    return rest.find_first_not_of(" \t\r") == std::string_view::npos;
}

}  // namespace

namespace {

// Where a body part begins in the input: its first header field, or its
// content when it has no header; -1 when unknown.
gint64 PartStart(GMimeObject* pObject)
{
    gint64 nStart = -1;
    GMimeHeaderList* pList = g_mime_object_get_header_list(pObject);
    const int nHeaders = pList ? g_mime_header_list_get_count(pList) : 0;
    for (int i = 0; i < nHeaders; ++i) {
        const gint64 nOffset = g_mime_header_get_offset(g_mime_header_list_get_header_at(pList, i));
        if (nOffset >= 0)
            nStart = nStart < 0 ? nOffset : std::min(nStart, nOffset);
    }
    if (nStart < 0 && GMIME_IS_PART(pObject)) {
        GMimeDataWrapper* pContent = g_mime_part_get_content(GMIME_PART(pObject));
        GMimeStream* pStream = pContent ? g_mime_data_wrapper_get_stream(pContent) : nullptr;
        if (pStream)
            nStart = pStream->bound_start;
    }
    return nStart;
}

}  // namespace

const std::vector<CMimeEntity::CChild>* CMimeEntity::Children() const
{
    GMimeObject* pBody = BodyObject();
    const std::vector<std::int64_t>& dropped = m_pOwner->m_droppedParts;
    if (!pBody || !GMIME_IS_MULTIPART(pBody) || dropped.empty())
        return nullptr;
    const auto cached = m_pOwner->m_children.find(pBody);
    if (cached != m_pOwner->m_children.end())
        return &cached->second;
    // A dropped part of this multipart begins on the line after one of its
    // delimiters, after its header and before the part that follows it.
    const std::string_view data = m_pOwner->m_data;
    const std::string boundary = Text(g_mime_multipart_get_boundary(GMIME_MULTIPART(pBody)));
    std::size_t nFrom = 0;
    GMimeHeaderList* pList = g_mime_object_get_header_list(pBody);
    const int nHeaders = pList ? g_mime_header_list_get_count(pList) : 0;
    for (int i = 0; i < nHeaders; ++i)
        nFrom = std::max<std::size_t>(
            nFrom, std::max<gint64>(0, g_mime_header_get_offset(g_mime_header_list_get_header_at(pList, i))));
    const std::size_t nTo = std::min(m_nLimit, data.size());
    std::vector<CChild> children;
    GMimeMultipart* pMultipart = GMIME_MULTIPART(pBody);
    const int nCount = g_mime_multipart_get_count(pMultipart);
    int nNext = 0;
    for (auto it = std::lower_bound(dropped.begin(), dropped.end(), static_cast<std::int64_t>(nFrom + 1));
         it != dropped.end() && static_cast<std::size_t>(*it) < nTo; ++it) {
        const auto nStart = static_cast<std::size_t>(*it);
        if (nStart < 2 || nStart > data.size() || data[nStart - 1] != '\n')
            continue;
        const std::size_t nLine = data.rfind('\n', nStart - 2);
        const std::size_t nLineStart = nLine == std::string_view::npos ? 0 : nLine + 1;
        const std::string_view line = data.substr(nLineStart, nStart - 1 - nLineStart);
        if (!IsDelimiterLine(line, boundary) || line.substr(boundary.size() + 2, 2) == "--")
            continue;
        while (nNext < nCount && PartStart(g_mime_multipart_get_part(pMultipart, nNext)) < *it)
            children.push_back({g_mime_multipart_get_part(pMultipart, nNext++), 0});
        children.push_back({nullptr, nStart});
    }
    while (nNext < nCount)
        children.push_back({g_mime_multipart_get_part(pMultipart, nNext++), 0});
    return &m_pOwner->m_children.emplace(pBody, std::move(children)).first->second;
}

int CMimeEntity::GetBodyPartCount() const
{
    if (const std::vector<CChild>* pChildren = Children())
        return static_cast<int>(pChildren->size());
    GMimeObject* pBody = BodyObject();
    return pBody && GMIME_IS_MULTIPART(pBody) ? g_mime_multipart_get_count(GMIME_MULTIPART(pBody)) : 0;
}

CMimeEntity CMimeEntity::GetBodyPart(int nIndex) const
{
    GMimeObject* pBody = BodyObject();
    CMimeEntity part(nullptr, false, m_pOwner);
    if (pBody && GMIME_IS_MULTIPART(pBody)) {
        part.m_enclosingBoundaries = m_enclosingBoundaries;
        part.m_enclosingBoundaries.push_back(Text(g_mime_multipart_get_boundary(GMIME_MULTIPART(pBody))));
        part.m_nLimit = m_nLimit;
        const std::vector<CChild>* pChildren = Children();
        if (!pChildren) {
            GMimeMultipart* pMultipart = GMIME_MULTIPART(pBody);
            part.m_pObject = g_mime_multipart_get_part(pMultipart, nIndex);
            if (!m_pOwner->m_droppedParts.empty() && nIndex + 1 < g_mime_multipart_get_count(pMultipart)) {
                if (const gint64 nNext = PartStart(g_mime_multipart_get_part(pMultipart, nIndex + 1)); nNext >= 0)
                    part.m_nLimit = static_cast<std::size_t>(nNext);
            }
        } else if (nIndex >= 0 && static_cast<std::size_t>(nIndex) < pChildren->size()) {
            const auto nAt = static_cast<std::size_t>(nIndex);
            const CChild& child = (*pChildren)[nAt];
            part.m_pObject = child.pObject;
            if (!child.pObject)
                part.m_droppedBody = m_pOwner->m_data.substr(child.nStart, part.RawPartEnd(child.nStart) - child.nStart);
            if (nAt + 1 < pChildren->size()) {
                const CChild& next = (*pChildren)[nAt + 1];
                const gint64 nNext = next.pObject ? PartStart(next.pObject) : static_cast<gint64>(next.nStart);
                if (nNext >= 0)
                    part.m_nLimit = static_cast<std::size_t>(nNext);
            }
        }
    }
    return part;
}

std::unique_ptr<CMimeMessage> CMimeEntity::GetEncapsulatedMessage() const
{
    GMimeObject* pBody = BodyObject();
    if (!pBody)
        return nullptr;
    if (GMIME_IS_MESSAGE_PART(pBody)) {
        GMimeMessage* pInner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(pBody));
        return pInner ? CMimeMessage::Share(pInner, m_pOwner->m_pBytes) : nullptr;
    }
    // Message bodies are kept as plain parts (see EnsureMimeLibrary); their
    // body is a message all the same.
    if (GMIME_IS_PART(pBody) && IsMediaTypeMessage(pBody)) {
        std::string strStorage;
        const std::string_view body = GetBodyView(strStorage);
        if (body.data() == strStorage.data())
            return CMimeMessage::ParseOwned(std::move(strStorage));
        // The body lies in this message's bytes: the new message keeps them too.
        std::unique_ptr<CMimeMessage> pInner = CMimeMessage::Parse(body);
        std::static_pointer_cast<CByteWrapper>(pInner->m_pBytes)->pParent = m_pOwner->m_pBytes;
        return pInner;
    }
    return nullptr;
}

std::string_view CMimeEntity::GetBodyView(std::string& strStorage) const
{
    if (!m_pObject)
        return m_bMessage ? m_pOwner->m_bareBody : m_droppedBody;
    GMimeObject* pBody = BodyObject();
    if (!pBody)
        return std::string_view();
    if (GMIME_IS_PART(pBody)) {
        GMimeDataWrapper* pContent = g_mime_part_get_content(GMIME_PART(pBody));
        const std::string_view content =
            pContent ? WithoutDelimiterCr(ViewWholeStream(g_mime_data_wrapper_get_stream(pContent), strStorage))
                     : std::string_view();
        std::string_view afterCut;
        if (content.empty() && FindBodyAfterCutHeader(afterCut))
            return afterCut;
        return content;
    }
    if (GMIME_IS_MULTIPART(pBody) && g_mime_multipart_get_count(GMIME_MULTIPART(pBody)) == 0) {
        if (m_bMessage && m_pOwner->m_rawBody.data())
            return m_pOwner->m_rawBody;
        std::string_view raw;
        if (!m_bMessage && FindRawPartBody(raw))
            return raw;
        // Without a boundary found, the whole body stays in the prologue.
        GMimeMultipart* pMultipart = GMIME_MULTIPART(pBody);
        strStorage = Text(g_mime_multipart_get_prologue(pMultipart)) + Text(g_mime_multipart_get_epilogue(pMultipart));
        return strStorage;
    }
    // A body the parse keeps as structure (reported as a leaf only beyond the depth bound).
    strStorage = WriteContent(pBody);
    return strStorage;
}


std::string_view CMimeEntity::WithoutDelimiterCr(std::string_view body) const
{
    // A delimiter at the very end of the input (the closing one of a
    // message held in a message body always stands there, the line break
    // after it belonging to the enclosing delimiter) ends the part before
    // its line feed only: the CR of a CR LF line end before it was left in
    // the part's content. Elsewhere the parse takes the whole CR LF.
    const std::string_view data = m_pOwner->m_data;
    // Only a body that lies in the parsed input has bytes after it to look at.
    const std::less<const char*> before;
    if (m_enclosingBoundaries.empty() || body.empty() || body.back() != '\r' || before(body.data(), data.data()) ||
        before(data.data() + data.size(), body.data() + body.size()))
        return body;
    const std::size_t nEnd = static_cast<std::size_t>(body.data() - data.data()) + body.size();
    if (data.substr(nEnd, 1) != "\n")
        return body;
    const std::size_t nLine = nEnd + 1;
    const std::string_view line = data.substr(nLine, std::min(data.find('\n', nLine), data.size()) - nLine);
    if (std::none_of(m_enclosingBoundaries.begin(), m_enclosingBoundaries.end(),
                     [line](const std::string& b) { return IsDelimiterLine(line, b); }))
        return body;
    body.remove_suffix(1);
    return body;
}

bool CMimeEntity::FindRawPartBody(std::string_view& body) const
{
    // The library keeps only the prologue and epilogue of such a body, with
    // its line ends rewritten and its boundary lines dropped; the body is
    // taken from the input instead: from after the blank line that ends the
    // part's header up to the line break before the next delimiter of an
    // enclosing multipart, where the parse ended the part.
    const std::string_view data = m_pOwner->m_data;
    GMimeHeaderList* pList = m_pObject ? g_mime_object_get_header_list(m_pObject) : nullptr;
    const int nHeaders = pList ? g_mime_header_list_get_count(pList) : 0;
    if (nHeaders <= 0)
        return false;
    const gint64 nLast = g_mime_header_get_offset(g_mime_header_list_get_header_at(pList, nHeaders - 1));
    if (nLast < 0 || static_cast<std::uint64_t>(nLast) >= data.size())
        return false;
    // The header ends at the first empty line after its last field.
    std::size_t nStart = std::string_view::npos;
    for (std::size_t at = data.find('\n', static_cast<std::size_t>(nLast)); at != std::string_view::npos;
         at = data.find('\n', at + 1)) {
        if (data.substr(at + 1, 1) == "\n") {
            nStart = at + 2;
            break;
        }
        if (data.substr(at + 1, 2) == "\r\n") {
            nStart = at + 3;
            break;
        }
    }
    if (nStart == std::string_view::npos)
        return false;
    body = data.substr(nStart, RawPartEnd(nStart) - nStart);
    return true;
}

std::size_t CMimeEntity::RawPartEnd(std::size_t nStart) const
{
    const std::string_view data = m_pOwner->m_data;
    std::size_t nEnd = data.size();
    if (m_enclosingBoundaries.empty())
        return nEnd;
    for (std::size_t at = nStart; at < data.size();) {
        const std::size_t nLineEnd = std::min(data.find('\n', at), data.size());
        const std::string_view line = data.substr(at, nLineEnd - at);
        if (std::any_of(m_enclosingBoundaries.begin(), m_enclosingBoundaries.end(),
                        [line](const std::string& b) { return IsDelimiterLine(line, b); })) {
            // The line break before a delimiter belongs to the delimiter.
            nEnd = at;
            if (nEnd > nStart && data[nEnd - 1] == '\n')
                --nEnd;
            if (nEnd > nStart && data[nEnd - 1] == '\r')
                --nEnd;
            break;
        }
        at = nLineEnd + 1;
    }
    return nEnd;
}

bool CMimeEntity::FindBodyAfterCutHeader(std::string_view& body) const
{
    if (!m_pObject)
        return false;
    const std::string_view data = m_pOwner->m_data;
    // The first and the last field the parse kept; a message's Content-*
    // fields sit in its MIME part's header.
    gint64 nFirst = -1, nLast = -1;
    std::string_view lastName;
    for (GMimeObject* pObject : {m_pObject, m_bMessage ? BodyObject() : nullptr}) {
        GMimeHeaderList* pList = pObject ? g_mime_object_get_header_list(pObject) : nullptr;
        const int nHeaders = pList ? g_mime_header_list_get_count(pList) : 0;
        for (int i = 0; i < nHeaders; ++i) {
            GMimeHeader* pHeader = g_mime_header_list_get_header_at(pList, i);
            const gint64 nOffset = g_mime_header_get_offset(pHeader);
            if (nOffset < 0)
                continue;
            nFirst = nFirst < 0 ? nOffset : std::min(nFirst, nOffset);
            if (nOffset > nLast) {
                nLast = nOffset;
                const char* pszName = g_mime_header_get_name(pHeader);
                lastName = pszName ? std::string_view(pszName) : std::string_view();
            }
        }
    }
    // Offsets that do not point at the field they belong to (an envelope
    // line before the header shifts them) give no place to cut at.
    if (nLast < 0 || static_cast<std::uint64_t>(nLast) >= data.size() || lastName.empty() ||
        data.substr(static_cast<std::size_t>(nLast), lastName.size()) != lastName)
        return false;
    const auto start = static_cast<std::size_t>(nFirst);
    const std::size_t nEnd = RawPartEnd(start);
    // The first line of the header block that the parse rejected as a field.
    const std::vector<std::int64_t>& invalid = m_pOwner->m_invalidHeaderLines;
    for (auto it = std::lower_bound(invalid.begin(), invalid.end(), static_cast<std::int64_t>(start));
         it != invalid.end() && static_cast<std::size_t>(*it) < nEnd; ++it) {
        const auto nLine = static_cast<std::size_t>(*it);
        if (nLine == 0 || data[nLine - 1] == '\n') {
            body = data.substr(nLine, nEnd - nLine);
            return true;
        }
    }
    // Else the line after the last field and its folded continuation lines:
    // the parse drops a last line without a line feed unread, as it always
    // stands at the end of a message held in a message body.
    std::size_t nLine = static_cast<std::size_t>(nLast);
    do {
        const std::size_t nLineFeed = data.find('\n', nLine);
        if (nLineFeed == std::string_view::npos || nLineFeed >= nEnd)
            return false;
        nLine = nLineFeed + 1;
    } while (nLine < nEnd && (data[nLine] == ' ' || data[nLine] == '\t'));
    if (nLine >= nEnd || data.find('\n', nLine) < nEnd || data.substr(nLine, nEnd - nLine) == "\r")
        return false;
    body = data.substr(nLine, nEnd - nLine);
    return true;
}

// --- Field bodies ---

std::vector<CMimeMailbox> ParseMailboxes(const std::string& strFieldText)
{
    EnsureMimeLibrary();
    std::vector<CMimeMailbox> mailboxes;
    GObjectPtr<InternetAddressList> pList(internet_address_list_parse(nullptr, strFieldText.c_str()));
    const int nCount = pList ? internet_address_list_length(pList.get()) : 0;
    for (int i = 0; i < nCount; ++i)
        AddMailbox(mailboxes, internet_address_list_get_address(pList.get(), i));
    return mailboxes;
}

std::vector<std::string> ParseAddresses(const std::string& strFieldText)
{
    EnsureMimeLibrary();
    std::vector<std::string> addresses;
    GObjectPtr<InternetAddressList> pList(internet_address_list_parse(nullptr, strFieldText.c_str()));
    const int nCount = pList ? internet_address_list_length(pList.get()) : 0;
    for (int i = 0; i < nCount; ++i) {
        GCharPtr pText(internet_address_to_string(internet_address_list_get_address(pList.get(), i), nullptr, FALSE));
        addresses.push_back(Text(pText.get()));
    }
    return addresses;
}

CMimeMsgId ParseMsgId(const std::string& strFieldText)
{
    EnsureMimeLibrary();
    CMimeMsgId id;
    GCharPtr pId(g_mime_utils_decode_message_id(strFieldText.c_str()));
    const std::string strId = Text(pId.get());
    // The domain cannot hold an "@", the local part can (quoted).
    const std::size_t nAt = strId.rfind('@');
    if (nAt == std::string::npos) {
        id.strLocalPart = strId;
    } else {
        id.strLocalPart = strId.substr(0, nAt);
        id.strDomain = strId.substr(nAt + 1);
    }
    return id;
}

namespace {

std::string_view TrimBlanks(std::string_view text)
{
    const std::size_t nFirst = text.find_first_not_of(" \t\r\n");
    if (nFirst == std::string_view::npos)
        return std::string_view();
    return text.substr(nFirst, text.find_last_not_of(" \t\r\n") - nFirst + 1);
}

bool EqualsNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return g_ascii_tolower(x) == g_ascii_tolower(y);
           });
}

void AddParameters(CMimeMediaType& type, GMimeParamList* pParams)
{
    const int nCount = pParams ? g_mime_param_list_length(pParams) : 0;
    for (int i = 0; i < nCount; ++i) {
        GMimeParam* pParam = g_mime_param_list_get_parameter_at(pParams, i);
        type.parameters.emplace_back(Text(g_mime_param_get_name(pParam)), Text(g_mime_param_get_value(pParam)));
    }
}

}  // namespace

CMimeMediaType ParseMediaType(const std::string& strFieldText)
{
    EnsureMimeLibrary();
    CMimeMediaType type;
    GObjectPtr<GMimeContentType> pType(g_mime_content_type_parse(nullptr, strFieldText.c_str()));
    // The type and subtype as written, up to the parameters.
    const std::size_t nSemicolon = strFieldText.find(';');
    const std::string_view head = TrimBlanks(std::string_view(strFieldText).substr(0, nSemicolon));
    const std::size_t nSlash = head.find('/');
    const std::string_view writtenType = TrimBlanks(head.substr(0, nSlash));
    const std::string_view writtenSubtype = nSlash == std::string_view::npos ? std::string_view()
                                                                             : TrimBlanks(head.substr(nSlash + 1));
    if (pType) {
        type.strType = Text(g_mime_content_type_get_media_type(pType.get()));
        type.strSubtype = Text(g_mime_content_type_get_media_subtype(pType.get()));
    }
    // A field the library cannot read (empty, a type without subtype, only
    // parameters) comes back as application/octet-stream without its
    // parameters; the report shows such a field as it is written instead.
    const bool bDefaulted = !pType || (EqualsNoCase(type.strType, "application") &&
                                       EqualsNoCase(type.strSubtype, "octet-stream") &&
                                       !(EqualsNoCase(writtenType, "application") &&
                                         EqualsNoCase(writtenSubtype, "octet-stream")));
    if (!bDefaulted) {
        AddParameters(type, g_mime_content_type_get_parameters(pType.get()));  // borrowed
        return type;
    }
    type.strType = writtenType;
    type.strSubtype = writtenSubtype;
    if (nSemicolon != std::string::npos) {
        GObjectPtr<GMimeParamList> pParams(g_mime_param_list_parse(nullptr, strFieldText.c_str() + nSemicolon + 1));
        AddParameters(type, pParams.get());
    }
    return type;
}
