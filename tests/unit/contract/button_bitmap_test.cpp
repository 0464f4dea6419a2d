#include "contract/button_bitmap.h"

#include <gtest/gtest.h>

namespace nuvex {
namespace {

QImage Pattern(int w, int h) {
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            image.setPixel(x, y, qRgb((x * 37) & 0xFF, (y * 91) & 0xFF, ((x + y) * 13) & 0xFF));
        }
    }
    return image;
}

TEST(BitmapTransport, BmpBytesRoundTrip) {
    QImage original = Pattern(16, 16);
    QByteArray bytes = ButtonBitmapBytes(original);
    ASSERT_FALSE(bytes.isEmpty());
    EXPECT_TRUE(bytes.startsWith("BM"));
    QImage back = ImageFromBmpBytes(bytes);
    ASSERT_EQ(back.size(), QSize(16, 16));
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 16; ++x) {
            ASSERT_EQ(qRgb(qRed(back.pixel(x, y)), qGreen(back.pixel(x, y)), qBlue(back.pixel(x, y))),
                      original.pixel(x, y))
                << x << "," << y;
        }
    }
}

TEST(BitmapTransport, HexIsUpperCaseTwoDigitsPerByte) {
    QImage picture = DrawButtonPicture();
    QByteArray bytes = ButtonBitmapBytes(picture);
    QString hex = ButtonBitmapHex(picture);
    ASSERT_EQ(hex.size(), bytes.size() * 2);
    for (QChar c : hex) {
        ASSERT_TRUE((c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F')) << c.toLatin1();
    }
    EXPECT_TRUE(hex.startsWith(QStringLiteral("424D"))); // "BM"
    EXPECT_EQ(HexToBytes(hex, bytes.size()), bytes);
    EXPECT_EQ(ImageFromBmpBytes(HexToBytes(hex, bytes.size())).size(), QSize(16, 16));
}

TEST(BitmapTransport, PicturesLargerThan1024AreRefused) {
    EXPECT_TRUE(ButtonBitmapBytes(Pattern(1025, 1)).isNull());
    EXPECT_TRUE(ButtonBitmapBytes(Pattern(1, 1025)).isNull());
    EXPECT_TRUE(ButtonBitmapHex(Pattern(1025, 2)).isEmpty());
    EXPECT_FALSE(ButtonBitmapBytes(Pattern(1024, 1)).isNull());
    EXPECT_TRUE(ButtonBitmapBytes(QImage()).isNull());
}

TEST(BitmapTransport, BadHexAndBadPicturesGiveNothing) {
    EXPECT_TRUE(HexToBytes(QStringLiteral("ABC"), 100).isNull());
    EXPECT_TRUE(HexToBytes(QStringLiteral("zz"), 100).isNull());
    EXPECT_TRUE(HexToBytes(QStringLiteral("AABBCC"), 2).isNull());
    EXPECT_EQ(HexToBytes(QStringLiteral("a0B1"), 2), QByteArray("\xA0\xB1", 2));
    EXPECT_TRUE(ImageFromBmpBytes(QByteArray("BMnot really a bitmap")).isNull());
    QByteArray big = ButtonBitmapBytes(Pattern(1024, 1));
    ASSERT_FALSE(big.isEmpty());
    // Claim 1025 pixels of width in the header: the reader must refuse it.
    big[18] = char(0x01);
    big[19] = char(0x04);
    EXPECT_TRUE(ImageFromBmpBytes(big).isNull());
}

} // namespace
} // namespace nuvex
