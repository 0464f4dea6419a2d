#include "handoff/handoff_receiver.h"

#include "accounts/account_list.h"
#include "accounts/generic_connector.h"
#include "handoff/handoff_request.h"
#include "handoff/handoff_wire.h"
#include "lib/files.h"
#include "lib/host_config.h"
#include "lib/http.h"
#include "lib/log.h"
#include "lib/named_objects.h"
#include "lib/plugin_settings.h"
#include "lib/text.h"

#include <QElapsedTimer>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <variant>

namespace nuvex {

namespace {

// How long the program gives the upload to take the files of a Simple MAPI
// send before it lets the sender go on.
constexpr int kSendToEventWaitMs = 500;

using AccountTest = bool (*)(TNuvex_GenericConnector&);

bool TestOpenAction(TNuvex_GenericConnector& a) {
    return a.HasOpenAction();
}
bool TestMailTo(TNuvex_GenericConnector& a) {
    return a.CanMailTo();
}
bool TestSendFiles(TNuvex_GenericConnector& a) {
    return a.CanSendFiles();
}

// Runs action on the hand-off account under the list's shared lock: the one
// "CURRENT_MAILTO" names, else the first enabled account that passes test.
// False when the setting cannot be read, no account qualifies, or the lock
// was not had.
template <typename Action>
bool WithHandOffAccount(const HandOffTargets& t, AccountTest test, Action&& action) {
    HostConfig* host = t.host ? t.host() : nullptr;
    const std::optional<std::string> chosen = host ? host->ReadCfgStr(keys::kCurrentMailto, 0) : std::nullopt;
    if (!chosen) {
        log::Warning("handoff", "the mailto account setting could not be read; hand-off dropped");
        return false;
    }
    CriticHold hold(t.accounts->AccountLock, CriticHold::Mode::Shared, kFindAccountWaits);
    if (!hold.Held()) {
        log::Warning("handoff", "the account list is busy; hand-off dropped");
        return false;
    }
    TNuvex_GenericConnector* account = nullptr;
    if (!chosen->empty()) {
        account = t.accounts->FindLocked(*chosen);
    } else {
        for (TNuvex_GenericConnector* a : t.accounts->Items()) {
            if (a->Enabled && test(*a)) {
                account = a;
                break;
            }
        }
    }
    if (!account || !test(*account)) {
        log::Info("handoff", chosen->empty()
                                 ? std::string("no account takes this hand-off")
                                 : "account " + *chosen + " is gone or does not take this hand-off");
        return false;
    }
    action(*account);
    return true;
}

// One line per hand-off that reached an account: which one, what it
// answered, how many files it was given (never the files' or mail's text).
void Report(const char* what, const TNuvex_GenericConnector& account, int status, std::size_t files = 0) {
    std::string text =
        std::string(what) + " handed to " + account.AccountId + ": status " + std::to_string(status);
    if (files > 0) {
        text += ", " + std::to_string(files) + " lines";
    }
    if (status < 0) {
        log::Warning("handoff", text);
    } else {
        log::Info("handoff", text);
    }
}

void ResolveAndExpand(const HandOffTargets& t, std::vector<std::string>& files) {
    if (t.resolveShortcuts) {
        t.resolveShortcuts(files);
    }
    ExpandFolders(files);
    // A folder tree can hold far more files than one hand-off may carry.
    if (files.size() > handoff::kMaxFiles) {
        log::Warning("handoff", "more than " + std::to_string(handoff::kMaxFiles) +
                                    " files after expanding folders; the rest are left out");
        files.resize(handoff::kMaxFiles);
    }
}

// Keeps the absolute paths of list. A relative name would be resolved in this
// copy's working folder, which is not the sender's: it could name another file.
void KeepAbsolutePaths(std::vector<std::string>& list, const char* what) {
    const auto relative = std::remove_if(list.begin(), list.end(),
                                         [](const std::string& p) { return p.empty() || p[0] != '/'; });
    const auto left = static_cast<std::size_t>(list.end() - relative);
    if (left > 0) {
        log::Warning("handoff", std::string(what) + ": " + std::to_string(left) +
                                    " names that are not absolute paths were left out");
        list.erase(relative, list.end());
    }
}

bool IsRegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// An account's input for files to send: the files, then the hand-off id (a
// Simple MAPI send only), the note and the subject as "NAME=value" lines.
std::vector<std::string> SendFilesLines(std::vector<std::string> files, const std::string* id,
                                        std::string_view note, std::string_view subject) {
    if (id) {
        files.push_back("ID=" + *id);
    }
    files.push_back("NOTE=" + std::string(note));
    files.push_back("SUBJECT=" + std::string(subject));
    return files;
}

std::int32_t HandleSendTo(const HandOffTargets& t, handoff::SendToRequest r) {
    TNuvex_GenericConnector* account = nullptr;
    CriticHold hold(t.accounts->AccountLock, CriticHold::Mode::Shared, kFindAccountWaits);
    if (hold.Held()) {
        account = t.accounts->FindLocked(r.accountId);
    }
    if (!account) {
        log::Info("handoff", "Send To names no account: " + r.accountId);
        return handoff::kDropped;
    }
    std::vector<std::string>& lines = r.names;
    KeepAbsolutePaths(lines, "Send To");
    ResolveAndExpand(t, lines);
    // With no file the account would open an empty compose page, as if
    // something had been sent.
    if (std::none_of(lines.begin(), lines.end(), IsRegularFile)) {
        log::Warning("handoff", "Send To for " + account->AccountId +
                                    ": none of the names is a file that can be sent; nothing was sent");
        return handoff::kDropped;
    }
    Report("Send To", *account, account->SendFiles(lines), lines.size());
    return handoff::kHandled;
}

// Files the user confirmed go to the account as they were shown: no
// shortcut is followed and no folder expanded.
void SendConfirmed(const HandOffTargets& t, std::vector<std::string> files, const std::string& subject,
                   const std::string& body) {
    files = SendFilesLines(std::move(files), nullptr, handoff::OneLine(body), handoff::OneLine(subject));
    WithHandOffAccount(t, TestSendFiles, [&](TNuvex_GenericConnector& a) {
        Report("mailto with attachments", a, a.SendFiles(files), files.size());
    });
}

std::int32_t HandleMailTo(const HandOffTargets& t, const handoff::MailToRequest& r) {
    const handoff::MailtoParts& parts = r.parts;
    const std::string subject = UrlDecode(parts.subject);
    const std::string body = UrlDecode(parts.body);
    if (!parts.attachments.empty()) {
        // A link names no file the user chose. Only the desktop entry's word
        // lets files be offered, and then only in a window the user answers.
        const std::size_t named = parts.attachments.size();
        if (!r.ask) {
            log::Warning("handoff", "a mailto link named " + std::to_string(named) +
                                        " files to attach; links never send files, they were left out");
        } else if (!t.confirmAttachments) {
            log::Warning("handoff",
                         std::to_string(named) + " files to attach were refused: no window can ask the user");
        } else {
            std::size_t refused = 0;
            std::vector<handoff::OfferedFile> offer = OfferableAttachments(parts.attachments, refused);
            if (refused > 0) {
                log::Warning("handoff", std::to_string(refused) + " of " + std::to_string(named) +
                                            " files to attach were refused: not absolute, hidden, a "
                                            "folder or not there");
            }
            if (!offer.empty()) {
                if (!WithHandOffAccount(t, TestSendFiles, [](TNuvex_GenericConnector&) {})) {
                    return handoff::kDropped;
                }
                std::vector<std::string> files;
                files.reserve(offer.size());
                for (const handoff::OfferedFile& f : offer) {
                    files.push_back(f.path);
                }
                t.confirmAttachments(std::move(offer), [t, files, subject, body](bool send) {
                    if (send) {
                        SendConfirmed(t, files, subject, body);
                    } else {
                        log::Info("handoff", "the user chose not to send the files");
                    }
                });
                return handoff::kHandled;
            }
        }
    }
    const std::string address = UrlDecode(parts.address);
    const bool done = WithHandOffAccount(t, TestMailTo, [&](TNuvex_GenericConnector& a) {
        Report("mailto", a, a.ComposeTo(address, subject, parts.text, body));
    });
    return done ? handoff::kHandled : handoff::kDropped;
}

std::int32_t HandleMapiSend(const HandOffTargets& t, handoff::MapiSendRequest r) {
    KeepAbsolutePaths(r.files, "Simple MAPI send");
    ResolveAndExpand(t, r.files);
    const std::string& id = r.id;
    const std::vector<std::string> list = SendFilesLines(std::move(r.files), &id, r.note, r.subject);
    std::unique_ptr<NamedEvent> taken;
    const bool done = WithHandOffAccount(t, TestOpenAction, [&](TNuvex_GenericConnector& a) {
        // Created before the upload starts, so that the upload and the
        // sender find the same event.
        taken = OpenOrCreateEvent("NuvexSendTo" + id, true, false);
        Report("Simple MAPI send", a, a.SendFiles(list), list.size());
    });
    if (taken) {
        taken->Wait(kSendToEventWaitMs);
    }
    return done ? handoff::kHandled : handoff::kDropped;
}

} // namespace

bool HasHiddenComponent(std::string_view path) {
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t slash = path.find('/', start);
        const std::string_view part =
            path.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
        if (!part.empty() && part.front() == '.') {
            return true;
        }
        if (slash == std::string_view::npos) {
            break;
        }
        start = slash + 1;
    }
    return false;
}

