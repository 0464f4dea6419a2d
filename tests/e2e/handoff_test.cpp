// Hand-offs between real processes: a second nuvex, xdg-email with nuvex as
// the mailto handler, and the Simple MAPI library loaded by a C program.
#include "handoff/handoff_wire.h"
#include "lib/crypt_url.h"
#include "tests/e2e/e2e_harness.h"
#include "tests/e2e/xvfb_session.h"
#include "tests/support/time_scale.h"
#include "tests/support/wmcheck_harness.h"

#include <cstring>
#include <elf.h>
#include <set>
#include <sys/socket.h>

namespace nuvex::e2e {
namespace {

using ::testing::HasSubstr;

std::string MapiClient() {
    return std::string(NUVEX_BINARY_DIR) + "/mapi/mapi_client";
}
std::string MapiLibrary() {
    return std::string(NUVEX_BINARY_DIR) + "/mapi/libNuvexDll.so";
}

class HandOffE2eTest : public E2eTest {
protected:
    void SetUp() override {
        E2eTest::SetUp();
        // Only the build's brannock can be started, and only where a test wants it.
        bin_ = dir_.file("bin");
        ::mkdir(bin_.c_str(), 0700);
        oldPath_ = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
        setenv("PATH", (bin_ + ":" + oldPath_).c_str(), 1);
        // An account's webmail opens through the desktop's opener: ours records it.
        const std::string opener = bin_ + "/xdg-open";
        std::ofstream(opener) << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" << navFile_ << "'\n";
        ::chmod(opener.c_str(), 0700);
        // The tests read the hand-off's info lines, quiet unless asked for.
        setenv("QT_LOGGING_RULES", "nuvex.handoff.info=true", 1);
    }
    void TearDown() override {
        unsetenv("QT_LOGGING_RULES");
        Ctl({"stop"});
        WaitUntil([this] { return FindNuvex() < 0; }, 5000);
        E2eTest::TearDown();
        setenv("PATH", oldPath_.c_str(), 1);
        unsetenv("NUVEX_HANDOFF_TIMING");
    }

    void AddPop3(const std::string& user, const std::string& openUrl) {
        const std::string pw = dir_.file(user + ".pw");
        std::ofstream(pw) << "secret\n";
        Result r = Run({AccountTool(), "add", "--type", "pop3", "--email", user + "@example.org", "--login",
                        user, "--server", "127.0.0.1", "--password-file", pw, "--open-action", "webmail",
                        "--webmail-url", openUrl});
        ASSERT_EQ(r.code, 0) << r.out << r.err;
    }

    // A hosted-webmail account on the development service: it takes files
    // and mailto links, and the service keeps the drafts it is sent.
    void SetWebvaultAccount() {
        if (std::string why = test::WmcheckHarness::Unavailable(); !why.empty()) {
            GTEST_SKIP() << why;
        }
        test::WmAccount carol;
        carol.login = "carol";
        carol.password = "pw";
        service_.SetAccounts({carol});
        std::string error;
        ASSERT_TRUE(service_.Start(error)) << error;
        ASSERT_EQ(Ctl({"set", "MAIL", "WEBVAULT_SERVICE_URL", service_.ServiceUrl()}).code, 0);
        TCryptURL record;
        record.SetParam("USERNAME", "carol");
        record.SetParam("EMAIL", "carol@example.org");
        record.SetParam("PASSWORD", "pw");
        ASSERT_EQ(Ctl({"set", "MAIL", "ACCOUNTS", "WEBVAULT_0=" + record.EncodeParams()}).code, 0);
        ASSERT_EQ(Ctl({"refresh", "MAIL"}).code, 0);
        ASSERT_TRUE(WaitUntil(
            [this] {
                return Ctl({"button", "MAIL"}).out.find("carol@example.org") != std::string::npos;
            },
            10000));
    }

