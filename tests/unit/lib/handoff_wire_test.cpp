#include "handoff/handoff_request.h"
#include "handoff/handoff_wire.h"
#include "lib/named_objects.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"
#include "tests/support/time_scale.h"

#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace nuvex::handoff {
namespace {

using test::ScopedEnv;
using test::TempDir;
using Lines = std::vector<std::string>;

std::string Bytes(const char* s, std::size_t n) {
    return std::string(s, n);
}

// --- Framing -------------------------------------------------------------------

TEST(HandOffFraming, RequestIsMagicKindLengthPayload) {
    EXPECT_EQ(EncodeRequest(2, "ab"), Bytes("NVXH\x02\0\0\0\x02\0\0\0ab", 14));
    EXPECT_EQ(EncodeRequest(kMailReady, ""), Bytes("NVXH\0\x01\0\0\0\0\0\0", 12));
}

TEST(HandOffFraming, HeaderChecks) {
    struct Row {
        std::string header;
        HeaderCheck want;
    };
    const std::string big = EncodeRequest(0, "").substr(0, 8) + Bytes("\x01\0\x10\0", 4); // 1 MiB + 1
    const std::string exact = EncodeRequest(0, "").substr(0, 8) + Bytes("\0\0\x10\0", 4); // 1 MiB
    const Row rows[] = {
        {EncodeRequest(3, "xyz").substr(0, 12), HeaderCheck::Ok},
        {exact, HeaderCheck::Ok},
        {big, HeaderCheck::TooLarge},
        {Bytes("NVXH\x04\0\0\0\0\0\0\0", 12), HeaderCheck::BadMessage},
        {Bytes("NVXH\xff\xff\xff\xff\0\0\0\0", 12), HeaderCheck::BadMessage},
        // The ping carries nothing.
        {Bytes("NVXH\0\x01\0\0\x01\0\0\0", 12), HeaderCheck::TooLarge},
        {Bytes("GET / HTTP/1.1", 12), HeaderCheck::BadMagic},
        {Bytes("NVXH\0\0", 6), HeaderCheck::BadMagic},
    };
    for (const Row& r : rows) {
        RequestHeader h;
        EXPECT_EQ(DecodeRequestHeader(r.header, h), r.want) << testing::PrintToString(r.header);
    }
    RequestHeader h;
    ASSERT_EQ(DecodeRequestHeader(EncodeRequest(3, "xyz").substr(0, 12), h), HeaderCheck::Ok);
    EXPECT_EQ(h.message, 3u);
    EXPECT_EQ(h.length, 3u);
}

TEST(HandOffFraming, ReplyKeepsTheSign) {
    EXPECT_EQ(EncodeReply(1), Bytes("NVXR\x01\0\0\0", 8));
    EXPECT_EQ(DecodeReply(EncodeReply(-1)), -1);
    EXPECT_EQ(DecodeReply(EncodeReply(0)), 0);
    EXPECT_FALSE(DecodeReply("NVXR\x01\0\0").has_value());
    EXPECT_FALSE(DecodeReply(Bytes("NVXH\x01\0\0\0", 8)).has_value());
}

// --- Payload text ----------------------------------------------------------------

TEST(HandOffPayload, SplitsAtEveryLineEnd) {
    struct Row {
        std::string payload;
        Lines want;
    };
    const Row rows[] = {
        {"", {}},
        {"\r\n", {""}},
        {"a\r\n", {"a"}},
        {"a", {"a"}},
        {"a\r\n\r\n", {"a", ""}},
        {"a\nb\rc\r\n", {"a", "b", "c"}},
        {"a\r\rb", {"a", "", "b"}},
        {"a\n\rb", {"a", "", "b"}},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(SplitPayload(r.payload), r.want) << testing::PrintToString(r.payload);
    }
}

TEST(HandOffPayload, RefusesWhatNoSenderMakes) {
    EXPECT_FALSE(SplitPayload(Bytes("KEY\r\n/tmp/a\0b\r\n", 14)).has_value());
    std::string many;
    for (std::size_t i = 0; i < kMaxLines; ++i) {
        many += "/f\r\n";
    }
    EXPECT_EQ(SplitPayload(many)->size(), kMaxLines);
    EXPECT_FALSE(SplitPayload(many + "/f").has_value());
    EXPECT_FALSE(SplitPayload(std::string(kMaxPayloadBytes + 1, 'x')).has_value());
    EXPECT_EQ(SplitPayload(std::string(kMaxPayloadBytes, 'x'))->size(), 1u);
}

TEST(HandOffPayload, SecondCopyLinesByteExact) {
    struct Row {
        Lines words;
        std::string payload;
    };
    const Row rows[] = {
        // Send To: the key as line 0, the three paths after it.
        {{"/sendto:POP3_1", "/home/u/a.txt", "/home/u/b c.pdf", "/home/u/dir"},
         "POP3_1\r\n/home/u/a.txt\r\n/home/u/b c.pdf\r\n/home/u/dir\r\n"},
        // mailto: line 0 empty, line 1 the whole link.
        {{"/mailto", "mailto:a@b?subject=x"}, "\r\nmailto:a@b?subject=x\r\n"},
        {{"/mailto", "mailto:a@b", "and", "more"}, "\r\nmailto:a@b\r\nand\r\nmore\r\n"},
        // A link given as the first word: only what follows its first colon.
        {{"mailto:a@b?subject=x:y"}, "a@b?subject=x:y\r\n"},
        {{"/readmail"}, "\r\n"},
        {{}, "\r\n"},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(JoinLines(CommandLineLines(r.words)), r.payload);
    }
}

TEST(HandOffPayload, MapiSendByteExact) {
    EXPECT_EQ(MapiSendPayload("line one\r\nline two", "Report", {"/tmp/a.pdf", "/tmp/b c.txt"}, 4242),
              "NOTE=line one\t|\tline two\r\nSUBJECT=Report\r\nFILE0=/tmp/a.pdf\r\nFILE1=/tmp/b c.txt\r\n"
              "ID=4242\r\n");
    // Without attachments the three fixed lines still go.
    EXPECT_EQ(MapiSendPayload("", "", {}, 0), "NOTE=\r\nSUBJECT=\r\nID=0\r\n");
    // A lone CR goes, a lone LF is a line break; the subject gets the same.
    EXPECT_EQ(MapiSendPayload("a\rb\n\nc", "s\r\nt", {}, 4294967295u),
              "NOTE=ab\t|\t\t|\tc\r\nSUBJECT=s\t|\tt\r\nID=4294967295\r\n");
}

TEST(HandOffPayload, MailtoParts) {
    EXPECT_FALSE(ParseMailto({""}).has_value()); // only line 0
    EXPECT_FALSE(ParseMailto({}).has_value());

    auto plain = ParseMailto({"", "mailto:a@b"});
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->address, "a@b");
    EXPECT_EQ(plain->subject, "");
    EXPECT_EQ(plain->body, "");
    EXPECT_EQ(plain->text, "mailto:a@b");

