#include "app/CliSupport.h"

#include "app/Cli.h"
#include "export/ExportOutput.h"
#include "net/Sock.h"
#include "relay/RelayDialogs.h"
#include "session/FileInput.h"
#include "session/Memory.h"

#include <QCommandLineParser>
#include <QSocketNotifier>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The self-pipe that carries signals to the event loop. It stays open for
// the whole program, so that a handler running on any thread while a watch
// ends never writes to a descriptor number that has been closed and reused.
class CSignalPipe {
public:
    CSignalPipe()
    {
        if (::pipe2(m_fds, O_CLOEXEC | O_NONBLOCK) != 0)
            m_fds[0] = m_fds[1] = -1;
    }
    ~CSignalPipe()
    {
        for (const int fd : m_fds)
            if (fd >= 0)
                ::close(fd);
    }
    CSignalPipe(const CSignalPipe&) = delete;
    CSignalPipe& operator=(const CSignalPipe&) = delete;
    int ReadFd() const { return m_fds[0]; }
    int WriteFd() const { return m_fds[1]; }
    void Drain() const
    {
        char buf[16];
        while (::read(m_fds[0], buf, sizeof buf) > 0) {
        }
    }

private:
    int m_fds[2];
};

CSignalPipe& SignalPipe()
{
    static CSignalPipe pipe;
    return pipe;
}

// The write end while a watch runs, -1 otherwise; whether a signal came;
// and whether the reader of standard output has gone.
std::atomic<int> g_nSignalWriteFd{-1};
std::atomic<bool> g_bSignalSeen{false};
std::atomic<bool> g_bOutputReaderGone{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

// Wakes the watch's event loop, if a watch runs.
void WakeWatch()
{
    const int fd = g_nSignalWriteFd.load();
    if (fd < 0)
        return;
    // The interrupted code may be about to read errno; a full pipe must not
    // change it.
    const int nSavedErrno = errno;
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(fd, &c, 1);
    errno = nSavedErrno;
}

void OnSignal(int)
{
    g_bSignalSeen.store(true);
    WakeWatch();
}

std::mutex g_outputFailureLock;
std::string g_strOutputFailure;  // under g_outputFailureLock

}  // namespace

bool TerminationSignalSeen()
{
    return g_bSignalSeen.load() || g_bOutputReaderGone.load();
}

void NoteOutputReaderGone()
{
    g_bOutputReaderGone.store(true);
    WakeWatch();
}

CBrokenPipeGuard::CBrokenPipeGuard() : m_pfnPrevious(::signal(SIGPIPE, SIG_IGN)) {}

CBrokenPipeGuard::~CBrokenPipeGuard()
{
    if (m_pfnPrevious != SIG_ERR)
        ::signal(SIGPIPE, m_pfnPrevious);
}

void NoteStandardOutputFailure(const std::string& strReason)
{
    std::lock_guard<std::mutex> lock(g_outputFailureLock);
    if (g_strOutputFailure.empty())
        g_strOutputFailure = strReason;
}

std::string StandardOutputFailure()
{
    std::lock_guard<std::mutex> lock(g_outputFailureLock);
    return g_strOutputFailure;
}

