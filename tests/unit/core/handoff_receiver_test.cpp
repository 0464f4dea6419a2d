#include "accounts/account_list.h"
#include "accounts/generic_connector.h"
#include "handoff/handoff_receiver.h"
#include "handoff/handoff_wire.h"
#include "lib/host_config.h"
#include "lib/named_objects.h"
#include "tests/support/temp_dir.h"
#include "tests/support/time_scale.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace nuvex {
namespace {

using Lines = std::vector<std::string>;

// Records what a hand-off made it do.
class RecordingConnector final : public TNuvex_GenericConnector {
public:
    using TNuvex_GenericConnector::TNuvex_GenericConnector;
    int SendFiles(const Lines& lines) override {
        calls.push_back("SendFiles");
        files = lines;
        if (onSendFiles) {
            onSendFiles(lines);
        }
        return kStatusOk;
    }
    int ComposeTo(const std::string& to, const std::string& subject, const std::string& mailto,
                  const std::string& body) override {
        calls.push_back("ComposeTo");
        compose = {to, subject, mailto, body};
        return kStatusOk;
    }
    int OpenMailbox() override {
        calls.push_back("OpenMailbox");
        return kStatusOk;
    }
    Lines calls;
    Lines files;
    Lines compose;
    std::function<void(const Lines&)> onSendFiles;
};

// A POP3-like type (mailto, opens only with an action) and a web-service-like
// type (everything).
constexpr TConnectorClass kMailOnly{
    .typeCode = "MO", .caps = kCapCompose | kCapMailTo, .newInstance = NewConnector<RecordingConnector>};
constexpr TConnectorClass kEverything{.typeCode = "EV",
                                      .caps = kCapCompose | kCapSendFiles | kCapMailTo | kCapAlwaysOpens,
                                      .newInstance = NewConnector<RecordingConnector>};

class HandOffTest : public ::testing::Test {
protected:
    RecordingConnector& Add(const TConnectorClass& cls, const std::string& id, bool enabled = true,
                            int action = 0) {
        auto account = cls.Create(context);
        account->SetAccountId(id);
        account->Enabled = enabled;
        account->ActionCode = action;
        auto* raw = static_cast<RecordingConnector*>(account.get());
        EXPECT_TRUE(list.AddAccount(std::move(account)));
        return *raw;
    }
    HandOffTargets Targets() {
        return HandOffTargets{&list,
                              [this] { return &host; },
                              [this](Lines& l) {
                                  ++resolved;
                                  for (std::string& s : l) {
                                      if (s.size() > 5 && s.compare(s.size() - 5, 5, ".link") == 0) {
                                          s = s.substr(0, s.size() - 5);
                                      }
                                  }
                              },
                              {}};
    }
    std::int32_t Hand(handoff::Kind kind, const std::string& payload) {
        return HandleHandOff(Targets(), static_cast<std::uint32_t>(kind), payload);
    }
    std::string Touch(const std::string& name) {
        const std::string path = dir.file(name);
        std::ofstream(path) << "x";
        return path;
    }

