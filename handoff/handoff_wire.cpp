#include "handoff/handoff_wire.h"

#include "lib/log.h"
#include "lib/named_objects.h"
#include "lib/text.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace nuvex::handoff {

namespace {

constexpr char kRequestMagic[4] = {'N', 'V', 'X', 'H'};
constexpr char kReplyMagic[4] = {'N', 'V', 'X', 'R'};

void PutU32(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    }
}

std::uint32_t GetU32(std::string_view in, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) {
        v = (v << 8) | static_cast<unsigned char>(in[at + static_cast<std::size_t>(i)]);
    }
    return v;
}

// Fills addr for path. A path longer than sun_path goes through the folder's
// descriptor (/proc/self/fd/N/name), which the kernel resolves as a real path;
// dirFd then holds that descriptor for the caller to close after the call.
bool MakeAddress(const std::string& path, sockaddr_un& addr, int& dirFd) {
    dirFd = -1;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::string target = path;
    if (target.size() >= sizeof addr.sun_path) {
        const std::size_t slash = path.rfind('/');
        if (slash == std::string::npos) {
            return false;
        }
        const std::string folder = path.substr(0, slash);
        dirFd = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (dirFd < 0) {
            return false;
        }
        target = "/proc/self/fd/" + std::to_string(dirFd) + path.substr(slash);
        if (target.size() >= sizeof addr.sun_path) {
            ::close(dirFd);
            dirFd = -1;
            return false;
        }
    }
    std::memcpy(addr.sun_path, target.data(), target.size());
    return true;
}

int ConnectTo(const std::string& path) {
    if (path.empty()) {
        return -1;
    }
    sockaddr_un addr{};
    int dirFd = -1;
    if (!MakeAddress(path, addr, dirFd)) {
        return -1;
    }
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        fd = -1;
    }
    if (dirFd >= 0) {
        ::close(dirFd);
    }
    return fd;
}

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool WaitFd(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, RemainingMs(deadline));
        if (n > 0) {
            return true;
        }
        if (n == 0 || errno != EINTR) {
            return false;
        }
    }
}

bool WriteAll(int fd, std::string_view data, Clock::time_point deadline) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && WaitFd(fd, POLLOUT, deadline)) {
            continue;
        }
        return false;
    }
    return true;
}

bool ReadExactly(int fd, char* out, std::size_t size, Clock::time_point deadline) {
    std::size_t done = 0;
    while (done < size) {
        if (!WaitFd(fd, POLLIN, deadline)) {
            return false;
        }
        const ssize_t n = ::recv(fd, out + done, size - done, MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
            return false;
        }
    }
    return true;
}

bool IsExecutableFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

} // namespace

std::string SocketPath() {
    const std::string dir = NamedObjectsDir();
    return dir.empty() ? std::string() : dir + "/" + std::string(kSocketName);
}

std::string EncodeRequest(std::uint32_t message, std::string_view payload) {
    std::string out(kRequestMagic, sizeof kRequestMagic);
    PutU32(out, message);
    PutU32(out, static_cast<std::uint32_t>(payload.size()));
    out.append(payload);
    return out;
}

HeaderCheck DecodeRequestHeader(std::string_view header, RequestHeader& out) {
    if (header.size() < kHeaderBytes ||
        std::memcmp(header.data(), kRequestMagic, sizeof kRequestMagic) != 0) {
        return HeaderCheck::BadMagic;
    }
    out.message = GetU32(header, 4);
    out.length = GetU32(header, 8);
    if (out.message > static_cast<std::uint32_t>(Kind::MapiSend) && out.message != kMailReady) {
        return HeaderCheck::BadMessage;
    }
    if (out.length > kMaxPayloadBytes || (out.message == kMailReady && out.length != 0)) {
        return HeaderCheck::TooLarge;
    }
    return HeaderCheck::Ok;
}

std::string EncodeReply(std::int32_t result) {
    std::string out(kReplyMagic, sizeof kReplyMagic);
    PutU32(out, static_cast<std::uint32_t>(result));
    return out;
}

std::optional<std::int32_t> DecodeReply(std::string_view reply) {
    if (reply.size() != kReplyBytes || std::memcmp(reply.data(), kReplyMagic, sizeof kReplyMagic) != 0) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(GetU32(reply, 4));
}

std::string JoinLines(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& line : lines) {
        out += line;
        out += "\r\n";
    }
    return out;
}

std::optional<std::vector<std::string>> SplitPayload(std::string_view payload) {
    if (payload.size() > kMaxPayloadBytes || payload.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < payload.size()) {
        const std::size_t end = payload.find_first_of("\r\n", start);
        if (lines.size() == kMaxLines) {
            return std::nullopt;
        }
        if (end == std::string_view::npos) {
            lines.emplace_back(payload.substr(start));
            break;
        }
        lines.emplace_back(payload.substr(start, end - start));
        start = end + 1;
        if (payload[end] == '\r' && start < payload.size() && payload[start] == '\n') {
            ++start;
        }
    }
    return lines;
}

