#include "mime/MimeReport.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "app/resource.h"
#include "mime/MimeDecode.h"
#include "mime/MimeFiles.h"

namespace {

enum class EFieldKind { Text, MailboxList, Mailbox, AddressList, MsgId, ContentType };

struct FieldRow {
    const char* pszField;
    EFieldKind kind;
    const char* pszLabel;
    const char* pszSubPrefix;  // put before the sub-line labels of mailboxes and message ids
};

// The header fields the report shows, in the order it shows them.
constexpr FieldRow kFieldRows[] = {
    {"MIME-Version", EFieldKind::Text, "  MIME Version = ", ""},
    {"Subject", EFieldKind::Text, "  Subject = ", ""},
    {"From", EFieldKind::MailboxList, "  From = ", ""},
    {"Resent-From", EFieldKind::MailboxList, "  Resent From = ", "Resent "},
    {"Sender", EFieldKind::Mailbox, "  Sender = ", ""},
    {"Resent-Sender", EFieldKind::Mailbox, "  Resent Sender = ", "Resent "},
    {"To", EFieldKind::AddressList, "  To = ", ""},
    {"Resent-To", EFieldKind::AddressList, "  Resent To = ", ""},
    {"Cc", EFieldKind::AddressList, "  Cc = ", ""},
    {"Resent-Cc", EFieldKind::AddressList, "  Resent Cc = ", ""},
    {"Bcc", EFieldKind::AddressList, "  Bcc = ", ""},
    {"Resent-Bcc", EFieldKind::AddressList, "  Resent Bcc = ", ""},
    {"Reply-To", EFieldKind::AddressList, "  Reply To = ", ""},
    {"Resent-Reply-To", EFieldKind::AddressList, "  Resent Reply To = ", ""},
    {"Comments", EFieldKind::Text, "  Comments = ", ""},
    {"Date", EFieldKind::Text, "  Date = ", ""},
    {"Resent-Date", EFieldKind::Text, "  Resent Date = ", ""},
    {"Message-Id", EFieldKind::MsgId, "  MessageId = ", ""},
    {"Resent-Message-Id", EFieldKind::MsgId, "  Resent MessageId = ", "Resent "},
    {"Encrypted", EFieldKind::Text, "  Encrypted = ", ""},
    {"In-Reply-To", EFieldKind::Text, "  In Reply To = ", ""},
    {"Return-Path", EFieldKind::Text, "  Return Path = ", ""},
    {"Keywords", EFieldKind::Text, "  Keywords = ", ""},
    {"Received", EFieldKind::Text, "  Received = ", ""},
    {"References", EFieldKind::Text, "  References = ", ""},
    {"Content-Type", EFieldKind::ContentType, "", ""},
    {"Content-Transfer-Encoding", EFieldKind::Text, "  Content Transfer Encoding = ", ""},
    {"Content-Disposition", EFieldKind::Text, "  Content Disposition = ", ""},
    {"Approved", EFieldKind::Text, "  Approved = ", ""},
    {"Control", EFieldKind::Text, "  Control = ", ""},
    {"Distribution", EFieldKind::Text, "  Distribution = ", ""},
    {"Expires", EFieldKind::Text, "  Expires = ", ""},
    {"Followup-To", EFieldKind::Text, "  Followup To = ", ""},
    {"Lines", EFieldKind::Text, "  Lines = ", ""},
    {"Newsgroups", EFieldKind::Text, "  News Groups = ", ""},
    {"Organization", EFieldKind::Text, "  Organization = ", ""},
    {"Path", EFieldKind::Text, "  Path = ", ""},
    {"Summary", EFieldKind::Text, "  Summary = ", ""},
    {"Xref", EFieldKind::Text, "  Xref = ", ""},
    {"Content-Description", EFieldKind::Text, "  Content Description = ", ""},
    {"Content-Id", EFieldKind::MsgId, "  ContentId = ", ""},
};

class CReportWriter {
public:
    CReportWriter(std::string& strReport, int nDepth) : m_strReport(strReport), m_nDepth(nDepth) {}

    // One indented line: label, value, line feed.
    void Line(const char* pszLabel, const std::string& strValue = std::string())
    {
        Indent();
        m_strReport += pszLabel;
        m_strReport += strValue;
        m_strReport += '\n';
    }
    void Line(const std::string& strLabel, const std::string& strValue) { Line(strLabel.c_str(), strValue); }
    void Indent() { m_strReport.append(static_cast<std::size_t>(m_nDepth) * 4, ' '); }
    std::string& Text() { return m_strReport; }