CSignalWatch::CSignalWatch(std::function<void()> onSignal) : m_onSignal(std::move(onSignal))
{
    const CSignalPipe& pipe = SignalPipe();
    if (pipe.ReadFd() < 0 || g_nSignalWriteFd.load() >= 0)
        return;  // no pipe, or another watch runs: one watch at a time
    pipe.Drain();  // what a signal after an earlier watch left
    g_bSignalSeen.store(false);
    g_nSignalWriteFd.store(pipe.WriteFd());
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    // A hang-up (the terminal closed, the login dropped) ends the command
    // like SIGTERM, so the session is still saved. A command started with
    // SIGHUP ignored (nohup) was asked to outlive its terminal: it stays so.
    struct sigaction previousHangup {};
    if (::sigaction(SIGHUP, nullptr, &previousHangup) == 0 && previousHangup.sa_handler != SIG_IGN) {
        m_bHangupWatched = ::sigaction(SIGHUP, &action, nullptr) == 0;
    }
    m_pNotifier = std::make_unique<QSocketNotifier>(pipe.ReadFd(), QSocketNotifier::Read);
    QObject::connect(m_pNotifier.get(), &QSocketNotifier::activated, [this] {
        SignalPipe().Drain();
        if (m_onSignal)
            m_onSignal();
    });
    // A connect to a server that does not answer gives up on a signal.
    SockSetConnectAbandonCheck(TerminationSignalSeen);
    // Memory that runs out ends the session as a signal does: what could not
    // be held is lost already, and the rest is closed and saved while that
    // can still be done.
    SetOutOfMemoryHandler(WakeWatch);
    if (OutOfMemorySeen())
        WakeWatch();
    // An output whose reader went before the watch began ends the session
    // as soon as the event loop runs.
    if (g_bOutputReaderGone.load())
        WakeWatch();
}

CSignalWatch::~CSignalWatch()
{
    if (!m_pNotifier)
        return;
    m_pNotifier.reset();
    g_nSignalWriteFd.store(-1);
    SockSetConnectAbandonCheck(nullptr);
    SetOutOfMemoryHandler(nullptr);
    // Once a signal has asked the program to end, a repeat of it (tools such
    // as timeout send one to the process and one to its group) must not kill
    // the clean ending that is under way: the handler stays and does nothing.
    if (!g_bSignalSeen.load()) {
        ::signal(SIGINT, SIG_DFL);
        ::signal(SIGTERM, SIG_DFL);
        if (m_bHangupWatched)
            ::signal(SIGHUP, SIG_DFL);
    }
}

bool WriteStandardOutput(std::string_view data)
{
    if (std::fflush(stdout) != 0) {
        NoteStandardOutputFailure(std::strerror(errno));
        return false;
    }
    if (const int nError = WriteAllWaiting(STDOUT_FILENO, data.data(), data.size()); nError != 0) {
        NoteStandardOutputFailure(std::strerror(nError));
        return false;
    }
    return true;
}

namespace {

// "relay" of "Usage: midwire relay [--listen PORT] ...".
QString CommandOfUsage(const char* pszUsage)
{
    constexpr std::string_view kLead = "Usage: midwire ";
    const std::string_view usage(pszUsage);
    if (usage.substr(0, kLead.size()) != kLead)
        return {};
    const std::string_view rest = usage.substr(kLead.size());
    return QString::fromLatin1(rest.substr(0, rest.find_first_of(" \n")));
}

}  // namespace

int UsageError(const QString& strError, const char* pszUsage)
{
    const QString strCommand = CommandOfUsage(pszUsage);
    const bool bNamed = strCommand.isEmpty() || strError.startsWith(strCommand + QLatin1Char(':')) ||
                        strError.startsWith(strCommand + QLatin1Char(' '));
    CliError(bNamed ? strError : strCommand + QStringLiteral(": ") + strError);
    // The whole option list would bury the error; the synopsis and the way to
    // the rest are what a mistyped command line needs.
    const char* pszBlank = std::strstr(pszUsage, "\n\n");
    const std::size_t nSynopsis = pszBlank ? static_cast<std::size_t>(pszBlank - pszUsage) + 1 : std::strlen(pszUsage);
    std::fwrite(pszUsage, 1, nSynopsis, stderr);
    std::fprintf(stderr, "Try 'midwire %s--help' for more information.\n",
                 strCommand.isEmpty() ? "" : (strCommand + QLatin1Char(' ')).toLocal8Bit().constData());
    return EXIT_USAGE;
}