    AccountContext context;
    TAccountList list;
    MemoryHostConfig host;
    test::TempDir dir;
    int resolved = 0;
};

TEST_F(HandOffTest, MailtoWithoutQueryComposesWithEmptySubjectAndBody) {
    RecordingConnector& a = Add(kMailOnly, "MO_1");
    EXPECT_EQ(Hand(handoff::Kind::MailTo, "\r\nmailto:a@b\r\n"), handoff::kHandled);
    EXPECT_EQ(a.compose, (Lines{"a@b", "", "mailto:a@b", ""}));
}

TEST_F(HandOffTest, MailtoPartsAreDecodedAndTheTextKeepsFurtherWords) {
    RecordingConnector& a = Add(kMailOnly, "MO_1");
    EXPECT_EQ(Hand(handoff::Kind::MailTo,
                   "\r\nmailto:a%40b?subject=Hi%20there&body=one+two%0D%0Athree\r\nextra\r\nwords\r\n"),
              handoff::kHandled);
    EXPECT_EQ(a.compose,
              (Lines{"a@b", "Hi there", "mailto:a%40b?subject=Hi%20there&body=one+two%0D%0Athree extra words",
                     "one two\r\nthree"}));
}

TEST_F(HandOffTest, PayloadsThatAreDroppedReachNoAccount) {
    RecordingConnector& a = Add(kEverything, "EV_1");
    struct Row {
        handoff::Kind kind;
        std::string payload;
    };
    const Row rows[] = {
        {handoff::Kind::MailTo, "\r\n"},                               // only line 0
        {handoff::Kind::MailTo, ""},                                   // nothing
        {handoff::Kind::SendTo, "NOSUCH_1\r\n/tmp/a\r\n"},             // names no account
        {handoff::Kind::SendTo, ""},                                   // no key
        {handoff::Kind::MapiSend, ""},                                 // no line
        {handoff::Kind::SendTo, std::string("EV_1\r\n/a\0b\r\n", 12)}, // a NUL
        {static_cast<handoff::Kind>(7), "\r\n"},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(Hand(r.kind, r.payload), handoff::kDropped) << testing::PrintToString(r.payload);
    }
    EXPECT_TRUE(a.calls.empty());
}

TEST_F(HandOffTest, ReadMailOpensTheFirstEnabledAccountWithAnOpenAction) {
    RecordingConnector& disabled = Add(kEverything, "EV_1", false);
    RecordingConnector& noAction = Add(kMailOnly, "MO_1", true, 0);
    RecordingConnector& withAction = Add(kMailOnly, "MO_2", true, 1);
    RecordingConnector& later = Add(kEverything, "EV_2");
    EXPECT_EQ(Hand(handoff::Kind::ReadMail, "\r\n"), handoff::kHandled);
    EXPECT_TRUE(disabled.calls.empty());
    EXPECT_TRUE(noAction.calls.empty());
    EXPECT_EQ(withAction.calls, Lines{"OpenMailbox"});
    EXPECT_TRUE(later.calls.empty());
}

TEST_F(HandOffTest, TheChosenAccountMustPassTheKindsTest) {
    RecordingConnector& noAction = Add(kMailOnly, "MO_1", true, 0);
    RecordingConnector& other = Add(kEverything, "EV_1");
    ASSERT_TRUE(host.WriteCfgStr("CURRENT_MAILTO", "MO_1"));
    // Chosen, but it cannot open anything: dropped, not handed to another.
    EXPECT_EQ(Hand(handoff::Kind::ReadMail, "\r\n"), handoff::kDropped);
    EXPECT_TRUE(other.calls.empty());
    // It can compose.
    EXPECT_EQ(Hand(handoff::Kind::MailTo, "\r\nmailto:x@y\r\n"), handoff::kHandled);
    EXPECT_EQ(noAction.calls, Lines{"ComposeTo"});
    // A chosen account that is gone.
    ASSERT_TRUE(host.WriteCfgStr("CURRENT_MAILTO", "GONE_1"));
    EXPECT_EQ(Hand(handoff::Kind::MailTo, "\r\nmailto:x@y\r\n"), handoff::kDropped);
    // The setting cannot be read: nothing is guessed.
    host.failAll = true;
    EXPECT_EQ(Hand(handoff::Kind::MailTo, "\r\nmailto:x@y\r\n"), handoff::kDropped);
    EXPECT_EQ(other.calls, Lines{});
}

TEST_F(HandOffTest, SendToResolvesAndExpandsFolders) {
    RecordingConnector& a = Add(kEverything, "EV_1");
    const std::string f1 = Touch("f1.txt");
    ASSERT_EQ(::mkdir(dir.file("folder").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir(dir.file("folder/sub").c_str(), 0700), 0);
    const std::string x = Touch("folder/x.txt");
    const std::string z = Touch("folder/sub/z.txt");
    EXPECT_EQ(Hand(handoff::Kind::SendTo, "EV_1\r\n" + f1 + ".link\r\n" + dir.file("folder") + "\r\n"),
              handoff::kHandled);
    EXPECT_EQ(resolved, 1);
    EXPECT_EQ(a.files, (Lines{f1, x, z}));
}

TEST_F(HandOffTest, MapiSendListsFilesThenIdNoteSubjectAndWaitsForTheUpload) {
    RecordingConnector& a = Add(kEverything, "EV_1");
    const std::string f0 = Touch("a.pdf");
    const std::string f1 = Touch("b c.txt");
    a.onSendFiles = [](const Lines&) {
        // The upload has read the files.
        if (auto e = OpenOrCreateEvent("NuvexSendTo777", true, false)) {
            e->Set();
        }
    };
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(Hand(handoff::Kind::MapiSend, handoff::MapiSendPayload("one\r\ntwo", "Subj", {f0, f1}, 777)),
              handoff::kHandled);
    EXPECT_LT(timer.elapsed(), nuvex::test::ScaledMs(400));
    EXPECT_EQ(a.files, (Lines{f0, f1, "ID=777", "NOTE=one\t|\ttwo", "SUBJECT=Subj"}));

    // An account that never signals holds the sender no longer than half a second.
    a.onSendFiles = nullptr;
    timer.restart();
    EXPECT_EQ(Hand(handoff::Kind::MapiSend, "NOTE=\r\nSUBJECT=\r\nID=778\r\n"), handoff::kHandled);
    EXPECT_GE(timer.elapsed(), 450);
    EXPECT_LT(timer.elapsed(), nuvex::test::ScaledMs(1500));
    EXPECT_EQ(a.files, (Lines{"ID=778", "NOTE=", "SUBJECT="}));
}

std::string UrlEncoded(const std::string& path) {
    std::string out;
    for (char c : path) {
        out += c == '/' ? std::string("%2F") : c == ' ' ? std::string("%20") : std::string(1, c);
    }
    return out;
}

TEST_F(HandOffTest, MailtoAttachmentsAreSentOnlyAfterTheUserSaidSo) {
    RecordingConnector& mailOnly = Add(kMailOnly, "MO_1");
    RecordingConnector& files = Add(kEverything, "EV_1");
    const std::string f = Touch("a b.txt");
    const std::string url =
        "mailto:x@y?attach=" + UrlEncoded(f) + "&subject=Hello&attach=file%3A%2F%2F" + UrlEncoded(f) + "\r\n";
    struct Row {
        const char* line0;
        bool window;                // a confirmer exists (a display)
        std::optional<bool> answer; // what the user answers; none: never asked
        bool sent;
    };
    const Row rows[] = {
        {"", true, std::nullopt, false},     // a link: files are ignored
        {"ask", false, std::nullopt, false}, // nobody to ask
        {"ask", true, false, false},
        {"ask", true, true, true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.line0) + (r.window ? " window" : " headless"));
        mailOnly.calls.clear();
        files.calls.clear();
        std::vector<handoff::OfferedFile> shown;
        HandOffTargets t = Targets();
        if (r.window) {
            t.confirmAttachments = [&](std::vector<handoff::OfferedFile> offer,
                                       std::function<void(bool)> answer) {
                shown = std::move(offer);
                if (r.answer) {
                    answer(*r.answer);
                }
            };
        }
        EXPECT_EQ(HandleHandOff(t, 2, std::string(r.line0) + "\r\n" + url), handoff::kHandled);
        EXPECT_EQ(shown.size(), r.answer ? 2u : 0u);
        if (r.sent) {
            EXPECT_TRUE(mailOnly.calls.empty());
            EXPECT_EQ(files.files, (Lines{f, f, "NOTE=", "SUBJECT=Hello"}));
        } else if (r.answer) {
            EXPECT_TRUE(mailOnly.calls.empty() && files.calls.empty()) << "the user said no";
        } else {
            // The message still goes, without the files.
            EXPECT_EQ(mailOnly.calls, Lines{"ComposeTo"});
            EXPECT_TRUE(files.calls.empty());
        }
    }
}

TEST_F(HandOffTest, OnlyPlainFilesOutsideHiddenFoldersAreOffered) {
    const std::string good = Touch("report.pdf");
    ASSERT_EQ(::mkdir(dir.file(".ssh").c_str(), 0700), 0);
    const std::string key = Touch(".ssh/id_rsa");
    ASSERT_EQ(::symlink(key.c_str(), dir.file("innocent.txt").c_str()), 0);
    ASSERT_EQ(::mkdir(dir.file("folder").c_str(), 0700), 0);
    Touch("folder/x");
    const std::vector<std::string> refusedRows = {
        key,
        UrlEncoded(key),
        "file://" + UrlEncoded(key),      // hidden component
        dir.file("innocent.txt"),         // a link into one
        dir.file("folder/../report.pdf"), // ".." hides where it goes
        dir.file("folder"),               // a folder
        "report.pdf",                     // relative
        dir.file("missing"),
        "/dev/null",
    };
    for (const std::string& value : refusedRows) {
        std::size_t refused = 0;
        EXPECT_TRUE(OfferableAttachments({value}, refused).empty()) << value;
        EXPECT_EQ(refused, 1u) << value;
    }
    std::size_t refused = 0;
    const auto offer = OfferableAttachments({"file://" + UrlEncoded(good), key}, refused);
    ASSERT_EQ(offer.size(), 1u);
    EXPECT_EQ(refused, 1u);
    char* real = ::realpath(good.c_str(), nullptr);
    EXPECT_EQ(offer[0].path, real);
    EXPECT_EQ(offer[0].name, "report.pdf");
    EXPECT_EQ(offer[0].folder, std::string(real).substr(0, std::string(real).rfind('/')));
    EXPECT_EQ(offer[0].size, 1u);
    std::free(real);
}

TEST_F(HandOffTest, SendToAndMapiTakeOnlyAbsolutePathsAndSendToNeedsAFile) {
    RecordingConnector& a = Add(kEverything, "EV_1");
    const std::string f = Touch("f.txt");
    EXPECT_EQ(Hand(handoff::Kind::SendTo, "EV_1\r\nf.txt\r\n" + f + "\r\n"), handoff::kHandled);
    EXPECT_EQ(a.files, Lines{f});
    // Nothing left to send: no empty compose page.
    a.calls.clear();
    for (const std::string& payload : {std::string("EV_1\r\nf.txt\r\n"),
                                       "EV_1\r\n" + dir.file("missing") + "\r\n", std::string("EV_1\r\n")}) {
        EXPECT_EQ(Hand(handoff::Kind::SendTo, payload), handoff::kDropped) << payload;
    }
    EXPECT_TRUE(a.calls.empty());
    EXPECT_EQ(Hand(handoff::Kind::MapiSend, "FILE0=f.txt\r\nFILE1=" + f + "\r\nID=1\r\n"), handoff::kHandled);
    EXPECT_EQ(a.files, (Lines{f, "ID=1", "NOTE=", "SUBJECT="}));
}

// --- The socket ------------------------------------------------------------------

class ReceiverTest : public HandOffTest {
protected:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "handoff_receiver_test";
        static char* argv[] = {name, nullptr};
        if (!QCoreApplication::instance()) {
            app_ = std::make_unique<QCoreApplication>(argc, argv);
        }
        path = dir.file("MAILWndClass");
    }

