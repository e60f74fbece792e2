#include "Icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <functional>

namespace {
using Painter = std::function<void(QPainter&, qreal size)>;

QIcon Draw(const Painter& paint) {
    QIcon icon;
    for (int size : {16, 20, 24, 32, 48, 64, 128}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        paint(painter, size);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

void Emblem(QPainter& p, qreal s) {
    // A white halo around the black disc: on a dark panel the disc would melt into it and
    // leave three cyan dashes that look like a spinner. At least a pixel wide at 16 px.
    const qreal halo = qMax<qreal>(1.25, s * 0.07);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QRectF(0, 0, s, s));
    const QRectF disc(halo, halo, s - 2 * halo, s - 2 * halo);
    p.setBrush(Qt::black);
    p.drawEllipse(disc);
    // Three cyan ring segments with black gaps between them.
    const qreal ring = s * 0.16;
    const QRectF arc = QRectF(0, 0, s, s).adjusted(s * 0.2, s * 0.2, -s * 0.2, -s * 0.2);
    QPen pen(QColor(0, 220, 230), ring, Qt::SolidLine, Qt::FlatCap);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    for (int i = 0; i < 3; ++i)
        p.drawArc(arc, (90 + 20 + i * 120) * 16, 80 * 16);
}

void Cross(QPainter& p, qreal s, qreal angle) {
    // Two bars through the centre; the shadow is the same shape, offset down and right.
    const qreal bar = qMax<qreal>(2.0, s * 0.2);
    const qreal len = s * (angle == 0 ? 0.78 : 0.86);
    auto shape = [&](QPointF offset, const QColor& colour) {
        p.save();
        p.translate(s / 2 + offset.x(), s / 2 + offset.y());
        p.rotate(angle);
        p.setPen(Qt::NoPen);
        p.setBrush(colour);
        p.drawRect(QRectF(-len / 2, -bar / 2, len, bar));
        p.drawRect(QRectF(-bar / 2, -len / 2, bar, len));
        p.restore();
    };
    const qreal shadow = qMax<qreal>(1.0, s / 16);
    shape(QPointF(shadow, shadow), QColor(128, 128, 128));
    shape(QPointF(-shadow / 2, -shadow / 2), Qt::black);
}
} // namespace

QIcon AppIcon() {
    static const QIcon icon = Draw(Emblem);
    return icon;
}

QImage AppEmblemImage(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    Emblem(painter, size);
    return image;
}

QIcon PlusIcon() {
    static const QIcon icon = Draw([](QPainter& p, qreal s) { Cross(p, s, 0); });
    return icon;
}

QIcon CrossIcon() {
    static const QIcon icon = Draw([](QPainter& p, qreal s) { Cross(p, s, 45); });
    return icon;
}
