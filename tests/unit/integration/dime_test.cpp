#include "tests/support/dime_reader.h"
#include "tests/support/temp_dir.h"
#include "upload/dime.h"

#include <fstream>
#include <gtest/gtest.h>
#include <stdexcept>
#include <unistd.h>

namespace nuvex::dime {
namespace {

Record Inline(std::string id, TypeFormat format, std::string type, std::string data) {
    Record r;
    r.id = std::move(id);
    r.format = format;
    r.type = std::move(type);
    r.inlineData = std::move(data);
    return r;
}

std::string Bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) {
        s.push_back(static_cast<char>(v));
    }
    return s;
}

void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
}

TEST(DimeHeader, LoneRecordIsFirstAndLastWithTypeInUpperBitsBigEndian) {
    EXPECT_EQ(RecordHeader(true, true, TypeFormat::AbsoluteUri, 10, 41, 0x01020304),
              Bytes({0x0E, 0x20, 0, 0, 0, 10, 0, 41, 1, 2, 3, 4}));
    EXPECT_EQ(RecordHeader(false, false, TypeFormat::MediaType, 0x1234, 0, 0xFFFFFFFF),
              Bytes({0x08, 0x10, 0, 0, 0x12, 0x34, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(DimeWriter, LoneEnvelopeIsPaddedToFourWithZeros) {
    const std::string out = WriteAll({Inline("SoapHeader", TypeFormat::AbsoluteUri, "urn:x", "<a/>!")});
    // 12 header + "SoapHeader" 10 -> 12 + "urn:x" 5 -> 8 + data 5 -> 8.
    ASSERT_EQ(out.size(), 12u + 12 + 8 + 8);
    EXPECT_EQ(static_cast<unsigned char>(out[0]), 0x0E);
    EXPECT_EQ(out.substr(12, 12), std::string("SoapHeader\0\0", 12));
    EXPECT_EQ(out.substr(24, 8), std::string("urn:x\0\0\0", 8));
    EXPECT_EQ(out.substr(32, 8), std::string("<a/>!\0\0\0", 8));
}

TEST(DimeWriter, FlagsMarkFirstMiddleAndLastRecord) {
    const std::string out = WriteAll({Inline("a", TypeFormat::AbsoluteUri, "u", "1234"),
                                      Inline("b", TypeFormat::MediaType, "t", ""),
                                      Inline("c", TypeFormat::MediaType, "t", "xy")});
    std::string error;
    const auto records = test::ReadDime(out, error);
    ASSERT_EQ(records.size(), 3u) << error;
    EXPECT_EQ(records[0].flags, 0x0C);
    EXPECT_EQ(records[1].flags, 0x08);
    EXPECT_EQ(records[2].flags, 0x0A);
    EXPECT_EQ(records[0].typeFormat, 2);
    EXPECT_EQ(records[2].typeFormat, 1);
    EXPECT_EQ(records[0].data, "1234"); // a multiple of four gets no padding
    EXPECT_EQ(records[1].data, "");
    EXPECT_EQ(records[2].data, "xy");
}

TEST(DimeWriter, FileDataIsStreamedInAnyPieceSizeAndMatchesInlineBytes) {
    test::TempDir dir;
    std::string data;
    for (int i = 0; i < 100003; ++i) {
        data.push_back(static_cast<char>(i * 7));
    }
    WriteFile(dir.file("f.bin"), data);
    std::string error;
    std::shared_ptr<OpenedFile> file = OpenedFile::Open(dir.file("f.bin"), error);
    ASSERT_TRUE(file) << error;
    Record fromFile = Inline("id", TypeFormat::MediaType, "application/octet-stream", "");
    fromFile.file = file;
    const std::string expected =
        WriteAll({Inline("e", TypeFormat::AbsoluteUri, "u", "env"),
                  Inline("id", TypeFormat::MediaType, "application/octet-stream", data)});

    Writer w({Inline("e", TypeFormat::AbsoluteUri, "u", "env"), fromFile});
    ASSERT_EQ(w.TotalSize(), expected.size());
    std::string streamed;
    char buf[7]; // odd piece size: crosses every piece boundary at a different offset
    while (std::size_t got = w.Read(buf, sizeof buf)) {
        streamed.append(buf, got);
    }
    EXPECT_FALSE(w.Failed()) << w.Error();
    EXPECT_EQ(streamed, expected);

    w.Rewind();
    std::string again(expected.size(), '\0');
    EXPECT_EQ(w.Read(again.data(), again.size()), expected.size());
    EXPECT_EQ(again, expected);
}

TEST(DimeWriter, FileRemovedAfterOpeningIsStillSentWhole) {
    test::TempDir dir;
    WriteFile(dir.file("gone.txt"), std::string(5000, 'g'));
    std::string error;
    Record r = Inline(dir.file("gone.txt"), TypeFormat::MediaType, "t", "");
    r.file = OpenedFile::Open(dir.file("gone.txt"), error);
    ASSERT_TRUE(r.file) << error;
    ASSERT_EQ(::unlink(dir.file("gone.txt").c_str()), 0);
    const std::string out = WriteAll({r});
    ASSERT_FALSE(out.empty());
    const auto records = test::ReadDime(out, error);
    ASSERT_EQ(records.size(), 1u) << error;
    EXPECT_EQ(records[0].data, std::string(5000, 'g'));
}

TEST(DimeWriter, FileThatShrinksWhileSendingFailsNamingIt) {
    test::TempDir dir;
    const std::string path = dir.file("shrinks.dat");
    WriteFile(path, std::string(9000, 's'));
    std::string error;
    Record r = Inline(path, TypeFormat::MediaType, "t", "");
    r.file = OpenedFile::Open(path, error);
    ASSERT_TRUE(r.file);
    Writer w({r});
    char buf[4096];
    ASSERT_EQ(w.Read(buf, sizeof buf), sizeof buf);
    ASSERT_EQ(::truncate(path.c_str(), 100), 0);
    while (w.Read(buf, sizeof buf) > 0) {
    }
    ASSERT_TRUE(w.Failed());
    EXPECT_NE(w.Error().find("shrinks.dat"), std::string::npos) << w.Error();
    EXPECT_LT(w.Position(), w.TotalSize());
}

TEST(DimeWriter, OpenRefusesMissingFilesAndFolders) {
    test::TempDir dir;
    std::string error;
    EXPECT_FALSE(OpenedFile::Open(dir.file("none"), error));
    EXPECT_NE(error.find("none"), std::string::npos);
    EXPECT_FALSE(OpenedFile::Open(dir.path(), error));
}

TEST(DimeWriter, IdLongerThanItsLengthFieldIsRefused) {
    EXPECT_THROW(Writer({Inline(std::string(65536, 'i'), TypeFormat::MediaType, "t", "")}),
                 std::length_error);
    EXPECT_NO_THROW(Writer({Inline(std::string(65535, 'i'), TypeFormat::MediaType, "t", "")}));
}

} // namespace
} // namespace nuvex::dime