    void Mailbox(const CMimeMailbox& mailbox, const char* pszLabel, const std::string& strSub)
    {
        Line(pszLabel, mailbox.strText);
        Line("    " + strSub + "Full name = ", mailbox.strFullName);
        Line("    " + strSub + "Route = ", mailbox.strRoute);
        Line("    " + strSub + "Local Part = ", mailbox.strLocalPart);
        Line("    " + strSub + "Domain = ", mailbox.strDomain);
    }

private:
    std::string& m_strReport;
    int m_nDepth;
};

// Reports the header in the table's order; returns the part file name taken
// from a "name" parameter of the Content-Type (empty when there is none).
std::string ReportHeader(const CMimeEntity& entity, CReportWriter& out)
{
    std::string strPartName;
    std::string strText;
    for (const FieldRow& row : kFieldRows) {
        const bool bPresent = entity.GetField(row.pszField, strText);
        if (row.kind == EFieldKind::ContentType) {
            // Shown for every entity: an absent field reads as an empty one.
            CMimeMediaType type;
            if (bPresent)
                type = ParseMediaType(strText);
            out.Line("  Content Type = ", type.strType);
            out.Line("  Content SubType = ", type.strSubtype);
            if (!type.parameters.empty()) {
                out.Line("  Content Parameters");
                for (const auto& [strAttribute, strValue] : type.parameters) {
                    out.Line("    Attribute = ", strAttribute);
                    out.Line("    Value = ", strValue);
                    if (strAttribute == "name")
                        strPartName = strValue;
                }
            }
            continue;
        }
        if (!bPresent)
            continue;
        const std::string strSub = row.pszSubPrefix;
        switch (row.kind) {
        case EFieldKind::Text:
            out.Line(row.pszLabel, strText);
            break;
        case EFieldKind::MailboxList:
            for (const CMimeMailbox& mailbox : ParseMailboxes(strText))
                out.Mailbox(mailbox, row.pszLabel, strSub);
            break;
        case EFieldKind::Mailbox: {
            std::vector<CMimeMailbox> mailboxes = ParseMailboxes(strText);
            CMimeMailbox mailbox;
            if (mailboxes.empty())
                mailbox.strText = strText;  // not a mailbox the library can read: show the field as it is
            else
                mailbox = std::move(mailboxes.front());
            out.Mailbox(mailbox, row.pszLabel, strSub);
            break;
        }
        case EFieldKind::AddressList:
            for (const std::string& strAddress : ParseAddresses(strText))
                out.Line(row.pszLabel, strAddress);
            break;
        case EFieldKind::MsgId: {
            const CMimeMsgId id = ParseMsgId(strText);
            out.Line(row.pszLabel, strText);
            out.Line("    " + strSub + "Local Part = ", id.strLocalPart);
            out.Line("    " + strSub + "Domain = ", id.strDomain);
            break;
        }
        case EFieldKind::ContentType:
            break;
        }
    }
    return strPartName;
}

void ReportEntity(const CMimeEntity& entity, std::string& strReport, int nDepth, int nIndex,
                  const CMimeDecodeTarget* pTarget, bool bMessage)
{
    CReportWriter out(strReport, nDepth);
    if (bMessage)
        out.Line(FormatString("Message Level [%d] Header", nDepth + 1), std::string());
    else
        out.Line(FormatString("Part [%d] Level [%d] Header", nIndex, nDepth), std::string());

    const std::string strPartName = ReportHeader(entity, out);

    if (bMessage)
        out.Line(FormatString("Message Level [%d] Body", nDepth + 1), std::string());
    else
        out.Line(FormatString("Part [%d] Level [%d] Body", nIndex, nDepth), std::string());

    // Beyond the depth bound every entity is a leaf, so that hostile nesting
    // cannot exhaust the stack.
    const bool bMayNest = nDepth < kMaxMimeReportDepth;

    const int nParts = bMayNest ? entity.GetBodyPartCount() : 0;
    if (nParts > 0) {
        for (int i = 1; i <= nParts; ++i) {
            if (bMessage)
                out.Line(FormatString("  Message Level [%d] Part [%d]", nDepth + 1, i), std::string());
            else
                out.Line(FormatString("  Part [%d] ", i), std::string());
            ReportBodyPart(entity.GetBodyPart(i - 1), strReport, nDepth + 1, i, pTarget);
        }
        return;
    }

    if (bMayNest) {
        if (const std::unique_ptr<CMimeMessage> pInner = entity.GetEncapsulatedMessage()) {
            out.Line(bMessage ? "  Message content = Message" : "  Part content = Message ");
            ReportMessage(pInner->Root(), strReport, nDepth + 1, nIndex, pTarget);
            return;
        }
    }

    // A leaf.
    std::string strStorage;
    const std::string_view body = entity.GetBodyView(strStorage);
    out.Indent();
    if (!pTarget) {
        strReport += bMessage ? "  Message content = \n__________\n" : "  Part content = \n__________\n";
        strReport += body;
        strReport += "\n__________\n";
        return;
    }

    const std::string strSafeName = SafePartFileName(strPartName, pTarget->reservedNames);
    const std::string strPath = UniquePartPath(
        *pTarget, strSafeName.empty() ? FormatString("part%d.%d", nDepth, nIndex) : strSafeName, !strSafeName.empty());
    std::string strEncoding;
    EStoreResult result;
    int nErrno = 0;
    if (entity.GetField("Content-Transfer-Encoding", strEncoding)) {
        std::string strDecoded;
        DecodeTransferEncoding(strDecoded, body, strEncoding);
        result = StoreFile(strPath, strDecoded, &nErrno);
    } else {
        result = StoreFile(strPath, body, &nErrno);
    }
    if (result == EStoreResult::Stored) {
        strReport += bMessage ? "  Message content file =" : "  Part content file =";
    } else if (result == EStoreResult::NotOpened) {
        strReport += "  Error opening content file =";
        if (IsNoSpaceError(nErrno))
            NoteWriteError(pTarget->strWriteError, strPath, nErrno);
    } else {
        // Opened but not written whole: the file on disk is cut short.
        strReport += "  Error writing content file =";
        NoteWriteError(pTarget->strWriteError, strPath, nErrno);
    }
    strReport += strPath;
    strReport += '\n';
}

}  // namespace

