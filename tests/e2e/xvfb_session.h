#pragma once
// A private X server for end-to-end tests that drive real windows: Xvfb on a
// display number it picks itself (-displayfd), its screen kept as an XWD file
// in a folder of ours (-fbdir), from which screenshots are written as PNG
// without any image tool. xdotool moves the pointer and types.
#include "tests/e2e/e2e_harness.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <poll.h>

namespace nuvex::e2e {

inline bool OnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0) {
            return true;
        }
    }
    return false;
}

namespace png {

inline std::uint32_t Crc(const std::uint8_t* data, std::size_t n, std::uint32_t crc = 0xffffffffu) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
            }
            t[i] = c;
        }
        return t;
    }();
    for (std::size_t i = 0; i < n; ++i) {
        crc = table[(crc ^ data[i]) & 0xff] ^ (crc >> 8);
    }
    return crc;
}

inline void Put32(std::string& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<char>((v >> shift) & 0xff));
    }
}

inline void Chunk(std::string& out, const char* type, const std::string& data) {
    Put32(out, static_cast<std::uint32_t>(data.size()));
    std::string body = std::string(type, 4) + data;
    out += body;
    Put32(out, Crc(reinterpret_cast<const std::uint8_t*>(body.data()), body.size()) ^ 0xffffffffu);
}

// An RGB picture as PNG with stored (uncompressed) deflate blocks: larger
// files, but no compression library for a test helper.
inline std::string Encode(int width, int height, const std::vector<std::uint8_t>& rgb) {
    std::string raw;
    raw.reserve(static_cast<std::size_t>(height) * (static_cast<std::size_t>(width) * 3 + 1));
    for (int y = 0; y < height; ++y) {
        raw.push_back('\0'); // no filter
        raw.append(reinterpret_cast<const char*>(rgb.data()) + static_cast<std::size_t>(y) * width * 3,
                   static_cast<std::size_t>(width) * 3);
    }
    std::string z{'\x78', '\x01'};
    for (std::size_t at = 0; at < raw.size() || at == 0;) {
        const std::size_t n = std::min<std::size_t>(65535, raw.size() - at);
        z.push_back(at + n >= raw.size() ? '\x01' : '\x00');
        z.push_back(static_cast<char>(n & 0xff));
        z.push_back(static_cast<char>(n >> 8));
        z.push_back(static_cast<char>(~n & 0xff));
        z.push_back(static_cast<char>((~n >> 8) & 0xff));
        z.append(raw, at, n);
        at += n;
        if (n == 0) {
            break;
        }
    }
    std::uint32_t a = 1, b = 0;
    for (unsigned char c : raw) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    Put32(z, (b << 16) | a);
    std::string out("\x89PNG\r\n\x1a\n", 8);
    std::string header;
    Put32(header, static_cast<std::uint32_t>(width));
    Put32(header, static_cast<std::uint32_t>(height));
    header += std::string("\x08\x02\x00\x00\x00", 5); // 8-bit RGB
    Chunk(out, "IHDR", header);
    Chunk(out, "IDAT", z);
    Chunk(out, "IEND", {});
    return out;
}

} // namespace png

struct Screen {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;
    std::array<std::uint8_t, 3> At(int x, int y) const {
        const std::size_t i = (static_cast<std::size_t>(y) * width + x) * 3;
        return {rgb[i], rgb[i + 1], rgb[i + 2]};
    }
};

