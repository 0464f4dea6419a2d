#include "lib/clock.h"
#include "lib/crypt_url.h"
#include "tests/support/time_scale.h"

#include <chrono>
#include <cstdint>
#include <gtest/gtest.h>
#include <random>
#include <string>

namespace nuvex {
namespace {

// An independent writer and reader of the text form, so the tests pin the
// format itself and not only that the class agrees with itself.
std::string Scramble(std::string plain) {
    for (std::size_t i = 1; i < plain.size(); ++i) {
        plain[i] = static_cast<char>(static_cast<unsigned char>(plain[i]) ^ kCryptKeyTable[(i - 1) % 256]);
    }
    static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < plain.size(); i += 3) {
        const unsigned v = (static_cast<unsigned char>(plain[i]) << 16) |
                           (static_cast<unsigned char>(plain[i + 1]) << 8) |
                           static_cast<unsigned char>(plain[i + 2]);
        out += abc[v >> 18];
        out += abc[(v >> 12) & 63];
        out += abc[(v >> 6) & 63];
        out += abc[v & 63];
    }
    if (plain.size() - i == 1) {
        const unsigned v = static_cast<unsigned char>(plain[i]) << 16;
        out += abc[v >> 18];
        out += abc[(v >> 12) & 63];
        out += "==";
    } else if (plain.size() - i == 2) {
        const unsigned v =
            (static_cast<unsigned char>(plain[i]) << 16) | (static_cast<unsigned char>(plain[i + 1]) << 8);
        out += abc[v >> 18];
        out += abc[(v >> 12) & 63];
        out += abc[(v >> 6) & 63];
        out += '=';
    }
    for (char& c : out) {
        c = c == '+' ? '-' : c == '/' ? '_' : c == '=' ? '@' : c;
    }
    return out;
}

std::string Unscramble(const std::string& text) {
    std::string plain;
    unsigned acc = 0;
    int bits = 0;
    for (char c : text) {
        int v;
        if (c >= 'A' && c <= 'Z')
            v = c - 'A';
        else if (c >= 'a' && c <= 'z')
            v = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            v = c - '0' + 52;
        else if (c == '-')
            v = 62;
        else if (c == '_')
            v = 63;
        else
            break;
        acc = (acc << 6) | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            plain += static_cast<char>((acc >> bits) & 0xFF);
        }
    }
    for (std::size_t i = 1; i < plain.size(); ++i) {
        plain[i] = static_cast<char>(static_cast<unsigned char>(plain[i]) ^ kCryptKeyTable[(i - 1) % 256]);
    }
    return plain;
}

std::string WithChecksum(const std::string& entries) {
    return "_CRC\t" + std::to_string(TCryptURL::ParamChecksum(entries)) + entries;
}

class CryptUrlTest : public ::testing::Test {
protected:
    void SetUp() override { SetDefaultClock(&clock_); }
    void TearDown() override { SetDefaultClock(nullptr); }
    FakeClock clock_{1'000'000};
};

TEST(CryptKeyTableTest, MatchesItsGeneratingFormula) {
    std::uint32_t x = 0x2545F491u;
    for (int i = 0; i < 256; ++i) {
        x = x * 1103515245u + 12345u;
        ASSERT_EQ(kCryptKeyTable[i], static_cast<unsigned char>(x >> 24)) << "byte " << i;
    }
}

TEST(CryptChecksumTest, SumsBytesAndFoldsAbove65535) {
    EXPECT_EQ(TCryptURL::ParamChecksum("abc"), 294);
    EXPECT_EQ(TCryptURL::ParamChecksum(""), 0);
    // 257 * 255 is exactly 65535: that is not above the limit, so it stays.
    const std::string ff(257, '\xff');
    EXPECT_EQ(TCryptURL::ParamChecksum(ff), 65535);
    EXPECT_EQ(TCryptURL::ParamChecksum(ff + '\x01'), 1);
    EXPECT_EQ(TCryptURL::ParamChecksum(ff + '\xff'), 255);
    EXPECT_EQ(TCryptURL::ParamChecksum(std::string(1000, '\0')), 0);

    // Against the byte-by-byte rule on texts long enough to wrap many times.
    std::mt19937 rng(5);
    for (int round = 0; round < 50; ++round) {
        std::string text(rng() % 5000, '\0');
        for (char& c : text) {
            c = static_cast<char>(round % 3 == 0 ? 0xFF : rng());
        }
        unsigned sum = 0;
        for (unsigned char c : text) {
            sum += c;
            if (sum > 65535) {
                sum %= 65535;
            }
        }
        ASSERT_EQ(TCryptURL::ParamChecksum(text), static_cast<int>(sum)) << text.size();
    }
}