std::vector<std::string> CommandLineLines(const std::vector<std::string>& words) {
    std::vector<std::string> lines;
    if (words.empty()) {
        lines.emplace_back();
        return lines;
    }
    const std::size_t colon = words[0].find(':');
    lines.push_back(colon == std::string::npos ? std::string() : words[0].substr(colon + 1));
    lines.insert(lines.end(), words.begin() + 1, words.end());
    return lines;
}

bool IsOneLine(std::string_view text) {
    return text.find_first_of("\r\n") == std::string_view::npos;
}

std::optional<std::string> AbsolutePath(const std::string& path) {
    if (path.empty() || path.front() == '/') {
        return path;
    }
    char buf[4096];
    if (!::getcwd(buf, sizeof buf) || buf[0] != '/') {
        return std::nullopt;
    }
    std::string folder = buf;
    if (folder.back() != '/') {
        folder.push_back('/');
    }
    return folder + path;
}

std::string OneLine(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '\n') {
            out += "\t|\t";
        } else if (c != '\r') {
            out.push_back(c);
        }
    }
    return out;
}

std::string MapiSendPayload(std::string_view note, std::string_view subject,
                            const std::vector<std::string>& files, std::uint32_t id) {
    std::vector<std::string> lines;
    lines.reserve(files.size() + 3);
    lines.push_back("NOTE=" + OneLine(note));
    lines.push_back("SUBJECT=" + OneLine(subject));
    for (std::size_t i = 0; i < files.size(); ++i) {
        lines.push_back("FILE" + std::to_string(i) + "=" + files[i]);
    }
    lines.push_back("ID=" + std::to_string(id));
    return JoinLines(lines);
}

std::string ValueOf(const std::vector<std::string>& lines, std::string_view name) {
    for (const std::string& line : lines) {
        const std::size_t eq = line.find('=');
        if (eq != std::string::npos && text::EqualsNoCase(std::string_view(line).substr(0, eq), name)) {
            return line.substr(eq + 1);
        }
    }
    return std::string();
}

std::optional<MailtoParts> ParseMailto(const std::vector<std::string>& lines) {
    if (lines.size() < 2) {
        return std::nullopt;
    }
    MailtoParts parts;
    parts.text = lines[1];
    for (std::size_t i = 2; i < lines.size(); ++i) {
        parts.text += ' ';
        parts.text += lines[i];
    }
    const std::string& url = lines[1];
    const std::size_t colon = url.find(':');
    const std::size_t query = url.find('?');
    std::string address;
    if (colon != std::string::npos && (query == std::string::npos || colon < query)) {
        address = url.substr(colon + 1, query == std::string::npos ? std::string::npos : query - colon - 1);
    }
    parts.address = address;
    if (query == std::string::npos) {
        return parts;
    }
    std::string_view rest = std::string_view(url).substr(query + 1);
    bool haveSubject = false;
    bool haveBody = false;
    while (!rest.empty()) {
        const std::size_t amp = rest.find('&');
        const std::string_view pair = rest.substr(0, amp);
        rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
        const std::size_t eq = pair.find('=');
        const std::string_view name = pair.substr(0, eq);
        const std::string_view value =
            eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1);
        // The first subject and body count, as a name=value list answers them.
        if (text::EqualsNoCase(name, "subject") && !haveSubject) {
            parts.subject = value;
            haveSubject = true;
        } else if (text::EqualsNoCase(name, "body") && !haveBody) {
            parts.body = value;
            haveBody = true;
        } else if (text::EqualsNoCase(name, "attach") || text::EqualsNoCase(name, "attachment")) {
            if (!value.empty() && parts.attachments.size() < kMaxFiles) {
                parts.attachments.emplace_back(value);
            }
        }
    }
    return parts;
}

std::vector<std::string> MapiFiles(const std::vector<std::string>& lines) {
    std::vector<std::string> files;
    for (std::size_t n = 0; n < lines.size() && files.size() < kMaxFiles; ++n) {
        std::string value = ValueOf(lines, "FILE" + std::to_string(n));
        if (!value.empty()) {
            files.push_back(std::move(value));
        }
    }
    return files;
}

int Listen(const std::string& path) {
    if (path.empty()) {
        return -1;
    }
    if (ReceiverPresent(path)) {
        log::Warning("handoff", "another copy already receives hand-offs at " + path);
        return -1;
    }
    sockaddr_un addr{};
    int dirFd = -1;
    if (!MakeAddress(path, addr, dirFd)) {
        log::Warning("handoff", "the socket path cannot be used: " + path);
        return -1;
    }
    // Only a socket may be replaced: anything else there is not ours to delete.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
        ::unlink(path.c_str());
    }
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const char* step = "socket";
    if (fd >= 0) {
        step = "bind";
        if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            step = "chmod";
            if (::chmod(path.c_str(), 0600) == 0) {
                step = "listen";
                // Connections beyond the receiver's slots wait here until one
                // frees, so a burst of senders is served rather than refused.
                if (::listen(fd, 128) == 0) {
                    step = nullptr;
                }
            }
        }
    }
    if (step) {
        log::Warning("handoff", std::string(step) + " failed for " + path + ": " + std::strerror(errno));
        if (fd >= 0) {
            ::close(fd);
        }
        fd = -1;
    }
    if (dirFd >= 0) {
        ::close(dirFd);
    }
    return fd;
}

