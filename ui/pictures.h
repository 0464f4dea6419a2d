#pragma once
// The program's pictures, drawn in code at their resource sizes so that no
// binary files have to be kept. Names are the resource names the windows and
// the controller ask for.
#include <QIcon>
#include <QImage>
#include <QRgb>
#include <string_view>

namespace nuvex {

// The key colour of the notification icons: pixels of this colour are not drawn.
inline constexpr QRgb kPictureKeyColour = 0xffff00ff;

// The bitmap of that name, exactly as stored (the notification icons keep their
// magenta background). A null image for an unknown name.
//   "NOTIFY_GRADIENT" 1x8, "NOTIFY_SCROLL" 2x8, "NOTIFY_CLOSE" 7x8,
//   "NOTIFY_ENVELOPES", "NOTIFY_MESSAGE", "NOTIFY_ERROR" 25x22,
//   "NEWMAIL" 16x16 (button bitmap, transparent background),
//   "TRAYICON", "NEWICON", "MAINICON" 32x32 (the large image of the icons).
QImage Picture(std::string_view name);

// The icon resources "TRAYICON", "NEWICON" and "MAINICON" with a 16x16 and a
// 32x32 image each; a null icon for any other name.
QIcon IconPicture(std::string_view name);

// A copy in ARGB with every pixel of the key colour made fully transparent.
QImage WithKeyTransparent(const QImage& image, QRgb key = kPictureKeyColour);

} // namespace nuvex