TEST_F(CryptUrlTest, EncodingLaysOutChecksumEntriesAndRandomizer) {
    TCryptURL rec;
    rec.SetParam("User", "bob");
    rec.SetParam("Pass", "a\tb");
    const std::string text = rec.EncodeParams();
    EXPECT_EQ(Unscramble(text), WithChecksum("\rUSER\tbob\rPASS\ta\n2b\rRANDOMIZER\t1000000"));
    EXPECT_EQ(text, Scramble(Unscramble(text)));
}

TEST_F(CryptUrlTest, TwoEncodingsATickApartDifferAndBothParseBack) {
    TCryptURL rec;
    rec.SetParam("Server", "pop.example.org");
    rec.SetParam("Port", "995");
    const std::string first = rec.EncodeParams();
    clock_.AdvanceMs(1);
    const std::string second = rec.EncodeParams();
    ASSERT_NE(first, second);

    for (const auto& [text, tick] : {std::pair{first, "1000000"}, std::pair{second, "1000001"}}) {
        TCryptURL back;
        ASSERT_TRUE(back.DecodeParams(text));
        EXPECT_TRUE(back.Valid());
        const std::vector<TCryptURL::Entry> expected = {
            {"SERVER", "pop.example.org"}, {"PORT", "995"}, {"RANDOMIZER", tick}};
        EXPECT_EQ(back.Entries(), expected);
    }
}

TEST_F(CryptUrlTest, ValuesWithLineBreaksTabsAndEscapeLookalikesSurvive) {
    std::string allBytes;
    for (int c = 0; c < 256; ++c) {
        allBytes += static_cast<char>(c);
    }
    const std::vector<std::string> values = {"line one\r\nline two\r\n\tindented\r\n",
                                             "\n1\n2\n3",
                                             "\r\r\n\n\t\t",
                                             "",
                                             "ends with CR\r",
                                             allBytes};
    TCryptURL rec;
    for (std::size_t i = 0; i < values.size(); ++i) {
        rec.SetParam("V" + std::to_string(i), values[i]);
    }
    TCryptURL back;
    ASSERT_TRUE(back.DecodeParams(rec.EncodeParams()));
    for (std::size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(back.GetParam("v" + std::to_string(i)), values[i]) << "value " << i;
    }
}

TEST_F(CryptUrlTest, TextIsUrlSafeForAnyContent) {
    std::mt19937 rng(7);
    for (int round = 0; round < 200; ++round) {
        TCryptURL rec;
        std::string value(rng() % 300, '\0');
        for (char& c : value) {
            c = static_cast<char>(rng());
        }
        rec.SetParam("X", value);
        const std::string text = rec.EncodeParams();
        ASSERT_EQ(text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_@"),
                  std::string::npos)
            << text;
        TCryptURL back;
        ASSERT_TRUE(back.DecodeParams(text));
        ASSERT_EQ(back.GetParam("X"), value);
    }
}

TEST_F(CryptUrlTest, DotAtSignAndEqualsAllActAsPadding) {
    TCryptURL rec;
    std::string text;
    // Grow the value until the text needs two padding characters.
    for (std::string value; text.size() < 2 || text[text.size() - 2] != '@'; value += 'x') {
        rec.SetParam("A", value);
        text = rec.EncodeParams();
    }
    for (const char* pad : {"@@", "..", "==", ".@"}) {
        std::string variant = text.substr(0, text.size() - 2) + pad;
        TCryptURL back;
        EXPECT_TRUE(back.DecodeParams(variant)) << pad;
        EXPECT_EQ(back.GetParam("A"), rec.GetParam("A"));
    }
}