    auto full =
        ParseMailto({"", "mailto:a%40b?Subject=Hi%20you&body=x+y&subject=second&cc=c@d", "tail", "words"});
    ASSERT_TRUE(full);
    EXPECT_EQ(full->address, "a%40b"); // decoding is the receiver's
    EXPECT_EQ(full->subject, "Hi%20you");
    EXPECT_EQ(full->body, "x+y");
    EXPECT_EQ(full->text, "mailto:a%40b?Subject=Hi%20you&body=x+y&subject=second&cc=c@d tail words");
    EXPECT_TRUE(full->attachments.empty());

    // What xdg-email --attach sends: no address, any number of files.
    auto attach = ParseMailto({"", "mailto:?attach=%2Ftmp%2Fa&attach=%2Ftmp%2Fb&attach=&subject=s"});
    ASSERT_TRUE(attach);
    EXPECT_EQ(attach->address, "");
    EXPECT_EQ(attach->attachments, (Lines{"%2Ftmp%2Fa", "%2Ftmp%2Fb"}));
    EXPECT_EQ(attach->subject, "s");

    // A colon only after the "?" leaves no address.
    auto odd = ParseMailto({"", "nocolon?subject=a:b"});
    ASSERT_TRUE(odd);
    EXPECT_EQ(odd->address, "");
    EXPECT_EQ(odd->subject, "a:b");
}

TEST(HandOffPayload, MapiFilesFollowTheLineCount) {
    // FILE2 counts with three lines; gaps and empty values are passed over,
    // and names match in any case.
    EXPECT_EQ(MapiFiles({"FILE0=/a", "file2=/c", "FILE1="}), (Lines{"/a", "/c"}));
    // FILE3 is beyond the last index that three lines allow.
    EXPECT_EQ(MapiFiles({"NOTE=", "FILE3=/d", "ID=1"}), Lines{});
    // The first value of a name wins.
    EXPECT_EQ(MapiFiles({"FILE0=/first", "FILE0=/second"}), Lines{"/first"});
    EXPECT_EQ(ValueOf({"NOTE=a=b", "id=7"}, "ID"), "7");
    EXPECT_EQ(ValueOf({"NOTE=a=b"}, "NOTE"), "a=b");
    EXPECT_EQ(ValueOf({"NOTE"}, "NOTE"), "");
}

