// The program's view of a parsed MIME message.
//
// GMime does the parsing; its objects never leave this adapter. A CMimeMessage
// owns one parsed message (or an encapsulated one, by reference); a
// CMimeEntity is a light handle on the message itself or one of its body
// parts, valid while the CMimeMessage it came from lives.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct _GMimeObject;
struct _GMimeMessage;

class CMimeMessage;

// One mailbox of an address field.
struct CMimeMailbox {
    std::string strText;      // the mailbox as the library prints it: Name <local@domain>
    std::string strFullName;  // the display name (decoded), empty when none
    std::string strRoute;     // the source route; the library drops routes, so always empty
    std::string strLocalPart;
    std::string strDomain;
};

// A message id (Message-Id, Resent-Message-Id, Content-Id).
struct CMimeMsgId {
    std::string strLocalPart;
    std::string strDomain;
};

// A Content-Type field.
struct CMimeMediaType {
    std::string strType;
    std::string strSubtype;
    std::vector<std::pair<std::string, std::string>> parameters;  // attribute, value; in order
};

class CMimeEntity {
public:
    // Whether this entity is a message (top-level or encapsulated) rather than a body part.
    bool IsMessage() const { return m_bMessage; }

    // The unfolded text of the first field of that name (any letter case);
    // false when the header has no such field.
    bool GetField(const char* pszName, std::string& strText) const;
    // Body parts of a multipart body, as the parse split it (0 when none),
    // with the parts it dropped for having neither header nor blank line
    // kept in their places as parts without header.
    int GetBodyPartCount() const;
    CMimeEntity GetBodyPart(int nIndex) const;
    // The message held in a body of media type message; null when there is none.
    std::unique_ptr<CMimeMessage> GetEncapsulatedMessage() const;
    // The body exactly as the message holds it (still transfer-encoded),
    // without a copy where the parse keeps the bytes: the view lies
    // in the parsed message's buffer, or in strStorage, which it fills otherwise.
    std::string_view GetBodyView(std::string& strStorage) const;

private:
    friend class CMimeMessage;
    CMimeEntity(_GMimeObject* pObject, bool bMessage, const CMimeMessage* pOwner)
        : m_pObject(pObject), m_bMessage(bMessage), m_pOwner(pOwner)
    {
    }
    // The object that carries the body: the message's MIME part, or the part itself.
    _GMimeObject* BodyObject() const;
    // The body of a multipart body part that the parse split into no parts,
    // as the input holds it; false when its place in the input is unknown.
    bool FindRawPartBody(std::string_view& body) const;
    // The body of a leaf whose header block ran into lines that are not
    // header fields, without a blank line between: the library drops those
    // lines and everything up to the end of the entity, where a lenient
    // reader takes the first of them as the start of the body. False when
    // the header was not cut so.
    bool FindBodyAfterCutHeader(std::string_view& body) const;
    // The end of a body part's content that starts at nStart in the input:
    // the line break before the next delimiter of a multipart it lies in,
    // or the end of the input.
    std::size_t RawPartEnd(std::size_t nStart) const;
    // The content of a body part without the CR of the line break before
    // the delimiter that ends it, where the parse left that CR in.
    std::string_view WithoutDelimiterCr(std::string_view body) const;

    // The parts of this multipart body in order: the library's parts, and
    // the offsets in the input of those it dropped (see GetBodyPartCount).
    struct CChild {
        _GMimeObject* pObject;  // null for a dropped part
        std::size_t nStart;     // where a dropped part begins
    };
    const std::vector<CChild>* Children() const;

    _GMimeObject* m_pObject;  // a GMimeMessage or a body part; null for a message without header
                              // or a body part the parse dropped
    std::string_view m_droppedBody;  // the body of a body part the parse dropped
    // Where the next part after this one (or after an enclosing one) begins
    // in the input: this entity lies before it. npos for the end of the input.
    std::size_t m_nLimit = std::string_view::npos;
    bool m_bMessage;
    const CMimeMessage* m_pOwner;  // the parsed message this entity belongs to
    // The boundaries of the multiparts this body part lies in, outermost first.
    std::vector<std::string> m_enclosingBoundaries;
};

class CMimeMessage {
public:
    // Parses raw bytes without copying them: data must outlive the message.
    // Never fails: input that does not begin with a header field becomes a
    // message with an empty header and the whole input as body.
    static std::unique_ptr<CMimeMessage> Parse(std::string_view data);
    // The same for bytes the message keeps.
    static std::unique_ptr<CMimeMessage> ParseOwned(std::string data);
    ~CMimeMessage();
    CMimeMessage(const CMimeMessage&) = delete;
    CMimeMessage& operator=(const CMimeMessage&) = delete;

    CMimeEntity Root() const;

private:
    friend class CMimeEntity;
    CMimeMessage() = default;
    static std::unique_ptr<CMimeMessage> ParseInto(std::unique_ptr<CMimeMessage> pResult, std::string_view data);
    // A new reference on a message held by another, sharing its bytes.
    static std::unique_ptr<CMimeMessage> Share(_GMimeMessage* pMessage, const std::shared_ptr<void>& pBytes);

    _GMimeMessage* m_pMessage = nullptr;  // owned reference; null when the input had no header
    std::string_view m_bareBody;          // the whole input, for a message without header
    // The message's body as the input holds it (from after the blank line
    // that ends the header), for a multipart body the parse split into no
    // parts: the library keeps only its prologue and epilogue, not the
    // boundary lines between them.
    std::string_view m_rawBody;
    std::string_view m_data;  // the whole input that was parsed
    // Where the parse met a line in a header block that is not a header
    // field (offsets into m_data, ascending).
    std::vector<std::int64_t> m_invalidHeaderLines;
    // Where the parse dropped a body part that had neither a header nor a
    // blank line before its content (offsets into m_data, ascending).
    std::vector<std::int64_t> m_droppedParts;
    // The parts of the multiparts that had a part dropped, by multipart.
    mutable std::map<const void*, std::vector<CMimeEntity::CChild>> m_children;
    // What the parsed bytes need kept alive (the buffer wrapper, owned bytes);
    // shared with encapsulated messages, whose content lies in the same bytes.
    std::shared_ptr<void> m_pBytes;
};

// Field bodies, as the library reads them.
// The mailboxes of an address field, group members included, in order.
std::vector<CMimeMailbox> ParseMailboxes(const std::string& strFieldText);
// The addresses of an address field: one text per mailbox or group.
std::vector<std::string> ParseAddresses(const std::string& strFieldText);
CMimeMsgId ParseMsgId(const std::string& strFieldText);
CMimeMediaType ParseMediaType(const std::string& strFieldText);

// Starts the library once per process; safe from any thread. The first call
// sets the locale and LC_ALL to C for a moment: the program makes it at
// start-up.
void EnsureMimeLibrary();

// Runs work to its end on a thread of its own with a stack of a known, large
// size, and rethrows what it threw. The library's parse, its writer and the
// release of a parsed message recurse once per level of nesting in the
// message, hundreds of levels deep for hostile input: on the caller's stack,
// whose size is the user's to set (ulimit -s), that could overflow. Parsing,
// reporting and releasing a message all go inside one such call.
void RunWithMimeStack(const std::function<void()>& work);
