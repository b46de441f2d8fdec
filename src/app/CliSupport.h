// Pieces shared by the headless subcommands.
#pragma once

#include <QString>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

class QCommandLineOption;
class QCommandLineParser;
class QSocketNotifier;

// While it lives, SIGINT, SIGTERM and SIGHUP (unless SIGHUP was ignored when
// it began) do not kill the process: each becomes a
// call of the handler on the event loop, so that a command can end its
// session cleanly and still save. The signal handler only writes to a pipe,
// the one thing it may safely do; the pipe wakes the event loop. A connect
// that waits for a server meanwhile gives up at once. Memory that runs out
// (NoteOutOfMemory) calls the handler the same way.
class CSignalWatch {
public:
    explicit CSignalWatch(std::function<void()> onSignal);
    ~CSignalWatch();
    CSignalWatch(const CSignalWatch&) = delete;
    CSignalWatch& operator=(const CSignalWatch&) = delete;
    // False when the pipe could not be made (the signals then keep their
    // default action).
    bool IsValid() const { return m_pNotifier != nullptr; }

private:
    std::function<void()> m_onSignal;
    std::unique_ptr<QSocketNotifier> m_pNotifier;
    bool m_bHangupWatched = false;  // SIGHUP was not ignored and has the handler
};

// Whether SIGINT, SIGTERM or SIGHUP came while the current (or last) watch ran, or
// the reader of standard output went away.
bool TerminationSignalSeen();

// The reader of standard output has gone (a pipe closed at its other end):
// a command that runs a session ends it as for a termination signal, still
// closing its connections and saving, rather than running on for nobody or
// being killed half-way.
void NoteOutputReaderGone();

// While it lives, a write to a pipe whose reader has gone fails (EPIPE)
// instead of killing the process with SIGPIPE, so that a session command
// still ends cleanly and saves.
class CBrokenPipeGuard {
public:
    CBrokenPipeGuard();
    ~CBrokenPipeGuard();
    CBrokenPipeGuard(const CBrokenPipeGuard&) = delete;
    CBrokenPipeGuard& operator=(const CBrokenPipeGuard&) = delete;

private:
    void (*m_pfnPrevious)(int);
};

// A failure to write standard output that stdio does not know of (event
// lines go out through a writer of their own). The command then fails with
// the reason, as for any output that was not written.
void NoteStandardOutputFailure(const std::string& strReason);
// The reason noted, or empty.
std::string StandardOutputFailure();

// Writes bytes to standard output after what stdio holds for it. An output
// that another process made non-blocking (a shared pipe) is waited for when
// full, as a blocking one would be, where stdio would drop the rest. False
// when the write failed; the reason is noted for the command's end.
bool WriteStandardOutput(std::string_view data);

// A wrong command line: the error (after the command's name, unless it names
// it already), then the command's synopsis (its usage text up to the first
// blank line) and how to see the rest, on standard error. Returns the exit
// status for it.
int UsageError(const QString& strError, const char* pszUsage);

// Whether a session could be saved at strPath: the path names no directory,
// and the directory that will hold the file exists and may be written (or
// the device or pipe it names may be written). A command that saves when its
// session ends checks this first, so that a long session is not lost to a
// wrong path found only at its end. False with the reason. Only what is
// certain is refused: a symbolic link is left for the save to follow.
bool CheckSaveTarget(const std::string& strPath, std::string& strReason);

// CheckSaveTarget for the value of a --save option, when it is given; says
// why not, naming the command.
bool SaveTargetUsable(const QCommandLineParser& parser, const QCommandLineOption& save, const char* pszCommand);

// Whether strOutput names the very file strInput names (the same path, a
// link to it, or another hard link): a command that writes its output there
// would overwrite the input it was asked to read. "-" stands for standard
// input (strInput) or output (strOutput). False when either does not exist.
bool IsSameFile(const std::string& strInput, const std::string& strOutput);

// The usage error (naming pszCommand) of a command given "-" for both its
// input (standard input) and its output (standard output): a script that
// means one file for both has gone wrong. Empty when it is not so.
QString StandardStreamsTwiceError(const QString& strInput, const QString& strOutput, const char* pszCommand);

// The usage error of --save - in a command that prints its events on
// standard output: the session file would be mixed into them. Empty when
// --save names no "-".
QString SaveToStandardOutputError(const QCommandLineParser& parser, const QCommandLineOption& save,
                                  const char* pszCommand);

// "HOST:PORT" into its two texts; false when either is missing.
bool SplitHostPort(const std::string& strText, std::string& strHost, std::string& strPort);
// The server of --connect HOST:PORT into its two texts. Returns the usage
// error (naming pszCommand) when the text is no HOST:PORT or its HOST is
// longer than a session keeps (CONNECT_HOST_MAX bytes): cutting the host
// short would try a host that was not asked for, or keep half a character.
// An empty text when both are fine.
QString ConnectTargetError(const QString& strText, const char* pszCommand, std::string& strHost,
                           std::string& strPort);

// The bytes of a command-line argument (or of a file name in a message) as
// text, without loss: valid UTF-8 is decoded, and every other byte (a file
// name in Latin-1, say) is kept as the lone surrogate U+DC80 + (byte - 0x80),
// which no decoded text holds. Qt's own decoding would turn such a byte into
// U+FFFD, so that a file name with one could be neither opened nor created.
QString ArgumentText(std::string_view bytes);

// A text made by ArgumentText (or any other text) as the program's 8-bit
// text: the kept bytes as they were, the rest as UTF-8.
std::string LocalText(const QString& strText);

// The bytes of a file name (or of a message naming one) for the eye, not to
// be turned back into bytes: valid UTF-8 is decoded, and every other byte is
// read as Latin-1, the likeliest 8-bit encoding of such a name (caf\xE9.mwx
// shows as café.mwx), where Qt's decoding would show U+FFFD in its place.
QString DisplayText(std::string_view bytes);

// The number of bytes that make the first nChars characters of local text,
// as DisplayText reads them (all of it when it has fewer).
std::size_t LocalTextPrefixBytes(std::string_view bytes, std::size_t nChars);
