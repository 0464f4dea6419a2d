#include "core/entry.h"
#include "core/exe_plugin.h"
#include "handoff/handoff_wire.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

#include <atomic>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace nuvex {
namespace {

TEST(EntryDispatch, HandOffWordsInOrder) {
    EXPECT_EQ(ClassifyEntry("/sendto:C:/files/a.txt"), EntryAction::SendTo);
    EXPECT_EQ(ClassifyEntry("mailto:someone@example.org"), EntryAction::MailTo);
    EXPECT_EQ(ClassifyEntry("/readmail"), EntryAction::ReadMail);
    // First match wins: a Send To argument that mentions mailto is still Send To.
    EXPECT_EQ(ClassifyEntry("sendto:mailto:readmail"), EntryAction::SendTo);
    EXPECT_EQ(ClassifyEntry("mailto:readmail"), EntryAction::MailTo);
}

TEST(EntryDispatch, TestsAreCaseSensitiveSubstrings) {
    EXPECT_EQ(ClassifyEntry("SENDTO:x"), EntryAction::Run);
    EXPECT_EQ(ClassifyEntry("MAILTO:x"), EntryAction::Run);
    EXPECT_EQ(ClassifyEntry("sendto"), EntryAction::Run); // the colon belongs to the word
    EXPECT_EQ(ClassifyEntry(""), EntryAction::Run);
    EXPECT_EQ(ClassifyEntry("-Embedding"), EntryAction::Run);
}

TEST(EntryDispatch, HandOffArgumentsNeverStartThePlugin) {
    // No running copy and no brannock to start: the forward gives up after
    // its (here shortened) wait and says so in its exit code.
    test::TempDir dir;
    test::ScopedEnv objects("NUVEX_OBJECTS_DIR", dir.path());
    test::ScopedEnv path("PATH", dir.path());
    test::ScopedEnv timing("NUVEX_HANDOFF_TIMING", "2,10,0");
    for (const char* arg : {"mailto:a@b", "/sendto:/tmp/a.txt", "/readmail"}) {
        char program[] = "nuvex";
        std::string copy = arg;
        char* argv[] = {program, copy.data(), nullptr};
        bool made = false;
        const int code = NuvexEntry(2, argv, [&made] {
            made = true;
            return std::unique_ptr<TExePlugin>();
        });
        EXPECT_FALSE(made) << arg;
        EXPECT_NE(code, 0) << arg; // the running program was not reached
    }
}

// Runs the entry with words against a receiver that answers every request
// with kHandled; gives the exit code and the last request ("" for none).
std::pair<int, std::string> ForwardToFakeReceiver(std::vector<std::string> words) {
    test::TempDir dir;
    test::ScopedEnv objects("NUVEX_OBJECTS_DIR", dir.path());
    test::ScopedEnv timing("NUVEX_HANDOFF_TIMING", "2,10,0");
    const int listenFd = handoff::Listen(handoff::SocketPath());
    EXPECT_GE(listenFd, 0);
    std::atomic<bool> done{false};
    std::string got;
    std::thread receiver([&] {
        while (!done) {
            pollfd p{listenFd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) {
                continue;
            }
            const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                continue;
            }
            std::string request;
            char buf[4096];
            handoff::RequestHeader h{};
            ssize_t n = 0;
            while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) {
                request.append(buf, static_cast<std::size_t>(n));
                if (request.size() >= handoff::kHeaderBytes &&
                    handoff::DecodeRequestHeader(request.substr(0, handoff::kHeaderBytes), h) ==
                        handoff::HeaderCheck::Ok &&
                    request.size() == handoff::kHeaderBytes + h.length) {
                    break;
                }
            }
            if (!request.empty()) { // not a presence probe
                got = request;
                const std::string reply = handoff::EncodeReply(handoff::kHandled);
                (void)::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
            }
            ::close(fd);
        }
    });
    std::string program = "nuvex";
    std::vector<char*> argv{program.data()};
    for (std::string& w : words) {
        argv.push_back(w.data());
    }
    argv.push_back(nullptr);
    const int code = NuvexEntry(static_cast<int>(argv.size() - 1), argv.data(),
                                [] { return std::unique_ptr<TExePlugin>(); });
    done = true;
    receiver.join();
    ::close(listenFd);
    return {code, got};
}

TEST(EntryDispatch, SendToPathsReachTheRunningCopyAbsoluteAndAsTheBytesTheyAre) {
    char cwd[4096];
    ASSERT_TRUE(::getcwd(cwd, sizeof cwd));
    struct Row {
        std::vector<std::string> words;
        int code;
        std::string payload; // empty: nothing may reach the running copy
    };
    const Row rows[] = {
        // Latin-1 bytes in a UTF-8 locale: not text, still a file's name.
        {{"/sendto:Pop3_0", "/home/u/r\xe9sum\xe9.txt"}, 0, "Pop3_0\r\n/home/u/r\xe9sum\xe9.txt\r\n"},
        // Relative to this copy's folder, not the running copy's.
        {{"/sendto:Pop3_0", "notes.txt"}, 0, "Pop3_0\r\n" + std::string(cwd) + "/notes.txt\r\n"},
        // A line break would make two names of one.
        {{"/sendto:Pop3_0", "/dl/evil\n/home/u/.ssh/id_rsa"}, 1, ""},
        {{"/sendto:Pop3_0\r\nWEBVAULT_0", "/tmp/a"}, 1, ""},
        {{"/mailto", "mailto:a@b", "x\r\ny"}, 1, ""},
        {{"/mailto", "mailto:a@b"}, 0, "\r\nmailto:a@b\r\n"},
    };
    for (const Row& r : rows) {
        const auto [code, got] = ForwardToFakeReceiver(r.words);
        EXPECT_EQ(code, r.code) << r.words[1];
        const int kind = r.words[0] == "/mailto" ? 2 : 0;
        EXPECT_EQ(got, r.payload.empty() ? "" : handoff::EncodeRequest(kind, r.payload)) << r.words[1];
    }
}

TEST(RunSwitches, AnyCaseAnyLeadingDashesAndSlashes) {
    EXPECT_EQ(ParseRunSwitch("/regserver"), RunSwitch::RegServer);
    EXPECT_EQ(ParseRunSwitch("-RegServer"), RunSwitch::RegServer);
    EXPECT_EQ(ParseRunSwitch("--//-REGSERVER"), RunSwitch::RegServer);
    EXPECT_EQ(ParseRunSwitch("/UnRegServer"), RunSwitch::UnregServer);
    EXPECT_EQ(ParseRunSwitch("manualupdate"), RunSwitch::ManualUpdate);
    EXPECT_EQ(ParseRunSwitch("///ManualUpdate"), RunSwitch::ManualUpdate);
}

TEST(RunSwitches, AnythingElseIsAStart) {
    EXPECT_EQ(ParseRunSwitch(""), RunSwitch::Start);
    EXPECT_EQ(ParseRunSwitch("/regserverx"), RunSwitch::Start);
    EXPECT_EQ(ParseRunSwitch("reg server"), RunSwitch::Start);
    EXPECT_EQ(ParseRunSwitch("-Embedding"), RunSwitch::Start);
    EXPECT_EQ(ParseRunSwitch("/ regserver"), RunSwitch::Start);
}

} // namespace
} // namespace nuvex