TEST(HandOffPayload, RequestsAreDecodedOnceIntoTheirKind) {
    struct Row {
        std::uint32_t kind;
        std::string payload;
        DecodeProblem problem;
    };
    const Row rows[] = {
        {0, "", DecodeProblem::TooFewLines},               // Send To without its account
        {0, "Acc_1\r\n/a\r\n/b\r\n", DecodeProblem::None}, // the account, then the files
        {1, "", DecodeProblem::None},                      // read mail carries nothing
        {2, "ask\r\n", DecodeProblem::TooFewLines},        // mailto without its URL
        {2, "ask\r\nmailto:a@b?subject=s\r\n", DecodeProblem::None},
        {3, "", DecodeProblem::TooFewLines},
        {3, MapiSendPayload("n\nm", "s", {"/f"}, 7), DecodeProblem::None},
        {4, "x", DecodeProblem::UnknownKind},
        {0, std::string("a\0b", 3), DecodeProblem::BadPayload},
    };
    for (const Row& row : rows) {
        const Decoded d = DecodeRequest(row.kind, row.payload);
        EXPECT_EQ(d.problem, row.problem) << row.kind << " " << row.payload;
        EXPECT_EQ(d.request.has_value(), row.problem == DecodeProblem::None) << row.kind;
    }
    const auto sendTo = std::get<SendToRequest>(*DecodeRequest(0, "Acc_1\r\n/a\r\n/b").request);
    EXPECT_EQ(sendTo.accountId, "Acc_1");
    EXPECT_EQ(sendTo.names, (Lines{"/a", "/b"}));
    const auto mailTo = std::get<MailToRequest>(*DecodeRequest(2, "ask\r\nmailto:a@b?subject=s").request);
    EXPECT_TRUE(mailTo.ask);
    EXPECT_EQ(mailTo.parts.subject, "s");
    EXPECT_FALSE(std::get<MailToRequest>(*DecodeRequest(2, "\r\nmailto:a@b").request).ask);
    const auto mapi =
        std::get<MapiSendRequest>(*DecodeRequest(3, MapiSendPayload("n\nm", "s", {"/f"}, 7)).request);
    EXPECT_EQ(mapi.id, "7");
    EXPECT_EQ(mapi.note, OneLine("n\nm"));
    EXPECT_EQ(mapi.subject, "s");
    EXPECT_EQ(mapi.files, Lines{"/f"});
}

// --- Sockets -----------------------------------------------------------------

std::string ReadRequest(int fd) {
    std::string got;
    char buf[4096];
    RequestHeader h;
    while (true) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            break;
        }
        got.append(buf, static_cast<std::size_t>(n));
        if (got.size() >= kHeaderBytes &&
            DecodeRequestHeader(got.substr(0, kHeaderBytes), h) == HeaderCheck::Ok &&
            got.size() == kHeaderBytes + h.length) {
            break;
        }
    }
    return got;
}

// Serves one request on fd: reads it whole and answers result. Connections
// that close without a byte (presence probes) are passed over.
std::string ServeOne(int listenFd, std::int32_t result) {
    for (;;) {
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            return "accept failed";
        }
        std::string got = ReadRequest(fd);
        if (got.empty()) {
            ::close(fd);
            continue;
        }
        const std::string reply = EncodeReply(result);
        (void)::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
        ::close(fd);
        return got;
    }
}

int Blocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

TEST(HandOffSocket, CallGetsTheAnswerAfterTheRequest) {
    TempDir dir;
    const std::string path = dir.file("MAILWndClass");
    EXPECT_FALSE(ReceiverPresent(path));
    EXPECT_FALSE(Call(path, 1, "\r\n", 200).has_value());
    const int fd = Listen(path);
    ASSERT_GE(fd, 0);
    struct stat st {};
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(Listen(path), -1); // a second receiver may not take the name

    std::string got;
    std::thread server([&] { got = ServeOne(Blocking(fd), -5); });
    EXPECT_EQ(Call(path, 2, "\r\nmailto:a@b\r\n", 2000), -5);
    server.join();
    EXPECT_EQ(got, EncodeRequest(2, "\r\nmailto:a@b\r\n"));
    ::close(fd);
}

TEST(HandOffSocket, StaleSocketIsReplacedAndOtherFilesAreNot) {
    TempDir dir;
    const std::string path = dir.file("MAILWndClass");
    int fd = Listen(path);
    ASSERT_GE(fd, 0);
    ::close(fd); // a crashed copy leaves its socket file behind
    fd = Listen(path);
    EXPECT_GE(fd, 0);
    ::close(fd);

    const std::string plain = dir.file("plain");
    std::ofstream(plain) << "mine";
    EXPECT_EQ(Listen(plain), -1);
    std::ifstream in(plain);
    std::string text;
    in >> text;
    EXPECT_EQ(text, "mine");
}