    // Runs the call on another thread while the receiver's loop runs here.
    std::optional<std::int32_t> CallPumping(std::uint32_t message, const std::string& payload) {
        auto result =
            std::async(std::launch::async, [&] { return handoff::Call(path, message, payload, 3000); });
        while (result.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        }
        return result.get();
    }

    // Sends raw bytes and closes; answers what came back before the close.
    std::string RawPumping(const std::string& bytes, bool halfClose) {
        auto result = std::async(std::launch::async, [&] {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
            std::string got;
            if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
                (void)::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
                if (halfClose) {
                    ::shutdown(fd, SHUT_WR);
                }
                timeval tv{3, 0};
                ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
                char buf[64];
                ssize_t n = 0;
                while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) {
                    got.append(buf, static_cast<std::size_t>(n));
                }
            }
            ::close(fd);
            return got;
        });
        while (result.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        }
        return result.get();
    }

    std::unique_ptr<QCoreApplication> app_;
    std::string path;
};

TEST_F(ReceiverTest, BadRequestsAreDroppedAndTheNextGoodOneIsServed) {
    RecordingConnector& a = Add(kMailOnly, "MO_1");
    THandOffReceiver receiver(Targets());
    receiver.SetRequestTimeoutMs(300);
    ASSERT_TRUE(receiver.Start(path));
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // Garbage, an unknown message, a length beyond the bound, a request cut
    // short by the sender, and one that stalls: no answer to any of them.
    const std::string good = handoff::EncodeRequest(2, "\r\nmailto:a@b\r\n");
    EXPECT_EQ(RawPumping("GET / HTTP/1.0\r\n\r\n", true), "");
    EXPECT_EQ(RawPumping(std::string("NVXH\x09\0\0\0\0\0\0\0", 12), true), "");
    EXPECT_EQ(RawPumping(std::string("NVXH\x02\0\0\0\x01\0\x10\0", 12), true), "");
    EXPECT_EQ(RawPumping(good.substr(0, good.size() - 3), true), "");
    EXPECT_EQ(RawPumping(good.substr(0, 5), false), ""); // ends at the receiver's time-out
    EXPECT_TRUE(a.calls.empty());
    EXPECT_EQ(receiver.Served(), 0);

    EXPECT_EQ(CallPumping(2, "\r\nmailto:a@b\r\n"), handoff::kHandled);
    EXPECT_EQ(a.compose, (Lines{"a@b", "", "mailto:a@b", ""}));
    EXPECT_EQ(CallPumping(handoff::kMailReady, ""), 0);
    EXPECT_EQ(receiver.Served(), 2);
}