bool CheckSaveTarget(const std::string& strPath, std::string& strReason)
{
    auto fail = [&strReason](int nError) {
        strReason = std::strerror(nError);
        return false;
    };
    if (strPath.empty())
        return fail(ENOENT);
    struct stat st {};
    bool bWritableFile = false;
    if (::lstat(strPath.c_str(), &st) == 0) {
        if (S_ISLNK(st.st_mode))
            return true;
        if (S_ISDIR(st.st_mode))
            return fail(EISDIR);
        if (!S_ISREG(st.st_mode))  // written in place
            return ::access(strPath.c_str(), W_OK) == 0 || fail(errno);
        bWritableFile = ::access(strPath.c_str(), W_OK) == 0;
    }
    // The new content is written beside the target and renamed over it.
    const std::size_t nSlash = strPath.rfind('/');
    const std::string strDirectory =
        nSlash == std::string::npos ? std::string(".") : nSlash == 0 ? std::string("/") : strPath.substr(0, nSlash);
    if (::stat(strDirectory.c_str(), &st) != 0)
        return fail(errno);
    if (!S_ISDIR(st.st_mode))
        return fail(ENOTDIR);
    if (::access(strDirectory.c_str(), W_OK | X_OK) == 0)
        return true;
    // A file the user may write in a directory the user may not is
    // written in place.
    const int nError = errno;
    return (bWritableFile && (nError == EACCES || nError == EPERM || nError == EROFS)) || fail(nError);
}

bool SaveTargetUsable(const QCommandLineParser& parser, const QCommandLineOption& save, const char* pszCommand)
{
    if (!parser.isSet(save))
        return true;
    const QString strPath = parser.value(save);
    std::string strReason;
    if (CheckSaveTarget(LocalText(strPath), strReason))
        return true;
    CliError(QStringLiteral("%1: cannot save the session to %2: %3")
                 .arg(QString::fromLatin1(pszCommand), strPath, ArgumentText(strReason)));
    return false;
}

bool IsSameFile(const std::string& strInput, const std::string& strOutput)
{
    // "-" is the file that standard input or output leads to.
    struct stat stIn {}, stOut {};
    const bool bIn = IsStandardStreamName(strInput) ? ::fstat(STDIN_FILENO, &stIn) == 0
                                                    : ::stat(strInput.c_str(), &stIn) == 0;
    const bool bOut = IsStandardStreamName(strOutput) ? ::fstat(STDOUT_FILENO, &stOut) == 0
                                                      : ::stat(strOutput.c_str(), &stOut) == 0;
    return bIn && bOut && stIn.st_dev == stOut.st_dev && stIn.st_ino == stOut.st_ino;
}

QString StandardStreamsTwiceError(const QString& strInput, const QString& strOutput, const char* pszCommand)
{
    if (!IsStandardStreamName(LocalText(strInput)) || !IsStandardStreamName(LocalText(strOutput)))
        return QString();
    return QStringLiteral("%1: '-' is given as both input and output; name a file for one of them")
        .arg(QString::fromLatin1(pszCommand));
}

QString SaveToStandardOutputError(const QCommandLineParser& parser, const QCommandLineOption& save,
                                  const char* pszCommand)
{
    if (!parser.isSet(save) || !IsStandardStreamName(LocalText(parser.value(save))))
        return QString();
    return QStringLiteral("%1: --save - cannot go to standard output, which carries the event lines; "
                          "name a file (./- for a file named '-')")
        .arg(QString::fromLatin1(pszCommand));
}

bool SplitHostPort(const std::string& strText, std::string& strHost, std::string& strPort)
{
    const std::size_t nColon = strText.rfind(':');
    if (nColon == std::string::npos || nColon == 0 || nColon + 1 == strText.size())
        return false;
    strHost = strText.substr(0, nColon);
    strPort = strText.substr(nColon + 1);
    return true;
}

QString ConnectTargetError(const QString& strText, const char* pszCommand, std::string& strHost,
                           std::string& strPort)
{
    const QString strCommand = QString::fromLatin1(pszCommand);
    if (!SplitHostPort(LocalText(strText), strHost, strPort))
        return strCommand + QStringLiteral(": --connect needs HOST:PORT");
    if (strHost.size() > static_cast<std::size_t>(CONNECT_HOST_MAX))
        return strCommand + QStringLiteral(": --connect HOST is longer than %1 bytes").arg(CONNECT_HOST_MAX);
    return QString();
}