TEST(HandOffSocket, PathLongerThanTheAddressStillWorks) {
    TempDir dir;
    std::string folder = dir.path();
    while (folder.size() < 140) {
        folder += "/deeper-folder-name";
        ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    }
    const std::string path = folder + "/MAILWndClass";
    const int fd = Listen(path);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(ReceiverPresent(path));
    std::thread server([&] { ServeOne(Blocking(fd), 3); });
    EXPECT_EQ(Call(path, kMailReady, "", 2000), 3);
    server.join();
    ::close(fd);
}

TEST(HandOffSocket, SilentReceiverTimesOut) {
    TempDir dir;
    const std::string path = dir.file("MAILWndClass");
    const int fd = Listen(path);
    ASSERT_GE(fd, 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Call(path, 1, "\r\n", 300).has_value()); // accepted by the backlog, never answered
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
            .count();
    EXPECT_GE(ms, 250);
    EXPECT_LT(ms, nuvex::test::ScaledMs(2000));
    ::close(fd);
}

TEST(HandOffSocket, PeerUidIsOurs) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    EXPECT_EQ(PeerUid(pair[0]), ::getuid());
    ::close(pair[0]);
    ::close(pair[1]);
    EXPECT_FALSE(PeerUid(-1).has_value());
}

// --- The upload's event ------------------------------------------------------------

TEST(HandOffEvent, OpenEventFindsOnlyAnEventSomeoneHolds) {
    TempDir dir;
    ScopedEnv objects("NUVEX_OBJECTS_DIR", dir.path());
    EXPECT_EQ(OpenEvent("NuvexSendTo99"), nullptr); // never created: no wait for nothing
    auto held = OpenOrCreateEvent("NuvexSendTo99", true, false);
    ASSERT_NE(held, nullptr);
    auto opened = OpenEvent("NuvexSendTo99");
    ASSERT_NE(opened, nullptr);
    EXPECT_FALSE(opened->TryWait());
    held->Set();
    EXPECT_TRUE(opened->Wait(1000));
    EXPECT_TRUE(opened->TryWait()); // manual reset: stays set
    opened.reset();
    held.reset();
    EXPECT_EQ(OpenEvent("NuvexSendTo99"), nullptr); // the last holder closed it
}

// --- Starting the host -----------------------------------------------------------

void WriteProgram(const std::string& path, const std::string& script, mode_t mode = 0755) {
    std::ofstream(path) << script;
    ::chmod(path.c_str(), mode);
}

TEST(HandOffHost, BesideFirstThenPathSkippingRelativeFolders) {
    TempDir dir;
    const std::string beside = dir.file("beside");
    const std::string onPath = dir.file("onpath");
    const std::string notExec = dir.file("notexec");
    ::mkdir(beside.c_str(), 0700);
    ::mkdir(onPath.c_str(), 0700);
    ::mkdir(notExec.c_str(), 0700);
    WriteProgram(onPath + "/brannock", "#!/bin/sh\n");
    WriteProgram(notExec + "/brannock", "#!/bin/sh\n", 0644);
    ScopedEnv path("PATH", "relative:" + notExec + "::" + onPath);
    EXPECT_EQ(FindHostProgram(beside), onPath + "/brannock");
    WriteProgram(beside + "/brannock", "#!/bin/sh\n");
    EXPECT_EQ(FindHostProgram(beside), beside + "/brannock");
    ScopedEnv none("PATH", notExec);
    EXPECT_EQ(FindHostProgram(""), "");
}

TEST(HandOffHost, StartDetachedRunsTheProgramWithItsArguments) {
    TempDir dir;
    const std::string out = dir.file("out");
    const std::string prog = dir.file("prog");
    WriteProgram(prog,
                 "#!/bin/sh\necho \"$1|$2\" > '" + out + ".tmp' && mv '" + out + ".tmp' '" + out + "'\n");
    ASSERT_TRUE(StartDetached(prog, {"a b", "c"}));
    std::string text;
    for (int i = 0; i < 200 && text.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::ifstream in(out);
        std::getline(in, text);
    }
    EXPECT_EQ(text, "a b|c");
    EXPECT_FALSE(StartDetached(dir.file("missing"), {}));
}

TEST(HandOffHost, TimingFromTheEnvironment) {
    {
        ScopedEnv env("NUVEX_HANDOFF_TIMING", "3,20,0");
        const ForwardTiming t = TimingFromEnvironment();
        EXPECT_EQ(t.polls, 3);
        EXPECT_EQ(t.intervalMs, 20);
        EXPECT_EQ(t.settleMs, 0);
    }
    for (const char* bad : {"x", "1,2", "-1,2,3", "1,2,999999"}) {
        ScopedEnv env("NUVEX_HANDOFF_TIMING", bad);
        const ForwardTiming t = TimingFromEnvironment();
        EXPECT_EQ(t.polls, 51) << bad;
        EXPECT_EQ(t.intervalMs, 100) << bad;
        EXPECT_EQ(t.settleMs, 2000) << bad;
    }
}

} // namespace
} // namespace nuvex::handoff
