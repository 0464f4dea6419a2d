#include "contract/button_bitmap.h"

#include <QBuffer>
#include <QImageReader>
#include <QPainter>
#include <QPainterPath>

namespace nuvex {
namespace {

void DrawEnvelope(QPainter& p, const QRectF& r) {
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setPen(QPen(QColor(0x2a, 0x4b, 0x8d), 1.0));
    p.setBrush(QColor(0xf4, 0xf1, 0xe6));
    p.drawRect(r);
    QPainterPath flap;
    flap.moveTo(r.topLeft());
    flap.lineTo(r.center().x(), r.top() + r.height() * 0.6);
    flap.lineTo(r.topRight());
    p.setBrush(Qt::NoBrush);
    p.drawPath(flap);
}

} // namespace

QImage DrawButtonPicture() {
    QImage image(16, 16, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    DrawEnvelope(p, QRectF(1.5, 3.5, 13, 9));
    return image;
}

QImage DrawMainIcon() {
    QImage image(32, 32, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    DrawEnvelope(p, QRectF(2.5, 7.5, 27, 18));
    return image;
}

QByteArray ButtonBitmapBytes(const QImage& image) {
    if (image.isNull() || image.width() > kMaxBitmapSide || image.height() > kMaxBitmapSide) {
        return {};
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!image.copy().save(&buffer, "BMP")) {
        return {};
    }
    return bytes;
}

QString ButtonBitmapHex(const QImage& image) {
    return QString::fromLatin1(ButtonBitmapBytes(image).toHex().toUpper());
}

QByteArray HexToBytes(const QString& hex, qsizetype maxBytes) {
    if (hex.size() % 2 != 0 || hex.size() / 2 > maxBytes) {
        return {};
    }
    for (QChar c : hex) {
        if (!((c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F') || (c >= u'a' && c <= u'f'))) {
            return {};
        }
    }
    return QByteArray::fromHex(hex.toLatin1());
}

QImage ImageFromBmpBytes(const QByteArray& bytes) {
    if (bytes.isEmpty()) {
        return {};
    }
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "BMP");
    QSize size = reader.size();
    if (!size.isValid() || size.width() > kMaxBitmapSide || size.height() > kMaxBitmapSide) {
        return {};
    }
    QImage image;
    if (!reader.read(&image)) {
        return {};
    }
    return image;
}

} // namespace nuvex