    std::string Log() { return ReadFile(dir_.file("host.err")); }
    bool WaitLog(const std::string& text) {
        return WaitUntil([&] { return Log().find(text) != std::string::npos; }, 10000);
    }
    std::string Touch(const std::string& name) {
        const std::string path = dir_.file(name);
        std::ofstream(path) << name;
        return path;
    }

    bool WaitDrafts(std::size_t n) {
        return WaitUntil([&] { return service_.Drafts().size() >= n; }, 15000);
    }

    std::string bin_;
    std::string oldPath_;
    test::WmcheckHarness service_;
};

TEST_F(HandOffE2eTest, ReadMailStartsTheHostWhenNoCopyRunsAndOpensTheAccount) {
    // The account goes into the host's store while a host runs; then no copy runs.
    pid_t first = StartHost();
    ASSERT_TRUE(WaitPluginUp());
    AddPop3("alice", "https://mail.example.org/alice");
    ASSERT_EQ(Ctl({"stop"}).code, 0);
    ASSERT_EQ(WaitExitCode(first, 10000), 0);
    ASSERT_TRUE(WaitUntil([this] { return FindNuvex() < 0; }, 10000));

    ASSERT_EQ(::symlink(Brannock().c_str(), (bin_ + "/brannock").c_str()), 0);
    // Headless machines start slowly under load: more polls than the usual 51.
    setenv("NUVEX_HANDOFF_TIMING", "200,100,2000", 1);
    Result r = Run({Nuvex(), "/readmail"}, 40000);
    EXPECT_EQ(r.code, 0) << r.err;
    ASSERT_TRUE(WaitUntil([this] { return !Navigations().empty(); }, 10000)) << r.out << r.err;
    EXPECT_EQ(Navigations(), "https://mail.example.org/alice\n");
}

TEST_F(HandOffE2eTest, NoCopyAndNoHostEndsAfterTheBoundedWait) {
    setenv("PATH", bin_.c_str(), 1);
    setenv("NUVEX_HANDOFF_TIMING", "5,100,2000", 1);
    const auto start = Clock::now();
    Result r = Run({Nuvex(), "/mailto", "mailto:a@b"});
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_EQ(r.code, 1);
    EXPECT_THAT(r.err, HasSubstr("brannock was found neither beside nuvex nor on PATH"));
    EXPECT_THAT(r.err, HasSubstr("nothing was handed over"));
    EXPECT_GE(ms, 500);
    EXPECT_LT(ms, nuvex::test::ScaledMs(5000));
    EXPECT_EQ(FindNuvex(), -1);
}

TEST_F(HandOffE2eTest, SecondCopyHandsMailtoAndSendToToTheRunningCopy) {
    StartHost();
    ASSERT_TRUE(WaitPluginUp());
    SetWebvaultAccount();
    const pid_t running = FindNuvex();

    Result mailto = Run({Nuvex(), "/mailto", "mailto:a@b?subject=x"});
    EXPECT_EQ(mailto.code, 0) << mailto.err;
    EXPECT_TRUE(WaitLog("mailto handed to WEBVAULT_0: status 0")) << Log();
    // The service answered with its compose page, which the desktop's opener got.
    EXPECT_TRUE(WaitUntil([this] { return Navigations().find("/web/compose?") != std::string::npos; }, 10000))
        << Navigations() << Log();

    // Two files and a folder with two files and a subfolder with one.
    const std::string f1 = Touch("one.txt");
    const std::string f2 = Touch("two words.txt");
    ::mkdir(dir_.file("folder").c_str(), 0700);
    ::mkdir(dir_.file("folder/sub").c_str(), 0700);
    Touch("folder/a");
    Touch("folder/b");
    Touch("folder/sub/c");
    Result sendTo = Run({Nuvex(), "/sendto:WEBVAULT_0", f1, f2, dir_.file("folder")});
    EXPECT_EQ(sendTo.code, 0) << sendTo.err;
    EXPECT_TRUE(WaitLog("Send To handed to WEBVAULT_0: status 0, 5 lines")) << Log();
    // The files became a draft on the service, the folder's three included.
    ASSERT_TRUE(WaitDrafts(1)) << Log() << service_.Stderr();
    for (const char* name : {"one.txt", "two words.txt", "folder/a", "folder/b", "folder/sub/c"}) {
        EXPECT_THAT(service_.Drafts()[0], HasSubstr(name));
    }

    // A key that names no account reaches the running copy and goes no further.
    Result unknown = Run({Nuvex(), "/sendto:NOSUCH_9", f1});
    EXPECT_EQ(unknown.code, 1);
    EXPECT_THAT(unknown.err, HasSubstr("took nothing"));
    EXPECT_EQ(FindNuvex(), running); // the second copies never became plug-ins

    // The Simple MAPI library reaches the same account; the caller is let go
    // once the upload has taken the files.
    Result mapi = Run({MapiClient(), MapiLibrary(), "send", "Subject", "Body", f1, f2});
    EXPECT_EQ(mapi.code, 0) << mapi.err;
    long ms = -1;
    ASSERT_EQ(std::sscanf(mapi.out.c_str(), "rc=26 ms=%ld", &ms), 1) << mapi.out;
    EXPECT_LT(ms, nuvex::test::ScaledMs(5000));
    EXPECT_TRUE(WaitLog("Simple MAPI send handed to WEBVAULT_0: status 0, 5 lines")) << Log();
    ASSERT_TRUE(WaitDrafts(2)) << Log() << service_.Stderr();
    EXPECT_THAT(service_.Drafts()[1], HasSubstr("Subject"));
    // A line break in a path would add lines of the caller's choosing.
    Result injected =
        Run({MapiClient(), MapiLibrary(), "send", "S", "N", f1 + "\r\nFILE1=" + f2 + "\r\nID=1"});
    EXPECT_THAT(injected.out, HasSubstr("rc=11 ")) << injected.err;
}

TEST_F(HandOffE2eTest, AMailtoLinkNeverSendsAFile) {
    StartHost();
    ASSERT_TRUE(WaitPluginUp());
    SetWebvaultAccount();
    ::mkdir(dir_.file("home").c_str(), 0700);
    ::mkdir(dir_.file("home/.ssh").c_str(), 0700);
    const std::string key = Touch("home/.ssh/id_rsa");
    const std::string plain = Touch("home/notes.txt");
    // What a clicked link runs, and the desktop entry's word on a copy that
    // has no display to ask on.
    const std::vector<std::string> rows[] = {
        {"/mailto", "mailto:friend@x?subject=Hello&attach=" + key},
        {"/mailto", "mailto:?attach=file://" + dir_.file("home") + "&attachment=" + plain},
        {"/mailto:ask", "mailto:friend@x?attach=" + plain},
    };
    std::size_t composed = 0;
    for (const auto& row : rows) {
        Result r = Run({Nuvex(), row[0], row[1]});
        EXPECT_EQ(r.code, 0) << r.err;
        // The message itself still reaches the service's compose page.
        EXPECT_TRUE(WaitUntil(
            [&] {
                std::size_t n = 0;
                for (std::size_t at = 0; (at = Navigations().find("/web/compose?", at)) != std::string::npos;
                     ++at) {
                    ++n;
                }
                return n > composed;
            },
            10000))
            << row[1] << Log();
        ++composed;
    }
    EXPECT_TRUE(WaitLog("links never send files, they were left out")) << Log();
    EXPECT_TRUE(WaitLog("no window can ask the user")) << Log();
    EXPECT_TRUE(service_.Drafts().empty()) << service_.Drafts()[0];
}

TEST_F(HandOffE2eTest, XdgEmailAttachSendsOnlyWhatTheUserConfirmed) {
    if (std::string why = XvfbSession::Unavailable(); !why.empty()) {
        GTEST_SKIP() << why;
    }
    XvfbSession x;
    std::string error;
    ASSERT_TRUE(x.Start(dir_.file("x"), error)) << error;
    setenv("DISPLAY", x.Display().c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    ::unlink((bin_ + "/xdg-open").c_str()); // xdg-email goes through the real one
    StartHost(false);
    ASSERT_TRUE(WaitPluginUp()) << Log();
    SetWebvaultAccount();
    const std::string apps = dir_.path() + "/data/applications";
    ASSERT_EQ(Run({"/bin/mkdir", "-p", apps}).code, 0);
    std::ofstream(apps + "/nuvex-handoff-test.desktop")
        << "[Desktop Entry]\nType=Application\nName=Nuvex test\nExec=" << Nuvex()
        << " /mailto:" << handoff::kMailtoAsk << " %u\nMimeType=x-scheme-handler/mailto;\nNoDisplay=true\n";
    Result mime =
        Run({"/usr/bin/xdg-mime", "default", "nuvex-handoff-test.desktop", "x-scheme-handler/mailto"});
    ASSERT_EQ(mime.code, 0) << mime.err;
    const std::string file = Touch("report 1.txt");
    auto xdo = [this](std::vector<std::string> args) {
        args.insert(args.begin(), {"/usr/bin/env", "xdotool"});
        return Run(args, 10000);
    };
    // Enter answers the default button, "Don't send"; then Alt+S sends.
    for (const char* keys : {"Return", "alt+s"}) {
        Result mail = Run({"/usr/bin/xdg-email", "--subject", "Files", "--attach", file, "a@b.example"});
        EXPECT_EQ(mail.code, 0) << mail.out << mail.err;
        std::string id;
        ASSERT_TRUE(WaitUntil(
            [&] {
                Result r = xdo({"search", "--onlyvisible", "--name", "^Send files\\? - "});
                id = r.code == 0 ? r.out.substr(0, r.out.find('\n')) : std::string();
                return !id.empty();
            },
            20000, 200))
            << Log();
        // Mapped is not yet painted and focused.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        ASSERT_EQ(xdo({"windowfocus", "--sync", id}).code, 0);
        ASSERT_EQ(xdo({"key", keys}).code, 0);
        ASSERT_TRUE(WaitUntil(
            [&] {
                return xdo({"search", "--onlyvisible", "--name", "^Send files"}).code != 0;
            },
            10000))
            << keys;
        if (std::string(keys) == "Return") {
            std::this_thread::sleep_for(std::chrono::milliseconds(1000));
            EXPECT_TRUE(service_.Drafts().empty()) << "Don't send is the default";
        }
    }
    // The file, then NOTE and SUBJECT.
    EXPECT_TRUE(WaitLog("mailto with attachments handed to WEBVAULT_0: status 0, 3 lines")) << Log();
    ASSERT_TRUE(WaitDrafts(1)) << Log() << service_.Stderr();
    EXPECT_THAT(service_.Drafts()[0], HasSubstr("report 1.txt"));
    EXPECT_EQ(service_.Drafts().size(), 1u);
    Ctl({"stop"});
    WaitUntil([this] { return FindNuvex() < 0; }, 5000);
    x.Stop();
}

// --- The Simple MAPI library ---------------------------------------------------

// A receiver that records every request and answers each with kHandled,
// optionally setting the upload's event first.
class FakeReceiver {
public:
    explicit FakeReceiver(std::string path) : path_(std::move(path)) {
        fd_ = handoff::Listen(path_);
        if (fd_ >= 0) {
            const int flags = ::fcntl(fd_, F_GETFL);
            ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK);
            thread_ = std::thread([this] { Serve(); });
        }
    }
    ~FakeReceiver() {
        stop_ = true;
        ::shutdown(fd_, SHUT_RDWR);
        if (thread_.joinable()) {
            thread_.join();
        }
        ::close(fd_);
    }
    bool Ok() const { return fd_ >= 0; }
    std::vector<std::string> Requests() {
        std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    void Serve() {
        while (!stop_) {
            const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) {
                return;
            }
            std::string got;
            char buf[65536];
            handoff::RequestHeader h;
            ssize_t n = 0;
            while ((n = ::recv(c, buf, sizeof buf, 0)) > 0) {
                got.append(buf, static_cast<std::size_t>(n));
                if (got.size() >= handoff::kHeaderBytes &&
                    handoff::DecodeRequestHeader(got.substr(0, handoff::kHeaderBytes), h) ==
                        handoff::HeaderCheck::Ok &&
                    got.size() == handoff::kHeaderBytes + h.length) {
                    break;
                }
            }
            if (!got.empty()) {
                {
                    std::lock_guard lock(mutex_);
                    requests_.push_back(got);
                }
                const std::string reply = handoff::EncodeReply(handoff::kHandled);
                (void)::send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
            }
            ::close(c);
        }
    }

    std::string path_;
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> requests_;
};

TEST_F(HandOffE2eTest, MapiSendMailHandsTwoAttachmentsByteForByte) {
    FakeReceiver receiver(handoff::SocketPath());
    ASSERT_TRUE(receiver.Ok());
    const std::string a = Touch("a.pdf");
    const std::string b = Touch("b c.txt");
    Result r = Run({MapiClient(), MapiLibrary(), "send", "Quarterly", "Hello\r\nsecond line", a, b});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("rc=26 "));
    const auto requests = receiver.Requests();
    ASSERT_EQ(requests.size(), 1u);
    const std::string& req = requests[0];
    const std::string expectStart =
        "NOTE=Hello\t|\tsecond line\r\nSUBJECT=Quarterly\r\nFILE0=" + a + "\r\nFILE1=" + b + "\r\nID=";
    ASSERT_GT(req.size(), handoff::kHeaderBytes);
    handoff::RequestHeader h;
    ASSERT_EQ(handoff::DecodeRequestHeader(req.substr(0, handoff::kHeaderBytes), h),
              handoff::HeaderCheck::Ok);
    EXPECT_EQ(h.message, 3u);
    const std::string payload = req.substr(handoff::kHeaderBytes);
    EXPECT_EQ(h.length, payload.size());
    ASSERT_EQ(payload.compare(0, expectStart.size(), expectStart), 0) << payload;
    const std::string id = payload.substr(expectStart.size());
    ASSERT_GE(id.size(), 3u);
    EXPECT_EQ(id.substr(id.size() - 2), "\r\n");
    EXPECT_EQ(id.find_first_not_of("0123456789"), id.size() - 2) << id;
}

TEST_F(HandOffE2eTest, MapiEdgeInputsAllAnswerNotSupported) {
    FakeReceiver receiver(handoff::SocketPath());
    ASSERT_TRUE(receiver.Ok());
    Result r = Run({MapiClient(), MapiLibrary(), "edge"});
    ASSERT_EQ(r.code, 0) << r.err;
    std::istringstream lines(r.out);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ++count;
        EXPECT_THAT(line, HasSubstr(" rc=26")) << line;
    }
    EXPECT_EQ(count, 16) << r.out;
    EXPECT_THAT(r.out, HasSubstr("MAPILogon rc=26 session=untouched"));
    // The null message and the broken record are not handed over; the empty
    // message and the one with 10 000 recipients are, recipients left out.
    const auto requests = receiver.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].substr(handoff::kHeaderBytes, 20), "NOTE=\r\nSUBJECT=\r\nID=");
    const std::string second = requests[1].substr(handoff::kHeaderBytes);
    EXPECT_EQ(second.substr(0, second.find("ID=")), "NOTE=line one\t|\tline \xe9 two\r\nSUBJECT=Gr\xfc\xdf"
                                                    "e\r\nFILE0=/tmp/d\xe9j\xe0.txt\r\n");
    EXPECT_EQ(second.find("M\xfcller"), std::string::npos);
}

