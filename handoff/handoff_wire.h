#pragma once
// The hand-off wire: how a second copy of the program and the Simple MAPI
// library give work to the running copy. The running copy listens on a
// Unix-domain socket named "MAILWndClass" in the user-only named-object folder;
// a sender connects, writes one request (a kind and the payload text) and
// waits for the one reply, which comes after the handling. docs/handoff.md is
// the contract for other programs.
//
// No Qt here: the MAPI library compiles this file into itself.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nuvex::handoff {

inline constexpr std::string_view kSocketName = "MAILWndClass";

// Request: "NVXH", message (u32 little-endian), payload length (u32 LE), payload.
// Reply: "NVXR", result (i32 LE).
inline constexpr std::size_t kHeaderBytes = 12;
inline constexpr std::size_t kReplyBytes = 8;
// Larger payloads are refused before a byte of them is read.
inline constexpr std::size_t kMaxPayloadBytes = std::size_t{1} << 20;
inline constexpr std::size_t kMaxFiles = 1000;
// A payload has at most this many lines: the files and a few fixed lines.
inline constexpr std::size_t kMaxLines = kMaxFiles + 8;

// The messages: the hand-off kinds 0-3 and the readiness ping.
enum class Kind : std::uint32_t { SendTo = 0, ReadMail = 1, MailTo = 2, MapiSend = 3 };
inline constexpr std::uint32_t kMailReady = 0x100;

// Line 0 of a mailto hand-off started by our desktop entry (the first word
// "/mailto:ask"). Links and xdg-email both arrive that way: files named in
// such a URL may be offered to the user in a confirmation window, never sent
// without it. Without this word, files named in a mailto URL are ignored.
inline constexpr std::string_view kMailtoAsk = "ask";

// The reply to a hand-off: handled, or dropped (no account, too few lines).
inline constexpr std::int32_t kHandled = 1;
inline constexpr std::int32_t kDropped = 0;

// NamedObjectsDir() + "/MAILWndClass"; empty when the folder is not usable.
std::string SocketPath();

// --- Framing -----------------------------------------------------------------

std::string EncodeRequest(std::uint32_t message, std::string_view payload);

struct RequestHeader {
    std::uint32_t message = 0;
    std::uint32_t length = 0;
};
enum class HeaderCheck { Ok, BadMagic, BadMessage, TooLarge };
// header holds kHeaderBytes bytes.
HeaderCheck DecodeRequestHeader(std::string_view header, RequestHeader& out);

std::string EncodeReply(std::int32_t result);
// nullopt unless reply is kReplyBytes bytes with the right magic.
std::optional<std::int32_t> DecodeReply(std::string_view reply);

// --- Payload text ------------------------------------------------------------

// Each line followed by CR LF.
std::string JoinLines(const std::vector<std::string>& lines);
// Lines end at CR LF, a lone LF or a lone CR; a last line without an end
// still counts. nullopt for a payload no sender makes: a NUL byte, more than
// kMaxLines lines, more than kMaxPayloadBytes bytes.
std::optional<std::vector<std::string>> SplitPayload(std::string_view payload);

// The lines a second copy sends for its command-line words: line 0 is the
// first word after its first ":" (empty without one), then the other words.
std::vector<std::string> CommandLineLines(const std::vector<std::string>& words);

// Whether text can travel as one payload line: no CR, no LF. A line break in
// a path would make two paths of one.
bool IsOneLine(std::string_view text);
// path made absolute against the working folder, lexically (links and ".."
// are kept, so the name the user gave is the name sent); an absolute path and
// the empty text stay as they are. nullopt when the working folder is unknown.
std::optional<std::string> AbsolutePath(const std::string& path);

// A file a mailto hand-off asks to attach, as the user is shown it before
// anything of it is read.
struct OfferedFile {
    std::string path; // the real path, links resolved: the file that would be read
    std::string name;
    std::string folder;
    std::uint64_t size = 0;
};

// A body or subject on one line: LF becomes TAB "|" TAB, CR is dropped.
std::string OneLine(std::string_view text);
// The Simple MAPI send payload: NOTE, SUBJECT, FILE0.., ID.
std::string MapiSendPayload(std::string_view note, std::string_view subject,
                            const std::vector<std::string>& files, std::uint32_t id);

// The value of the first "name=value" line whose name equals name (ASCII case
// ignored); empty when there is none.
std::string ValueOf(const std::vector<std::string>& lines, std::string_view name);

// A mailto hand-off taken apart: the address up to "?", the values of the
// "&"-separated pairs after it (the first subject and body, every attach),
// all still URL-encoded, and the mailto text (line 1 and the further words
// joined by single spaces).
struct MailtoParts {
    std::string address;
    std::string subject;
    std::string body;
    std::string text;
    std::vector<std::string> attachments; // at most kMaxFiles
};
// lines as received (line 0 empty, line 1 the URL); nullopt with fewer than two.
std::optional<MailtoParts> ParseMailto(const std::vector<std::string>& lines);

// The files a Simple MAPI send names: "FILE" + n for n from 0 to the line
// count - 1, non-empty values only, in that order.
std::vector<std::string> MapiFiles(const std::vector<std::string>& lines);

// --- Receiving side ----------------------------------------------------------

// A listening socket at path (non-blocking, close-on-exec), the file made
// 0600. A stale socket nobody answers on is replaced; -1 when another
// receiver is there or the socket cannot be made (logged).
int Listen(const std::string& path);
// The uid of the process at the other end of a connected socket; nullopt
// when the kernel does not say.
std::optional<unsigned> PeerUid(int fd);

// --- Sending side ------------------------------------------------------------

// True when a receiver accepts connections on path now.
bool ReceiverPresent(const std::string& path);

// One request, one reply: connects, writes, waits up to timeoutMs for the
// reply. nullopt when nothing listens, the peer closes, or time runs out.
std::optional<std::int32_t> Call(const std::string& path, std::uint32_t message, std::string_view payload,
                                 int timeoutMs);

// The readiness ping; a negative answer means not ready.
inline std::optional<std::int32_t> Ping(const std::string& path, int timeoutMs) {
    return Call(path, kMailReady, {}, timeoutMs);
}

// "brannock" in folder when it is an executable file there, else the first
// one on $PATH; empty when there is none.
std::string FindHostProgram(const std::string& folder);
// The folder of the file that holds this code (program or library).
std::string OwnFolder();

// Starts program with args, detached (own session, stdin on /dev/null, no
// zombie left behind); false when it could not be started.
bool StartDetached(const std::string& program, const std::vector<std::string>& args);

// Polls for the receiver: up to polls times, wait intervalMs and look again.
// True as soon as it is there.
bool WaitForReceiver(const std::string& path, int polls, int intervalMs);

// The timings of a forward. Tests shorten them through $NUVEX_HANDOFF_TIMING
// ("polls,intervalMs,settleMs"); nothing else reads that variable.
struct ForwardTiming {
    int polls = 51;
    int intervalMs = 100;
    int settleMs = 2000; // after a started copy appeared, before it gets work
};
ForwardTiming TimingFromEnvironment();

} // namespace nuvex::handoff