std::vector<handoff::OfferedFile> OfferableAttachments(const std::vector<std::string>& values,
                                                       std::size_t& refused) {
    refused = 0;
    std::vector<handoff::OfferedFile> offer;
    for (const std::string& raw : values) {
        std::string file = UrlDecode(raw);
        if (text::StartsWithNoCase(file, "file://")) {
            file = UrlDecode(file.substr(7));
        }
        char* real = file.empty() || file.front() != '/' || HasHiddenComponent(file)
                         ? nullptr
                         : ::realpath(file.c_str(), nullptr);
        const std::string resolved = real ? real : "";
        std::free(real);
        struct stat st {};
        if (resolved.empty() || HasHiddenComponent(resolved) || !handoff::IsOneLine(resolved) ||
            ::stat(resolved.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            ++refused;
            continue;
        }
        const std::size_t slash = resolved.rfind('/');
        offer.push_back({resolved, resolved.substr(slash + 1), slash == 0 ? "/" : resolved.substr(0, slash),
                         static_cast<std::uint64_t>(st.st_size)});
    }
    return offer;
}

std::int32_t HandleHandOff(const HandOffTargets& targets, std::uint32_t kind, std::string_view payload) {
    try {
        if (!targets.accounts) {
            return handoff::kDropped;
        }
        handoff::Decoded decoded = handoff::DecodeRequest(kind, payload);
        switch (decoded.problem) {
        case handoff::DecodeProblem::None:
            break;
        case handoff::DecodeProblem::BadPayload:
            log::Warning("handoff", "a hand-off payload that no sender makes was dropped (kind " +
                                        std::to_string(kind) + ", " + std::to_string(payload.size()) +
                                        " bytes)");
            return handoff::kDropped;
        case handoff::DecodeProblem::UnknownKind:
            log::Warning("handoff", "unknown hand-off kind " + std::to_string(kind));
            return handoff::kDropped;
        case handoff::DecodeProblem::TooFewLines:
            return handoff::kDropped;
        }
        handoff::Request& request = *decoded.request;
        if (auto* r = std::get_if<handoff::SendToRequest>(&request)) {
            return HandleSendTo(targets, std::move(*r));
        }
        if (auto* r = std::get_if<handoff::MailToRequest>(&request)) {
            return HandleMailTo(targets, *r);
        }
        if (auto* r = std::get_if<handoff::MapiSendRequest>(&request)) {
            return HandleMapiSend(targets, std::move(*r));
        }
        const bool done = WithHandOffAccount(targets, TestOpenAction, [](TNuvex_GenericConnector& a) {
            Report("read mail", a, a.OpenMailbox());
        });
        return done ? handoff::kHandled : handoff::kDropped;
    } catch (...) {
        log::Caught("handoff", "handling a hand-off");
    }
    return handoff::kDropped;
}

// --- The socket ----------------------------------------------------------------

struct THandOffReceiver::Connection {
    int fd = -1;
    std::unique_ptr<QSocketNotifier> notifier;
    QTimer deadline;
    QElapsedTimer since;
    std::string header;
    std::string payload;
    handoff::RequestHeader request;
    bool haveHeader = false;

    ~Connection() {
        notifier.reset();
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

THandOffReceiver::THandOffReceiver(HandOffTargets targets, QObject* parent)
    : QObject(parent), targets_(std::move(targets)) {
    const unsigned me = ::getuid();
    peerCheck_ = [me](unsigned uid) { return uid == me; };
    readyAnswer_ = [] { return std::int32_t{0}; };
}

THandOffReceiver::~THandOffReceiver() {
    Stop();
}

bool THandOffReceiver::Start(const std::string& path) {
    Stop();
    path_ = path.empty() ? handoff::SocketPath() : path;
    listenFd_ = handoff::Listen(path_);
    if (listenFd_ < 0) {
        log::Warning("handoff", "hand-offs from other programs are not received");
        return false;
    }
    struct stat st {};
    socketInode_ = ::lstat(path_.c_str(), &st) == 0 ? st.st_ino : 0;
    listenNotifier_ = std::make_unique<QSocketNotifier>(listenFd_, QSocketNotifier::Read);
    connect(listenNotifier_.get(), &QSocketNotifier::activated, this, [this] { AcceptPending(); });
    return true;
}

void THandOffReceiver::Stop() {
    connections_.clear();
    listenNotifier_.reset();
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        listenFd_ = -1;
        // Only our own socket goes: another copy may have taken the name since.
        struct stat st {};
        if (::lstat(path_.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_ino == socketInode_) {
            ::unlink(path_.c_str());
        }
    }
}

void THandOffReceiver::AcceptPending() {
    for (;;) {
        if (static_cast<int>(connections_.size()) >= kMaxConnections) {
            // The rest wait in the listen queue; Finish resumes accepting.
            listenNotifier_->setEnabled(false);
            return;
        }
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                log::Warning("handoff", std::string("accept failed: ") + std::strerror(errno));
            }
            return;
        }
        const std::optional<unsigned> uid = handoff::PeerUid(fd);
        if (!uid || !peerCheck_(*uid)) {
            ++refused_;
            log::Warning("handoff",
                         "refused a hand-off from uid " + (uid ? std::to_string(*uid) : "unknown"));
            ::close(fd);
            emit RequestDone(-1);
            continue;
        }
        auto c = std::make_unique<Connection>();
        Connection* raw = c.get();
        c->fd = fd;
        c->notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        connect(c->notifier.get(), &QSocketNotifier::activated, this, [this, raw] { ReadFrom(raw); });
        c->deadline.setSingleShot(true);
        connect(&c->deadline, &QTimer::timeout, this, [this, raw] { Finish(raw, -1, "timed out"); });
        c->since.start();
        c->deadline.start(std::min(kHeaderTimeoutMs, requestTimeoutMs_));
        connections_.push_back(std::move(c));
    }
}

void THandOffReceiver::ReadFrom(Connection* c) {
    char buf[16384];
    for (;;) {
        const std::size_t want =
            c->haveHeader ? c->request.length - c->payload.size() : handoff::kHeaderBytes - c->header.size();
        if (want == 0) {
            break;
        }
        const ssize_t n = ::recv(c->fd, buf, std::min(want, sizeof buf), 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return; // more later
        }
        if (n <= 0) {
            // A sender that looks whether we are here closes without a byte.
            const bool probe = n == 0 && c->header.empty();
            Finish(c, -1, probe ? std::string_view() : std::string_view("truncated"));
            return;
        }
        if (!c->haveHeader) {
            c->header.append(buf, static_cast<std::size_t>(n));
            if (c->header.size() < handoff::kHeaderBytes) {
                continue;
            }
            switch (handoff::DecodeRequestHeader(c->header, c->request)) {
            case handoff::HeaderCheck::Ok:
                break;
            case handoff::HeaderCheck::BadMagic:
                Finish(c, -1, "not a hand-off request");
                return;
            case handoff::HeaderCheck::BadMessage:
                Finish(c, -1, "unknown message");
                return;
            case handoff::HeaderCheck::TooLarge:
                Finish(c, -1, "payload too large");
                return;
            }
            c->haveHeader = true;
            c->payload.reserve(c->request.length);
            // The header came in time; the rest has what is left of the request's time.
            c->deadline.start(static_cast<int>(std::max<qint64>(0, requestTimeoutMs_ - c->since.elapsed())));
        } else {
            c->payload.append(buf, static_cast<std::size_t>(n));
        }
    }
    // The whole request is here. Handling may run an event loop (a browser
    // start, a wait); the notifier must not call back in the meantime.
    c->notifier->setEnabled(false);
    c->deadline.stop();
    const std::uint32_t message = c->request.message;
    Answer(c, message, c->payload);
}

void THandOffReceiver::Answer(Connection* c, std::uint32_t message, std::string_view payload) {
    std::int32_t result = handoff::kDropped;
    if (message == handoff::kMailReady) {
        result = readyAnswer_();
    } else {
        result = HandleHandOff(targets_, message, payload);
    }
    // Eight bytes into an empty socket buffer: a peer that went away only
    // makes this fail, it never blocks.
    const std::string reply = handoff::EncodeReply(result);
    if (::send(c->fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT) !=
        static_cast<ssize_t>(reply.size())) {
        log::Info("handoff", "the sender left before the answer");
    }
    ++served_;
    Finish(c, static_cast<int>(message), {});
}

void THandOffReceiver::Finish(Connection* c, int message, std::string_view why) {
    if (!why.empty()) {
        log::Warning("handoff", "a hand-off request was dropped: " + std::string(why));
    }
    for (auto it = connections_.begin(); it != connections_.end(); ++it) {
        if (it->get() == c) {
            // Deleting the notifier or timer inside its own signal is not safe.
            c->notifier->setEnabled(false);
            c->deadline.stop();
            ::shutdown(c->fd, SHUT_RDWR);
            std::unique_ptr<Connection> doomed = std::move(*it);
            connections_.erase(it);
            QTimer::singleShot(0, this, [held = std::shared_ptr<Connection>(std::move(doomed))] {});
            if (listenNotifier_ && !listenNotifier_->isEnabled()) {
                listenNotifier_->setEnabled(true);
            }
            break;
        }
    }
    emit RequestDone(message);
}

} // namespace nuvex