TEST_F(HandOffE2eTest, MapiWithoutProgramOrHostReturnsAfterTheBoundedWait) {
    // The library copied where no brannock lies beside it, and none on PATH.
    const std::string lib = dir_.file("libNuvexDll.so");
    ASSERT_EQ(Run({"/bin/cp", MapiLibrary(), lib}).code, 0);
    setenv("PATH", bin_.c_str(), 1);
    Result r = Run({MapiClient(), lib, "send", "s", "n", "/tmp/x"});
    EXPECT_EQ(r.code, 0) << r.err;
    long ms = -1;
    ASSERT_EQ(std::sscanf(r.out.c_str(), "rc=26 ms=%ld", &ms), 1) << r.out;
    // 51 polls of 100 ms; nothing started, nothing sent.
    EXPECT_GE(ms, 5000);
    EXPECT_LT(ms, nuvex::test::ScaledMs(9000));
    EXPECT_THAT(r.err, HasSubstr("did not appear"));
    EXPECT_EQ(FindNuvex(), -1);
}

// The names the library defines in its dynamic symbol table, read from the
// ELF file itself.
std::set<std::string> DefinedDynamicSymbols(const std::string& path) {
    const std::string elf = ReadFile(path);
    std::set<std::string> names;
    if (elf.size() < sizeof(Elf64_Ehdr) || elf.compare(0, 4, ELFMAG) != 0 || elf[EI_CLASS] != ELFCLASS64) {
        ADD_FAILURE() << path << " is not a 64-bit ELF file";
        return names;
    }
    Elf64_Ehdr eh;
    std::memcpy(&eh, elf.data(), sizeof eh);
    auto section = [&](std::size_t i) {
        Elf64_Shdr sh{};
        const std::size_t at = eh.e_shoff + i * eh.e_shentsize;
        if (at + sizeof sh <= elf.size()) {
            std::memcpy(&sh, elf.data() + at, sizeof sh);
        }
        return sh;
    };
    for (std::size_t i = 0; i < eh.e_shnum; ++i) {
        const Elf64_Shdr sh = section(i);
        if (sh.sh_type != SHT_DYNSYM) {
            continue;
        }
        const Elf64_Shdr strtab = section(sh.sh_link);
        for (std::size_t off = sh.sh_offset; off + sizeof(Elf64_Sym) <= sh.sh_offset + sh.sh_size;
             off += sizeof(Elf64_Sym)) {
            Elf64_Sym sym;
            std::memcpy(&sym, elf.data() + off, sizeof sym);
            const unsigned bind = ELF64_ST_BIND(sym.st_info);
            if (sym.st_shndx == SHN_UNDEF || sym.st_name == 0 || (bind != STB_GLOBAL && bind != STB_WEAK)) {
                continue;
            }
            names.insert(std::string(elf.c_str() + strtab.sh_offset + sym.st_name));
        }
    }
    return names;
}

// The list kept in the repository: the "global:" names of the version script.
std::set<std::string> ListedExports() {
    std::istringstream in(ReadFile(std::string(NUVEX_SOURCE_DIR) + "/mapi/exports.map"));
    std::set<std::string> names;
    std::string word;
    bool global = false;
    while (in >> word) {
        if (word == "global:" || word == "local:") {
            global = word == "global:";
        } else if (global && word.size() > 1 && word.back() == ';') {
            names.insert(word.substr(0, word.size() - 1));
        }
    }
    return names;
}

TEST(MapiLibrary, ExportsTheTwelveFunctionsAndNothingElse) {
    const std::set<std::string> listed = ListedExports();
    EXPECT_EQ(listed.size(), 12u);
    EXPECT_EQ(DefinedDynamicSymbols(MapiLibrary()), listed);
}

} // namespace
} // namespace nuvex::e2e
