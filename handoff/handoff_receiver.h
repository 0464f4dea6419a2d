#pragma once
// The running program's end of the hand-off wire (handoff/handoff_wire.h): a
// listening socket served on the GUI thread. Each connection is read without
// blocking, bounded in size and time; a complete request is handled at once
// and answered after the handling, as the sender waits for it. A request
// that is garbage, truncated or too large is logged and dropped, and the
// receiver goes on serving.
#include "handoff/handoff_wire.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace nuvex {

class HostConfig;
class TAccountList;
class TNuvex_GenericConnector;

// What a hand-off needs of the running program.
struct HandOffTargets {
    TAccountList* accounts = nullptr;
    // The host's settings now; null while there is no host.
    std::function<HostConfig*()> host;
    // Replaces shortcut entries by their targets, in place. Unset: the list is left as it is.
    std::function<void(std::vector<std::string>&)> resolveShortcuts;
    // Shows the user the files a mailto hand-off asks to attach and calls
    // answer(true) only when the user chose to send them; it returns at once.
    // Unset where nobody could see a window: such files are then refused.
    std::function<void(std::vector<handoff::OfferedFile>, std::function<void(bool send)> answer)>
        confirmAttachments;
};

// The attach values of a mailto URL (still URL-encoded, "file://" allowed)
// that may be offered to the user: absolute paths of regular files, where
// neither the path nor its real path (links resolved) has a component that
// starts with "." (.ssh, .gnupg, "..": nothing hidden is ever offered). Only
// metadata is looked at. refused counts the values left out.
std::vector<handoff::OfferedFile> OfferableAttachments(const std::vector<std::string>& values,
                                                       std::size_t& refused);
// Whether a component of path starts with ".".
bool HasHiddenComponent(std::string_view path);

// The handling of one hand-off, without the socket. Answers
// handoff::kHandled or handoff::kDropped.
std::int32_t HandleHandOff(const HandOffTargets& targets, std::uint32_t kind, std::string_view payload);

class THandOffReceiver : public QObject {
    Q_OBJECT
public:
    explicit THandOffReceiver(HandOffTargets targets, QObject* parent = nullptr);
    ~THandOffReceiver() override;

    // Listens at path (the wire's SocketPath() when empty); false when it
    // cannot (logged), e.g. because another copy already listens there.
    bool Start(const std::string& path = {});
    void Stop();
    bool Listening() const { return listenFd_ >= 0; }
    const std::string& Path() const { return path_; }

    // Whether a peer of that uid may hand work over; by default only our own uid.
    void SetPeerCheck(std::function<bool(unsigned uid)> check) { peerCheck_ = std::move(check); }
    // The answer to the readiness ping (not negative: ready).
    void SetReadyAnswer(std::function<std::int32_t()> answer) { readyAnswer_ = std::move(answer); }
    // How long a sender may take to deliver its request.
    void SetRequestTimeoutMs(int ms) { requestTimeoutMs_ = ms; }

    // Counters for tests and the log.
    int Served() const { return served_; }
    int Refused() const { return refused_; }

    // More connections wait in the listen queue until a slot frees.
    static constexpr int kMaxConnections = 8;
    // From the accept: the 12-byte header must be there within the first,
    // the whole request within the second.
    static constexpr int kHeaderTimeoutMs = 1000;
    static constexpr int kRequestTimeoutMs = 5000;

signals:
    // After a request was answered (or dropped): its message, or -1 when dropped.
    void RequestDone(int message);

private:
    struct Connection;
    void AcceptPending();
    void ReadFrom(Connection* c);
    void Finish(Connection* c, int message, std::string_view why);
    void Answer(Connection* c, std::uint32_t message, std::string_view payload);

    HandOffTargets targets_;
    std::string path_;
    int listenFd_ = -1;
    unsigned long socketInode_ = 0;
    std::unique_ptr<QSocketNotifier> listenNotifier_;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::function<bool(unsigned)> peerCheck_;
    std::function<std::int32_t()> readyAnswer_;
    int requestTimeoutMs_ = kRequestTimeoutMs;
    int served_ = 0;
    int refused_ = 0;
};

} // namespace nuvex