std::optional<unsigned> PeerUid(int fd) {
    ucred cred{};
    socklen_t size = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0 || size != sizeof cred) {
        return std::nullopt;
    }
    return static_cast<unsigned>(cred.uid);
}

bool ReceiverPresent(const std::string& path) {
    const int fd = ConnectTo(path);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

std::optional<std::int32_t> Call(const std::string& path, std::uint32_t message, std::string_view payload,
                                 int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const int fd = ConnectTo(path);
    if (fd < 0) {
        return std::nullopt;
    }
    std::optional<std::int32_t> result;
    char reply[kReplyBytes];
    if (!WriteAll(fd, EncodeRequest(message, payload), deadline)) {
        log::Warning("handoff", "could not send the request to " + path);
    } else if (!ReadExactly(fd, reply, sizeof reply, deadline)) {
        log::Warning("handoff", "no answer from " + path);
    } else {
        result = DecodeReply(std::string_view(reply, sizeof reply));
        if (!result) {
            log::Warning("handoff", "a reply that is not ours from " + path);
        }
    }
    ::close(fd);
    return result;
}

std::string FindHostProgram(const std::string& folder) {
    constexpr std::string_view kHost = "brannock";
    if (!folder.empty()) {
        std::string beside = folder + "/" + std::string(kHost);
        if (IsExecutableFile(beside)) {
            return beside;
        }
    }
    const char* path = std::getenv("PATH");
    std::string_view rest = path ? path : "";
    while (!rest.empty()) {
        const std::size_t colon = rest.find(':');
        const std::string_view dir = rest.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        // An empty or relative element would mean the working directory.
        if (dir.empty() || dir.front() != '/') {
            continue;
        }
        std::string candidate = std::string(dir) + "/" + std::string(kHost);
        if (IsExecutableFile(candidate)) {
            return candidate;
        }
    }
    return std::string();
}

std::string OwnFolder() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&OwnFolder), &info) == 0 || !info.dli_fname) {
        return std::string();
    }
    std::string file = info.dli_fname;
    // The main program reports its name as started; /proc knows the real path.
    if (file.find('/') == std::string::npos) {
        char buf[4096];
        const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
        if (n <= 0) {
            return std::string();
        }
        file.assign(buf, static_cast<std::size_t>(n));
    }
    char* real = ::realpath(file.c_str(), nullptr);
    if (real) {
        file = real;
        std::free(real);
    }
    const std::size_t slash = file.rfind('/');
    return slash == std::string::npos ? std::string() : file.substr(0, slash);
}

bool StartDetached(const std::string& program, const std::vector<std::string>& args) {
    // Everything the children need is built before fork: between fork and
    // exec only async-signal-safe calls are made, since the caller (a program
    // that loaded the MAPI library) may have other threads.
    if (!IsExecutableFile(program)) {
        log::Warning("handoff", "not a program that can be started: " + program);
        return false;
    }
    std::vector<std::string> words;
    words.push_back(program);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& w : words) {
        argv.push_back(w.data());
    }
    argv.push_back(nullptr);
    const pid_t child = ::fork();
    if (child < 0) {
        log::Warning("handoff", "could not start " + program + ": " + std::strerror(errno));
        return false;
    }
    if (child == 0) {
        ::setsid();
        const pid_t grandchild = ::fork();
        if (grandchild != 0) {
            ::_exit(grandchild < 0 ? 1 : 0);
        }
        const int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0) {
            ::dup2(null, 0);
        }
        ::close_range(3, ~0U, 0);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        log::Warning("handoff", "could not start " + program);
        return false;
    }
    return true;
}

bool WaitForReceiver(const std::string& path, int polls, int intervalMs) {
    for (int i = 0; i < polls; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(intervalMs));
        if (ReceiverPresent(path)) {
            return true;
        }
    }
    return false;
}

ForwardTiming TimingFromEnvironment() {
    ForwardTiming timing;
    const char* env = std::getenv("NUVEX_HANDOFF_TIMING");
    if (!env) {
        return timing;
    }
    int values[3] = {timing.polls, timing.intervalMs, timing.settleMs};
    const char* p = env;
    for (int& v : values) {
        char* end = nullptr;
        const long n = std::strtol(p, &end, 10);
        if (end == p || n < 0 || n > 60000) {
            return ForwardTiming{};
        }
        v = static_cast<int>(n);
        p = *end == ',' ? end + 1 : end;
    }
    return ForwardTiming{values[0], values[1], values[2]};
}

} // namespace nuvex::handoff
