// The fuzz targets' saved inputs (reproducers of past faults and the seed
// corpus) replayed through the targets' own entry code in the normal build,
// so every reproducer stays a regression test.
#include <gtest/gtest.h>

#define NUVEX_FUZZ_NO_ENTRY
#define NUVEX_FUZZ_FAIL(what) ADD_FAILURE() << (what)
#include "fuzz/fuzz_headers.cpp"
#include "fuzz/fuzz_pop3.cpp"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace nuvex {
namespace {

using OneInput = int (*)(const std::uint8_t*, std::size_t);

// Replays every file of the folders under fuzz/; answers how many there were.
int Replay(OneInput entry, std::initializer_list<const char*> folders) {
    int replayed = 0;
    for (const char* folder : folders) {
        const std::filesystem::path dir = std::filesystem::path(NUVEX_SOURCE_DIR) / "fuzz" / folder;
        if (!std::filesystem::is_directory(dir)) {
            continue;
        }
        for (const auto& entryFile : std::filesystem::directory_iterator(dir)) {
            if (!entryFile.is_regular_file()) {
                continue;
            }
            std::ifstream in(entryFile.path(), std::ios::binary);
            const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                          std::istreambuf_iterator<char>());
            SCOPED_TRACE(entryFile.path().string());
            entry(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
            ++replayed;
        }
    }
    return replayed;
}

TEST(FuzzReplay, HeaderReproducersAndSeedsKeepTheirProperties) {
    EXPECT_GE(Replay(fuzz_headers::OneInput, {"regress/fuzz_headers", "corpus/fuzz_headers"}), 3);
}

TEST(FuzzReplay, Pop3ReproducersAndSeedsKeepTheirProperties) {
    EXPECT_GE(Replay(fuzz_pop3::OneInput, {"regress/fuzz_pop3", "corpus/fuzz_pop3"}), 3);
    log::SetSink(nullptr);
}

} // namespace
} // namespace nuvex