std::string UniquePartPath(const CMimeDecodeTarget& target, const std::string& strName, bool bKeepExtension)
{
    std::string strPath = target.strDirectory + "/" + strName;
    // A named part keeps its extension: "a.txt" becomes "a_2.txt"; a
    // numbered one takes the count at its end: "part2.1_2".
    const std::size_t nDot = bKeepExtension ? strName.rfind('.') : std::string::npos;
    const bool bSplit = nDot != std::string::npos && nDot > 0;
    std::string strCandidate = strName;
    const auto taken = [&] {
        return target.usedPaths.count(strPath) != 0 ||
               std::find(target.reservedNames.begin(), target.reservedNames.end(), strCandidate) !=
                   target.reservedNames.end();
    };
    if (taken()) {
        int& nNext = target.nextVariant[strName];
        nNext = std::max(nNext, 2);
        do {
            const std::string strSuffix = "_" + std::to_string(nNext++);
            strCandidate = bSplit ? strName.substr(0, nDot) + strSuffix + strName.substr(nDot) : strName + strSuffix;
            strPath = target.strDirectory + "/" + strCandidate;
        } while (taken());
    }
    target.usedPaths.insert(strPath);
    return strPath;
}

void ReportMessage(const CMimeEntity& entity, std::string& strReport, int nDepth, int nIndex,
                   const CMimeDecodeTarget* pTarget)
{
    ReportEntity(entity, strReport, nDepth, nIndex, pTarget, true);
}

void ReportBodyPart(const CMimeEntity& entity, std::string& strReport, int nDepth, int nIndex,
                    const CMimeDecodeTarget* pTarget)
{
    ReportEntity(entity, strReport, nDepth, nIndex, pTarget, false);
}

std::string SafePartFileName(const std::string& strName, const std::vector<std::string>& reservedNames)
{
    const std::size_t nSep = strName.find_last_of("/\\");
    std::string strBase = nSep == std::string::npos ? strName : strName.substr(nSep + 1);
    // A file system takes names of up to 255 bytes; a longer one (with room
    // left for the suffix of a numbered variant) could not be created at all.
    constexpr std::size_t kMaxNameBytes = 240;
    if (strBase.empty() || strBase == "." || strBase == ".." || strBase.size() > kMaxNameBytes ||
        std::find(reservedNames.begin(), reservedNames.end(), strBase) != reservedNames.end())
        return std::string();
    // Control characters (a line feed, an escape sequence, encoded in the
    // parameter) would make a file name that breaks the report's line that
    // names it and that a terminal listing the directory would obey.
    for (char& ch : strBase) {
        const unsigned char uch = static_cast<unsigned char>(ch);
        if (uch < 0x20 || uch == 0x7f)
            ch = '_';
    }
    return strBase;
}