TEST_F(CryptUrlTest, RejectedTextsAddNothingAndKeepExistingEntries) {
    const std::string entries = "\rUSER\tmallory";
    std::string badSum = "_CRC\t" + std::to_string(TCryptURL::ParamChecksum(entries) + 1) + entries;
    const std::vector<std::string> rejected = {
        "",
        "QUJDR",                                  // 5 characters
        "QUJDRA",                                 // not a multiple of 4
        Scramble(badSum),                         // checksum off by one
        "!!!!",                                   // not Base64
        Scramble("USER\tmallory"),                // no checksum entry at all
        Scramble("_crc\t0"),                      // the checksum name is exact
        Scramble("_CRC\tx" + entries),            // not a number
        Scramble("_CRC\t-1" + entries),           // not a plain decimal
        Scramble(WithChecksum(entries)) + "A@@@", // padding in the middle
        Scramble(WithChecksum(entries)).insert(4, " "),
    };
    for (const std::string& text : rejected) {
        TCryptURL rec;
        rec.SetParam("USER", "alice");
        EXPECT_FALSE(rec.DecodeParams(text)) << text;
        EXPECT_FALSE(rec.Valid());
        const std::vector<TCryptURL::Entry> expected = {{"USER", "alice"}};
        EXPECT_EQ(rec.Entries(), expected) << text;
    }
}

TEST_F(CryptUrlTest, AcceptedTextMergesIntoExistingEntries) {
    TCryptURL rec;
    rec.SetParam("a", "1");
    rec.SetParam("b", "2");
    ASSERT_TRUE(rec.DecodeParams(Scramble(WithChecksum("\rB\tnew\rc\t3\rNoTab\rc\t4"))));
    const std::vector<TCryptURL::Entry> expected = {{"A", "1"}, {"B", "new"}, {"C", "4"}, {"NOTAB", ""}};
    EXPECT_EQ(rec.Entries(), expected);
}

TEST_F(CryptUrlTest, ChecksumOnlyTextIsAcceptedEmpty) {
    TCryptURL rec;
    EXPECT_TRUE(rec.DecodeParams(Scramble("_CRC\t0")));
    // A CR as the very last character ends the text and separates nothing.
    EXPECT_TRUE(rec.DecodeParams(Scramble("_CRC\t0\r")));
    EXPECT_TRUE(rec.Entries().empty());
    EXPECT_TRUE(rec.DecodeParams(Scramble(WithChecksum("\rK\tv\r"))));
    EXPECT_EQ(rec.GetParam("K"), "v");
}

TEST(CryptUrlNamesTest, NamesMeetWithoutRegardToCaseAndKeepTheirPlace) {
    TCryptURL rec;
    rec.SetParam("Subj", "first");
    rec.SetParam("Other", "o");
    EXPECT_EQ(rec.GetParam("SUBJ"), "first");
    EXPECT_EQ(rec.IndexOfParam("sUbJ"), 0);
    rec.SetParam("SUBJ", "second");
    EXPECT_EQ(rec.IndexOfParam("subj"), 0);
    EXPECT_EQ(rec.Entries()[0], (TCryptURL::Entry{"SUBJ", "second"}));
    EXPECT_EQ(rec.GetParam("missing"), "");
    EXPECT_EQ(rec.IndexOfParam("missing"), -1);
    rec.ClearParams();
    EXPECT_TRUE(rec.Entries().empty());
}

TEST(CryptUrlHostileTest, ArbitraryTextsNeverCrashAndRejectionsChangeNothing) {
    std::mt19937 rng(11);
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_@.=+/";
    for (int round = 0; round < 3000; ++round) {
        std::string text(rng() % 64, '\0');
        for (char& c : text) {
            c = (round % 2) ? alphabet[rng() % alphabet.size()] : static_cast<char>(rng());
        }
        TCryptURL rec;
        rec.SetParam("KEEP", "me");
        if (!rec.DecodeParams(text)) {
            ASSERT_EQ(rec.Entries().size(), 1u);
            ASSERT_EQ(rec.GetParam("KEEP"), "me");
        }
    }
}

TEST(CryptUrlHostileTest, ManyEntriesDecodeInLinearTime) {
    std::string entries;
    for (int i = 0; i < 200000; ++i) {
        entries += "\rN" + std::to_string(i) + "\tv";
    }
    const std::string text = Scramble(WithChecksum(entries));
    TCryptURL rec;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(rec.DecodeParams(text));
    EXPECT_LT(std::chrono::steady_clock::now() - start, nuvex::test::Scaled(std::chrono::seconds(5)));
    EXPECT_EQ(rec.Entries().size(), 200000u);
    EXPECT_EQ(rec.GetParam("N199999"), "v");
}

} // namespace
} // namespace nuvex