namespace {

constexpr char16_t kFirstKeptByte = 0xDC80;  // the surrogate that keeps the byte 0x80

// The length of the valid UTF-8 sequence at the start of bytes (1 to 4), or
// 0 when it does not start with one: overlong forms, surrogates and values
// above U+10FFFF are not valid.
std::size_t Utf8SequenceLength(std::string_view bytes, char32_t& nCode)
{
    const auto b0 = static_cast<unsigned char>(bytes[0]);
    std::size_t n = 0;
    char32_t nMin = 0;
    if (b0 < 0x80) {
        nCode = b0;
        return 1;
    }
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        n = 2;
        nCode = b0 & 0x1F;
        nMin = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        n = 3;
        nCode = b0 & 0x0F;
        nMin = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        n = 4;
        nCode = b0 & 0x07;
        nMin = 0x10000;
    } else {
        return 0;
    }
    if (bytes.size() < n)
        return 0;
    for (std::size_t i = 1; i < n; ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if ((b & 0xC0) != 0x80)
            return 0;
        nCode = (nCode << 6) | (b & 0x3F);
    }
    if (nCode < nMin || nCode > 0x10FFFF || (nCode >= 0xD800 && nCode <= 0xDFFF))
        return 0;
    return n;
}

// Decodes valid UTF-8, and gives every other byte the character that
// fnOther makes of it.
template <typename Fn>
QString DecodeUtf8(std::string_view bytes, Fn fnOther)
{
    QString strText;
    strText.reserve(static_cast<qsizetype>(bytes.size()));
    while (!bytes.empty()) {
        char32_t nCode = 0;
        const std::size_t n = Utf8SequenceLength(bytes, nCode);
        if (n == 0) {
            strText += QChar(fnOther(static_cast<unsigned char>(bytes[0])));
            bytes.remove_prefix(1);
            continue;
        }
        strText += QString::fromUcs4(&nCode, 1);
        bytes.remove_prefix(n);
    }
    return strText;
}

}  // namespace

QString ArgumentText(std::string_view bytes)
{
    return DecodeUtf8(bytes, [](unsigned char b) { return static_cast<char16_t>(kFirstKeptByte + (b - 0x80)); });
}

std::string LocalText(const QString& strText)
{
    std::string strOut;
    strOut.reserve(static_cast<std::size_t>(strText.size()));
    qsizetype nRunStart = 0;
    auto flushRun = [&](qsizetype nEnd) {
        if (nEnd > nRunStart)
            strOut += QStringView(strText).mid(nRunStart, nEnd - nRunStart).toUtf8().toStdString();
    };
    for (qsizetype i = 0; i < strText.size(); ++i) {
        const char16_t c = strText[i].unicode();
        // A lone low surrogate in the kept range (not the second half of a
        // pair) stands for one byte.
        const bool bPaired = i > 0 && QChar::isHighSurrogate(strText[i - 1].unicode());
        if (c >= kFirstKeptByte && c <= 0xDCFF && !bPaired) {
            flushRun(i);
            strOut += static_cast<char>(0x80 + (c - kFirstKeptByte));
            nRunStart = i + 1;
        }
    }
    flushRun(strText.size());
    return strOut;
}

std::size_t LocalTextPrefixBytes(std::string_view bytes, std::size_t nChars)
{
    std::size_t nBytes = 0;
    for (; nChars > 0 && nBytes < bytes.size(); --nChars) {
        char32_t nCode = 0;
        nBytes += std::max<std::size_t>(Utf8SequenceLength(bytes.substr(nBytes), nCode), 1);
    }
    return nBytes;
}

QString DisplayText(std::string_view bytes)
{
    return DecodeUtf8(bytes, [](unsigned char b) { return static_cast<char16_t>(b); });
}
