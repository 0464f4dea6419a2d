#include "core/entry.h"
#include "core/exe_plugin.h"
#include "lib/handoff_wire.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

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

TEST(EntryDispatch, SendToPathsReachTheRunningCopyAsTheBytesTheyAre) {
    test::TempDir dir;
    test::ScopedEnv objects("NUVEX_OBJECTS_DIR", dir.path());
    test::ScopedEnv timing("NUVEX_HANDOFF_TIMING", "2,10,0");
    const int listenFd = handoff::Listen(handoff::SocketPath());
    ASSERT_GE(listenFd, 0);
    ::fcntl(listenFd, F_SETFL, ::fcntl(listenFd, F_GETFL) & ~O_NONBLOCK);
    std::string got;
    std::thread receiver([&] {
        // The ping, then the hand-off; each answered after it was read.
        for (int i = 0; i < 2; ++i) {
            const int fd = ::accept(listenFd, nullptr, nullptr);
            if (fd < 0) {
                return;
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
            if (request.empty()) {
                --i; // a presence probe
            } else {
                got = request;
                const std::string reply = handoff::EncodeReply(handoff::kHandled);
                (void)::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
            }
            ::close(fd);
        }
    });
    // Latin-1 bytes in a UTF-8 locale: not text, still a file's name.
    char program[] = "nuvex";
    char sendTo[] = "/sendto:Pop3_0";
    char file[] = "/home/u/r\xe9sum\xe9.txt";
    char* argv[] = {program, sendTo, file, nullptr};
    const int code = NuvexEntry(3, argv, [] { return std::unique_ptr<TExePlugin>(); });
    receiver.join();
    ::close(listenFd);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(got, handoff::EncodeRequest(0, "Pop3_0\r\n/home/u/r\xe9sum\xe9.txt\r\n"));
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
