// Replays the menu fuzzer's seeds and the inputs that once failed it through
// the fuzz entry itself: a broken check aborts the test.
#include "fuzz/fuzz_menu.cpp"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>

namespace {

TEST(MenuFuzzInputs, SeedsAndReproducersPass) {
    int replayed = 0;
    for (const char* folder : {"/fuzz/corpus/fuzz_menu", "/fuzz/regress/fuzz_menu"}) {
        for (const auto& entry :
             std::filesystem::directory_iterator(std::string(NUVEX_SOURCE_DIR) + folder)) {
            std::ifstream in(entry.path(), std::ios::binary);
            const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            SCOPED_TRACE(entry.path().string());
            LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
            ++replayed;
        }
    }
    EXPECT_GE(replayed, 6);
}

} // namespace
