#include "Icons.h"

#include <QHash>
#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <functional>

namespace {
using Painter = std::function<void(QPainter&, qreal size)>;

// Draws its picture at the size asked for, once per size: a tray icon needs one size, and
// drawing every size up front kept some 300 KB of pictures nobody showed.
class DrawnIcon final : public QIconEngine {
public:
    explicit DrawnIcon(Painter paint) : paint_(std::move(paint)) {}

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return scaledPixmap(size, mode, state, 1.0);
    }
    QPixmap scaledPixmap(const QSize& size, QIcon::Mode /*mode*/, QIcon::State /*state*/,
                         qreal scale) override {
        const int side = qMax(1, qRound(qMin(size.width(), size.height()) * qMax(scale, 1.0)));
        if (const auto kept = drawn_.constFind(side); kept != drawn_.cend())
            return *kept;
        QPixmap pixmap(side, side);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        paint_(painter, side);
        painter.end();
        pixmap.setDevicePixelRatio(qMax(scale, 1.0));
        drawn_.insert(side, pixmap);
        return pixmap;
    }
    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode,
               QIcon::State state) override {
        painter->drawPixmap(rect, pixmap(rect.size(), mode, state));
    }
    QSize actualSize(const QSize& size, QIcon::Mode /*mode*/, QIcon::State /*state*/) override {
        const int side = qMin(size.width(), size.height());
        return {side, side};
    }
    // The sizes offered to those that copy them all (a notification area over D-Bus).
    QList<QSize> availableSizes(QIcon::Mode /*mode*/, QIcon::State /*state*/) override {
        QList<QSize> sizes;
        for (int side : {16, 20, 24, 32, 48, 64, 128})
            sizes.append({side, side});
        return sizes;
    }
    QString key() const override { return QStringLiteral("TarnwickDrawnIcon"); }
    QIconEngine* clone() const override { return new DrawnIcon(*this); }

private:
    Painter paint_;
    QHash<int, QPixmap> drawn_;
};

QIcon Draw(Painter paint) {
    return QIcon(new DrawnIcon(std::move(paint)));
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
