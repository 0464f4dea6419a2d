#pragma once
// The pictures the plug-in draws itself and their transport to the host: a
// picture travels as the bytes of a BMP file, or as those bytes in upper-case
// hex text (two digits per byte).
#include <QByteArray>
#include <QImage>
#include <QString>

namespace nuvex {

inline constexpr int kMaxBitmapSide = 1024;
// Hex text of a picture no larger than the limit, with room for the headers.
inline constexpr qsizetype kMaxBitmapHexChars = 2 * (qsizetype(kMaxBitmapSide) * kMaxBitmapSide * 4 + 4096);

QImage DrawButtonPicture(); // "BUTTON": 16x16 envelope
QImage DrawMainIcon();      // "MAINICON": the tray and window icon

// Null when the picture is null or larger than kMaxBitmapSide in either direction.
QByteArray ButtonBitmapBytes(const QImage& image);
// Empty on the same refusals.
QString ButtonBitmapHex(const QImage& image);

// Decodes hex text (either case); a null array for odd length, a non-hex
// digit or more than maxBytes of output.
QByteArray HexToBytes(const QString& hex, qsizetype maxBytes);
// A null image unless the bytes are a BMP file within the size limit.
QImage ImageFromBmpBytes(const QByteArray& bytes);

} // namespace nuvex
