// Peak resident memory of a draft upload: 200 MiB of files posted to a sink on
// loopback that reads and drops the request. The file data is streamed from
// disk, so the peak should stay near the process's size before the upload,
// far below the bytes sent. Prints the peak (VmHWM) before and after, the
// bytes the sink counted and the rate, as the median of a few runs.
//   draft_upload_bench [MiB] [runs]
#include "lib/crypt_url.h"
#include "upload/draft_upload_job.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

long PeakRssKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return -1;
}

// Accepts one connection per upload, drops the body and answers status="ok".
class Sink {
public:
    Sink() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 4) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            std::perror("sink");
            std::exit(1);
        }
        port_ = ntohs(a.sin_port);
        nuvex::TCryptURL r;
        r.SetParam("URL", "http://127.0.0.1/draft");
        const std::string body = "<r status=\"ok\" url=\"" + r.EncodeParams() + "\"/>";
        reply_ = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                 "\r\nConnection: close\r\n\r\n" + body;
    }
    ~Sink() { ::close(fd_); }
    int port() const { return port_; }

    // Serves one request; answers the body bytes read.
    unsigned long long ServeOne() {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 30'000) != 1) {
            return 0;
        }
        const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) {
            return 0;
        }
        timeval tv{30, 0};
        ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        std::vector<char> buf(256 * 1024);
        std::string head;
        unsigned long long want = 0, got = 0;
        bool inBody = false;
        for (;;) {
            const ssize_t n = ::recv(c, buf.data(), buf.size(), 0);
            if (n <= 0) {
                break;
            }
            if (!inBody) {
                head.append(buf.data(), static_cast<std::size_t>(n));
                const std::size_t end = head.find("\r\n\r\n");
                if (end == std::string::npos) {
                    continue;
                }
                const std::size_t cl = head.find("Content-Length: ");
                want = cl == std::string::npos ? 0 : std::strtoull(head.c_str() + cl + 16, nullptr, 10);
                got = head.size() - end - 4;
                inBody = true;
            } else {
                got += static_cast<unsigned long long>(n);
            }
            if (got >= want) {
                break;
            }
        }
        ::send(c, reply_.data(), reply_.size(), MSG_NOSIGNAL);
        ::shutdown(c, SHUT_WR);
        ::close(c);
        return got;
    }

private:
    int fd_ = -1;
    int port_ = 0;
    std::string reply_;
};

} // namespace

int main(int argc, char** argv) {
    const int mib = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const char* tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/nuvex-upload-bench-XXXXXX";
    if (!::mkdtemp(tmpl.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = tmpl;
    // Files of 8 MiB written with real bytes, so reading them costs what it would.
    std::vector<std::string> files;
    std::string block(1 << 20, '\0');
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<char>((i * 131) >> 3);
    }
    for (int left = mib, i = 0; left > 0; ++i) {
        const int size = std::min(left, 8);
        files.push_back(dir + "/file" + std::to_string(i) + ".bin");
        std::ofstream out(files.back(), std::ios::binary);
        for (int m = 0; m < size; ++m) {
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
        }
        left -= size;
    }
    block = std::string();

    nuvex::DraftUploadRequest request;
    request.accountId = "BENCH_1";
    request.method = "CreateDraft";
    request.login = "bench";
    request.password = "bench";
    request.subject = "bench";
    request.body = "bench";
    request.handOffId = "bench" + std::to_string(::getpid());
    request.files = files;
    nuvex::DraftUploadOptions options;
    // The 10 MiB rule would leave most files out; lifted here to measure streaming.
    options.maxFileBytes = static_cast<std::uint64_t>(mib + 1) << 20;

    const long before = PeakRssKiB();
    std::vector<double> seconds;
    std::vector<long> peaks;
    unsigned long long received = 0;
    bool allCreated = true;
    for (int run = 0; run < runs; ++run) {
        Sink sink;
        request.serviceUrl = "http://127.0.0.1:" + std::to_string(sink.port()) + "/ws";
        std::atomic<unsigned long long> got{0};
        std::thread server([&] { got = sink.ServeOne(); });
        const auto start = std::chrono::steady_clock::now();
        const nuvex::DraftUploadResult r = nuvex::RunDraftUpload(request, {}, options);
        const auto end = std::chrono::steady_clock::now();
        server.join();
        allCreated = allCreated && r.outcome == nuvex::DraftUploadOutcome::Created;
        received = got;
        seconds.push_back(std::chrono::duration<double>(end - start).count());
        peaks.push_back(PeakRssKiB());
    }
    for (const std::string& f : files) {
        ::unlink(f.c_str());
    }
    ::rmdir(dir.c_str());

    std::sort(seconds.begin(), seconds.end());
    const double median = seconds[seconds.size() / 2];
    std::printf("files: %zu, file data: %d MiB, request body received: %.1f MiB, draft confirmed: %s\n",
                files.size(), mib, static_cast<double>(received) / 1048576.0, allCreated ? "yes" : "NO");
    std::printf("peak RSS before: %.1f MiB, after %d runs: %.1f MiB (%.1f MiB above the start)\n",
                static_cast<double>(before) / 1024.0, runs, static_cast<double>(peaks.back()) / 1024.0,
                static_cast<double>(peaks.back() - before) / 1024.0);
    std::printf("median time: %.2f s, median rate: %.1f MiB/s\n", median, mib / median);
    return allCreated ? 0 : 1;
}