// A connected socket that sends nothing; -1 when the connect failed.
int IdleConnection(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

TEST_F(ReceiverTest, IdleConnectionsHoldNoSlotForLongAndABurstWaitsItsTurn) {
    THandOffReceiver receiver(Targets());
    ASSERT_TRUE(receiver.Start(path));
    std::vector<int> idle;
    for (int i = 0; i < THandOffReceiver::kMaxConnections; ++i) {
        idle.push_back(IdleConnection(path));
        ASSERT_GE(idle.back(), 0);
    }
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 100) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    // Every slot is held; fifty senders come at once.
    constexpr int kSenders = 50;
    std::atomic<int> answered{0};
    auto burst = std::async(std::launch::async, [&] {
        std::vector<std::thread> senders;
        for (int i = 0; i < kSenders; ++i) {
            senders.emplace_back([&] {
                if (handoff::Ping(path, 20000) == 0) {
                    ++answered;
                }
            });
        }
        for (std::thread& t : senders) {
            t.join();
        }
    });
    while (burst.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    EXPECT_EQ(answered, kSenders);
    EXPECT_EQ(receiver.Served(), kSenders);
    EXPECT_EQ(receiver.Refused(), 0);
    // The idle ones were closed once their header was a second late.
    for (int fd : idle) {
        char c = 0;
        EXPECT_EQ(::recv(fd, &c, 1, MSG_DONTWAIT), 0) << "closed by the receiver";
        ::close(fd);
    }
    const qint64 ms = timer.elapsed();
    EXPECT_GE(ms, THandOffReceiver::kHeaderTimeoutMs - 100);
    EXPECT_LT(ms, THandOffReceiver::kRequestTimeoutMs) << "the header's deadline, not the request's";
}

TEST_F(ReceiverTest, PeerOfAnotherUidIsRefused) {
    RecordingConnector& a = Add(kMailOnly, "MO_1", true, 1);
    THandOffReceiver receiver(Targets());
    unsigned seen = 12345;
    receiver.SetPeerCheck([&seen](unsigned uid) {
        seen = uid;
        return uid == 4242; // as if we ran under another uid than the sender
    });
    ASSERT_TRUE(receiver.Start(path));
    EXPECT_FALSE(CallPumping(1, "\r\n").has_value());
    EXPECT_EQ(seen, ::getuid());
    EXPECT_EQ(receiver.Refused(), 1);
    EXPECT_TRUE(a.calls.empty());
}

TEST_F(ReceiverTest, StopRemovesTheSocketAndASecondReceiverCannotStart) {
    THandOffReceiver first(Targets());
    ASSERT_TRUE(first.Start(path));
    THandOffReceiver second(Targets());
    EXPECT_FALSE(second.Start(path));
    EXPECT_TRUE(handoff::ReceiverPresent(path));
    first.Stop();
    EXPECT_FALSE(handoff::ReceiverPresent(path));
    EXPECT_NE(::access(path.c_str(), F_OK), 0);
}

} // namespace
} // namespace nuvex