// Reads the 32-bit TrueColor XWD file that Xvfb keeps for its screen.
inline bool ReadXwd(const std::string& path, Screen& screen) {
    const std::string data = ReadFile(path);
    auto field = [&](int i) -> std::uint32_t {
        const auto* p = reinterpret_cast<const std::uint8_t*>(data.data()) + 4 * i;
        return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
    };
    if (data.size() < 100) {
        return false;
    }
    const std::uint32_t headerSize = field(0), width = field(4), height = field(5), byteOrder = field(7),
                        bitsPerPixel = field(11), bytesPerLine = field(12), redMask = field(14),
                        greenMask = field(15), blueMask = field(16), colours = field(19);
    if (bitsPerPixel != 32 || width == 0 || height == 0 || width > 8192 || height > 8192) {
        return false;
    }
    const std::size_t offset = headerSize + static_cast<std::size_t>(colours) * 12;
    if (data.size() < offset + static_cast<std::size_t>(bytesPerLine) * height) {
        return false;
    }
    auto channel = [](std::uint32_t pixel, std::uint32_t mask) {
        if (mask == 0) {
            return std::uint8_t{0};
        }
        int shift = 0;
        while (!((mask >> shift) & 1)) {
            ++shift;
        }
        return static_cast<std::uint8_t>((pixel & mask) >> shift);
    };
    screen.width = static_cast<int>(width);
    screen.height = static_cast<int>(height);
    screen.rgb.resize(static_cast<std::size_t>(width) * height * 3);
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            const auto* p = reinterpret_cast<const std::uint8_t*>(data.data()) + offset +
                            static_cast<std::size_t>(y) * bytesPerLine + x * 4;
            const std::uint32_t pixel = byteOrder == 0
                                            ? (std::uint32_t{p[3]} << 24) | (std::uint32_t{p[2]} << 16) |
                                                  (std::uint32_t{p[1]} << 8) | p[0]
                                            : (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
                                                  (std::uint32_t{p[2]} << 8) | p[3];
            const std::size_t i = (static_cast<std::size_t>(y) * width + x) * 3;
            screen.rgb[i] = channel(pixel, redMask);
            screen.rgb[i + 1] = channel(pixel, greenMask);
            screen.rgb[i + 2] = channel(pixel, blueMask);
        }
    }
    return true;
}

class XvfbSession {
public:
    static std::string Unavailable() {
        for (const char* program : {"Xvfb", "xdotool"}) {
            if (!OnPath(program)) {
                return std::string(program) + " is not installed";
            }
        }
        return {};
    }

    // Starts the server; false with a reason when it did not come up.
    bool Start(const std::string& folder, std::string& error) {
        fbdir_ = folder;
        ::mkdir(fbdir_.c_str(), 0700);
        int fds[2];
        if (::pipe(fds) != 0) {
            error = "pipe failed";
            return false;
        }
        // The write end stays open in the server only: it prints its display there.
        ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
        pid_ = Spawn({"/usr/bin/env", "Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0",
                      "1024x768x24", "-nolisten", "tcp", "-fbdir", fbdir_, "-noreset"},
                     folder + "/xvfb.out", folder + "/xvfb.err");
        ::close(fds[1]);
        std::string number;
        pollfd p{fds[0], POLLIN, 0};
        auto until = Clock::now() + std::chrono::seconds(15);
        while (pid_ > 0 && Clock::now() < until && number.find('\n') == std::string::npos) {
            if (::poll(&p, 1, 200) > 0) {
                char buf[16];
                const ssize_t n = ::read(fds[0], buf, sizeof buf);
                if (n <= 0) {
                    break;
                }
                number.append(buf, static_cast<std::size_t>(n));
            }
        }
        ::close(fds[0]);
        if (number.find('\n') == std::string::npos) {
            error = "Xvfb named no display: " + ReadFile(folder + "/xvfb.err");
            Stop();
            return false;
        }
        display_ = ":" + number.substr(0, number.find('\n'));
        return true;
    }

    void Stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            if (WaitExitCode(pid_, 5000) == -1 && !Ended(pid_)) {
                ::kill(pid_, SIGKILL);
                WaitExitCode(pid_, 2000);
            }
            pid_ = -1;
        }
    }

    ~XvfbSession() { Stop(); }

    const std::string& Display() const { return display_; }

    bool Grab(Screen& screen) const { return ReadXwd(fbdir_ + "/Xvfb_screen0", screen); }

    // Saves the whole screen as PNG; false when the screen could not be read.
    bool Shot(const std::string& file) const {
        Screen screen;
        if (!Grab(screen)) {
            return false;
        }
        std::ofstream(file, std::ios::binary) << png::Encode(screen.width, screen.height, screen.rgb);
        return true;
    }

private:
    std::string fbdir_;
    std::string display_;
    pid_t pid_ = -1;
};

} // namespace nuvex::e2e
