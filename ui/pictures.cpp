#include "ui/pictures.h"

#include <QPainter>
#include <QPolygon>

namespace nuvex {
namespace {

const QColor kStripDark(22, 89, 130);
const QColor kStripLight(104, 160, 199);
const QColor kPaper(250, 248, 238);
const QColor kInk(42, 75, 141);

// Colour of row y (0..7) of the top strip: light at the top, the border
// colour at the bottom, so the strip reads as a raised bar.
QColor StripColour(int y) {
    const double t = y / 7.0;
    return QColor::fromRgbF(kStripLight.redF() + (kStripDark.redF() - kStripLight.redF()) * t,
                            kStripLight.greenF() + (kStripDark.greenF() - kStripLight.greenF()) * t,
                            kStripLight.blueF() + (kStripDark.blueF() - kStripLight.blueF()) * t);
}

QImage Blank(int w, int h, QColor fill) {
    QImage image(w, h, QImage::Format_ARGB32);
    image.fill(fill);
    return image;
}

QImage Gradient() {
    QImage image = Blank(1, 8, Qt::black);
    for (int y = 0; y < 8; ++y) {
        image.setPixelColor(0, y, StripColour(y));
    }
    return image;
}

QImage Grip() {
    QImage image = Blank(2, 8, Qt::black);
    for (int y = 0; y < 8; ++y) {
        image.setPixelColor(0, y, StripColour(y));
        image.setPixelColor(1, y, StripColour(y));
    }
    const QColor light(236, 243, 248);
    const QColor shadow(12, 52, 80);
    for (int y : {2, 5}) {
        image.setPixelColor(0, y, light);
        image.setPixelColor(1, y + 1, shadow);
    }
    return image;
}

QImage CloseGlyph() {
    QImage image = Blank(7, 8, Qt::black);
    for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 7; ++x) {
            image.setPixelColor(x, y, StripColour(y));
        }
    }
    const QColor white(255, 255, 255);
    for (int i = 0; i < 7; ++i) { // a 7x7 cross below the top row
        image.setPixelColor(i, i + 1, white);
        image.setPixelColor(6 - i, i + 1, white);
    }
    return image;
}

// Pixel-exact envelope: no antialiasing, so no pixel mixes with the key colour.
void Envelope(QPainter& p, const QRect& r, QColor body, QColor line) {
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(line);
    p.setBrush(body);
    p.drawRect(r.adjusted(0, 0, -1, -1));
    const int midX = r.left() + (r.width() - 1) / 2;
    const int flapY = r.top() + r.height() * 3 / 5;
    p.drawLine(r.left(), r.top(), midX, flapY);
    p.drawLine(r.right(), r.top(), midX, flapY);
}

QImage KeyCanvas() {
    return Blank(25, 22, QColor::fromRgb(kPictureKeyColour));
}

QImage Envelopes() {
    QImage image = KeyCanvas();
    QPainter p(&image);
    Envelope(p, QRect(7, 2, 17, 12), QColor(214, 226, 240), kInk);
    Envelope(p, QRect(1, 8, 17, 12), kPaper, kInk);
    return image;
}

QImage Message() {
    QImage image = KeyCanvas();
    QPainter p(&image);
    // A sheet standing out of an open envelope.
    p.setPen(QColor(120, 120, 120));
    p.setBrush(Qt::white);
    p.drawRect(6, 1, 12, 13);
    p.setPen(QColor(0, 0, 255));
    for (int y = 4; y <= 10; y += 2) {
        p.drawLine(8, y, 16, y);
    }
    p.setPen(kInk);
    p.setBrush(kPaper);
    p.drawPolygon(QPolygon({QPoint(2, 9), QPoint(22, 9), QPoint(22, 20), QPoint(2, 20)}));
    p.drawLine(2, 9, 12, 16);
    p.drawLine(22, 9, 12, 16);
    return image;
}

QImage Error() {
    QImage image = KeyCanvas();
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(QColor(140, 20, 20));
    p.setBrush(QColor(214, 40, 40));
    p.drawEllipse(QRect(2, 0, 20, 20));
    p.setPen(QPen(Qt::white, 2));
    p.drawLine(8, 6, 15, 13);
    p.drawLine(15, 6, 8, 13);
    return image;
}

// A small star badge that marks "there is new mail".
void Badge(QPainter& p, const QRectF& r) {
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setPen(QPen(QColor(150, 80, 0), r.width() / 10.0));
    p.setBrush(QColor(255, 196, 0));
    p.drawEllipse(r);
}

QImage IconImage(std::string_view name, int side) {
    QImage image(side, side, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    const double s = side / 16.0;
    p.scale(s, s);
    p.setRenderHint(QPainter::Antialiasing, true);
    const QColor body = name == "MAINICON" ? QColor(214, 226, 240) : kPaper;
    // One unit of the 16-pixel grid: edges on half units stay on whole pixels
    // at both sizes.
    p.setPen(QPen(kInk, 1.0));
    p.setBrush(body);
    const QRectF r(1.5, 3.5, 13, 9);
    p.drawRect(r);
    p.drawLine(r.topLeft(), QPointF(r.center().x(), r.top() + 5.5));
    p.drawLine(r.topRight(), QPointF(r.center().x(), r.top() + 5.5));
    if (name == "NEWICON" || name == "NEWMAIL") {
        Badge(p, QRectF(9, 0.5, 6.5, 6.5));
    } else if (name == "MAINICON") {
        p.setPen(QPen(kStripDark, 1.0));
        p.drawLine(QPointF(1.5, 14.5), QPointF(14.5, 14.5));
    }
    return image;
}

} // namespace

QImage Picture(std::string_view name) {
    if (name == "NOTIFY_GRADIENT")
        return Gradient();
    if (name == "NOTIFY_SCROLL")
        return Grip();
    if (name == "NOTIFY_CLOSE")
        return CloseGlyph();
    if (name == "NOTIFY_ENVELOPES")
        return Envelopes();
    if (name == "NOTIFY_MESSAGE")
        return Message();
    if (name == "NOTIFY_ERROR")
        return Error();
    if (name == "NEWMAIL")
        return IconImage(name, 16);
    if (name == "TRAYICON" || name == "NEWICON" || name == "MAINICON")
        return IconImage(name, 32);
    return {};
}

QIcon IconPicture(std::string_view name) {
    if (name != "TRAYICON" && name != "NEWICON" && name != "MAINICON") {
        return {};
    }
    QIcon icon;
    icon.addPixmap(QPixmap::fromImage(IconImage(name, 16)));
    icon.addPixmap(QPixmap::fromImage(IconImage(name, 32)));
    return icon;
}

QImage WithKeyTransparent(const QImage& image, QRgb key) {
    QImage out = image.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < out.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < out.width(); ++x) {
            if ((line[x] | 0xff000000u) == (key | 0xff000000u)) {
                line[x] = 0;
            }
        }
    }
    return out;
}

} // namespace nuvex
