// Runs a fuzz target's entry over stored inputs without libFuzzer, so that the
// ordinary build checks every input that once stopped a target (and the seeds)
// on each test run. Arguments: files or folders of inputs; folders are read
// one level deep. A target that finds a fault aborts, which fails the test.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

// The same bound the fuzzing runs use (-max_len); longer files are refused
// rather than read into memory whole.
constexpr std::uintmax_t kMaxInputBytes = 1u << 20;

bool Replay(const std::filesystem::path& file) {
    std::error_code ec;
    if (std::filesystem::file_size(file, ec) > kMaxInputBytes || ec) {
        std::fprintf(stderr, "%s: missing or larger than %ju bytes\n", file.c_str(), kMaxInputBytes);
        return false;
    }
    std::ifstream in(file, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return true;
}

} // namespace

int main(int argc, char** argv) {
    int replayed = 0;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path arg = argv[i];
        std::vector<std::filesystem::path> files;
        std::error_code ec;
        if (std::filesystem::is_directory(arg, ec)) {
            for (const auto& entry : std::filesystem::directory_iterator(arg, ec)) {
                if (entry.is_regular_file()) {
                    files.push_back(entry.path());
                }
            }
        } else {
            files.push_back(arg);
        }
        for (const auto& file : files) {
            ok = Replay(file) && ok;
            ++replayed;
        }
    }
    std::printf("replayed %d inputs\n", replayed);
    return ok ? 0 : 1;
}
