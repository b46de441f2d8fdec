// midwire mime analyse|decode and midwire codec: the MIME report, the
// decoding into a directory and the editor's coders without the desktop.

#include <QCommandLineParser>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "app/Cli.h"
#include "app/CliSupport.h"
#include "app/resource.h"
#include "editor/Codecs.h"
#include "mime/MimeCommands.h"
#include "mime/MimeDecode.h"
#include "mime/MimeFiles.h"
#include "session/FileInput.h"

namespace {

const char* const kMimeUsage =
    "Usage: midwire mime analyse FILE\n"
    "       midwire mime decode FILE DIR\n\n"
    "  analyse  print the MIME analysis report of FILE (part contents inline,\n"
    "           as they stand in the message)\n"
    "  decode   create the directory DIR and fill it with a copy of FILE, its\n"
    "           report and one decoded file per leaf part; the copy and the\n"
    "           report (with the added extension .MIME) are named after DIR's\n"
    "           last component\n"
    "  -h, --help  show this help\n\n"
    "FILE - reads the message from standard input (when no file is named -).\n"
    "DIR may not be '-': the parts are files, which standard output cannot take\n"
    "(./- names a directory called '-').\n";

const char* const kCodecUsage =
    "Usage: midwire codec base64-encode|base64-decode|qp-encode|qp-decode\n\n"
    "Reads standard input and writes it to standard output encoded or decoded,\n"
    "byte for byte as the editor's Encode/Decode Base64 and Encode/Decode\n"
    "Quoted Printable commands turn bytes into bytes.\n\n"
    "  -h, --help  show this help\n";

bool ReadStandardInput(std::string& strData)
{
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n == 0)
            return true;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        strData.append(buf, static_cast<std::size_t>(n));
    }
}

// Parses the common form: a verb and its operands, plus --help. Returns -1
// when the caller goes on, else the exit status.
int ParseArguments(const QStringList& args, const char* pszUsage, QStringList& positional)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(pszUsage));
    const QCommandLineOption help({"h", "help"}, "Show this help.");
    parser.addOption(help);
    if (!parser.parse(args)) {
        return UsageError(parser.errorText(), pszUsage);
    }
    if (parser.isSet(help)) {
        std::fputs(pszUsage, stdout);
        return EXIT_OK;
    }
    positional = parser.positionalArguments();
    return -1;
}

}  // namespace

int CmdMime(const QStringList& args)
{
    QStringList pos;
    if (const int nStatus = ParseArguments(args, kMimeUsage, pos); nStatus >= 0)
        return nStatus;
    const QString verb = pos.value(0);
    const int nWanted = verb == "analyse" ? 2 : verb == "decode" ? 3 : -1;
    if (nWanted < 0 || pos.size() != nWanted) {
        return UsageError(nWanted < 0 ? QStringLiteral("mime: expected analyse or decode")
                                      : QStringLiteral("mime %1: wrong number of arguments").arg(verb),
                          kMimeUsage);
    }
    if (verb == "decode" && IsStandardStreamName(LocalText(pos[2])))
        return UsageError(QStringLiteral("mime decode: DIR '-' would be standard output, which cannot hold a "
                                         "directory; name a directory (./- for one called '-')"),
                          kMimeUsage);
    const std::string strSource = LocalText(pos[1]);
    // "-" is the message piped in on standard input, as a pipeline writes
    // it; a file of that name, where there is one, is still read as a file.
    struct stat st {};
    const bool bStandardInput = strSource == "-" && ::lstat("-", &st) != 0 && errno == ENOENT;
    std::string strData, strCause;
    // A standard input that the caller closed is held open for writing only
    // (so that nothing else takes its number); opened anew by name it would
    // read as an empty message, and an analysis of nothing pass for success.
    const int nInputFlags = bStandardInput ? ::fcntl(STDIN_FILENO, F_GETFL) : 0;
    if (bStandardInput && (nInputFlags < 0 || (nInputFlags & O_ACCMODE) == O_WRONLY)) {
        CliError(ArgumentText(FormatMessageText(IDS_OPEN_FILE_FAILED, strSource, std::strerror(EBADF))));
        return EXIT_FAILED;
    }
    // (The file layer takes a bare "-" for standard input: the file of that
    // name is reached by its path.)
    const std::string strLoad =
        bStandardInput ? std::string("/dev/stdin") : IsStandardStreamName(strSource) ? "./" + strSource : strSource;
    if (!LoadFile(strLoad, strData, strCause)) {
        CliError(ArgumentText(FormatMessageText(IDS_OPEN_FILE_FAILED, strSource, strCause)));
        return EXIT_FAILED;
    }
    if (verb == "analyse")
        return WriteStandardOutput(AnalyseMessage(strData)) ? EXIT_OK : EXIT_FAILED;

    const std::string strDirectory = LocalText(pos[2]);
    std::string strWriteError;
    if (!DecodeToNewDirectory(strData, strDirectory, strWriteError)) {
        CliError(ArgumentText(FormatMessageText(IDS_MKDIR_FAILED, strDirectory)));
        return EXIT_FAILED;
    }
    if (!strWriteError.empty()) {
        CliError(ArgumentText(FormatMessageText(IDS_WRITE_FILE_FAILED, strWriteError)));
        return EXIT_FAILED;
    }
    return EXIT_OK;
}

int CmdCodec(const QStringList& args)
{
    QStringList pos;
    if (const int nStatus = ParseArguments(args, kCodecUsage, pos); nStatus >= 0)
        return nStatus;
    const QString verb = pos.value(0);
    std::string (*pfnCoder)(std::string_view) = nullptr;
    if (verb == "base64-encode")
        pfnCoder = Base64Encode;
    else if (verb == "base64-decode")
        pfnCoder = Base64Decode;
    else if (verb == "qp-encode")
        pfnCoder = QuotedPrintableEncode;
    else if (verb == "qp-decode")
        pfnCoder = QuotedPrintableDecode;
    if (!pfnCoder || pos.size() != 1) {
        return UsageError(pfnCoder ? QStringLiteral("codec %1: takes no operand").arg(verb)
                                   : QStringLiteral("codec: expected base64-encode, base64-decode, qp-encode or qp-decode"),
                          kCodecUsage);
    }
    std::string strInput;
    if (!ReadStandardInput(strInput)) {
        CliError(QStringLiteral("codec: cannot read standard input"));
        return EXIT_FAILED;
    }
    return WriteStandardOutput(pfnCoder(strInput)) ? EXIT_OK : EXIT_FAILED;
}
