#include "nodeview/connectionsitem.h"

#include <QPointer>
#include <QVariant>

#include <algorithm>
#include <array>
#include <cmath>

class ConnectionsItemPrivate
{
public:
    bool dirty = true;
    QPointer<QQuickItem> target;
};

namespace {
// The outline of a rectangle in edge order: top, left, bottom, right.
std::array<QLineF, 4> outline(const QRectF& r)
{
    const qreal x = r.x(), y = r.y(), w = r.width(), h = r.height();
    return { QLineF(x, y, x + w, y), QLineF(x, y, x, y + h), QLineF(x, y + h, x + w, y + h),
             QLineF(x + w, y, x + w, y + h) };
}

constexpr int kEdgeBits[4] = { 1, 2, 4, 8 };

QPointF midpoint(const QLineF& line)
{
    return (line.p1() + line.p2()) / 2;
}

qreal distance(const QPointF& a, const QPointF& b)
{
    return QLineF(a, b).length();
}

// How far a control point moves toward its anchor: the length of the edge
// next to the anchor against a limit of 12 or a third of the height, at
// most 1. A rectangle without height moves it the whole way.
qreal weight(const QLineF& segment, const QRectF& rect)
{
    const qreal limit = std::min<qreal>(12, rect.height() / 3);
    if (!(limit > 0))
        return 1;
    const qreal f = std::min<qreal>(1, segment.length() / limit);
    return std::isfinite(f) ? f : 1;
}

struct Connector
{
    QRectF rect;
    QPointF point;
    int mask = 0;
};

// The connector rectangle and point of a node item, in the coordinates of
// `into`.
Connector connectorOf(QQuickItem* item, QQuickItem* into, bool grow)
{
    Connector c;
    const QRectF box = item->property("connector").toRectF();
    if (box.width() > 0 && box.height() > 0) {
        c.rect = item->mapRectToItem(into, box);
        c.point = c.rect.center();
    } else {
        c.rect = into->mapRectFromItem(item, item->boundingRect());
        if (grow)
            c.rect.adjust(-1, -1, 1, 1);
        c.point = c.rect.topLeft()
            + QPointF(item->property("connectorX").toReal(), item->property("connectorY").toReal());
    }
    c.mask = item->property("connectorDirections").toInt();
    return c;
}

void writeIfChanged(QQuickItem* item, const char* name, qreal value)
{
    if (!std::isfinite(value))
        value = 0;
    const QVariant old = item->property(name);
    if (!old.isValid() || old.toReal() != value)
        item->setProperty(name, value);
}
} // namespace

ConnectionsItem::ConnectionsItem(QQuickItem* target, QQuickItem* parent)
    : QQuickPaintedItem(parent), d(new ConnectionsItemPrivate)
{
    d->target = target;
    setFlag(ItemHasContents, true);
    setAntialiasing(true);
    setSize(QSizeF(2, 2));
    setClip(false);
    if (target) {
        connect(target, &QQuickItem::xChanged, this, [this] { update(); });
        connect(target, &QQuickItem::yChanged, this, [this] { update(); });
    }
}

ConnectionsItem::~ConnectionsItem() = default;

void ConnectionsItem::markDirty()
{
    d->dirty = true;
    update(QRect());
}

bool ConnectionsItem::isDirty() const
{
    return d->dirty;
}

QQuickItem* ConnectionsItem::target() const
{
    return d->target.data();
}

void ConnectionsItem::edgeAnchor(const QRectF& rect, const QLineF& line, QPointF& anchor, QLineF& edgeSegment,
                                 unsigned& edgeIndex, int directions)
{
    const std::array<QLineF, 4> edges = outline(rect);
    unsigned index = directions == 4 ? 2 : directions == 8 ? 3 : directions == 2 ? 1 : 0;
    const QPointF far = rect.contains(line.p1()) ? line.p2() : line.p1();

    if (directions == 1 || directions == 2 || directions == 4 || directions == 8) {
        edgeIndex = index;
        anchor = midpoint(edges[index]);
        edgeSegment = edges[index];
        return;
    }

    int candidate = -1;
    for (unsigned i = 0; i < 4; ++i) {
        if (!(directions & kEdgeBits[i]))
            continue;
        const QLineF& edge = edges[i];
        QPointF point;
        const QLineF::IntersectionType type = edge.intersects(line, &point);
        if (type == QLineF::BoundedIntersection) {
            edgeIndex = i;
            anchor = point;
            const QPointF mid = midpoint(edge);
            if ((i == 0 || i == 2) && !(directions & 8) && point.x() > mid.x())
                anchor = mid;
            const QLineF toStart(edge.p1(), anchor);
            const QLineF toEnd(edge.p2(), anchor);
            edgeSegment = toStart.length() < toEnd.length() ? toStart : toEnd;
            return;
        }
        if (type == QLineF::UnboundedIntersection) {
            if (candidate < 0
                || distance(far, midpoint(edge)) < distance(far, midpoint(edges[unsigned(candidate)])))
                candidate = int(i);
        }
    }
    if (candidate < 0) {
        // No edge of the mask meets the line (a mask of 0, or only edges
        // parallel to it): the edge nearest to the far end, at its middle.
        const int allowed = (directions & 15) ? directions : 15;
        for (int i = 0; i < 4; ++i) {
            if (!(allowed & kEdgeBits[i]))
                continue;
            if (candidate < 0
                || distance(far, midpoint(edges[unsigned(i)])) < distance(far, midpoint(edges[unsigned(candidate)])))
                candidate = i;
        }
    }
    edgeIndex = unsigned(candidate);
    anchor = midpoint(edges[unsigned(candidate)]);
    edgeSegment = edges[unsigned(candidate)];
}

void ConnectionsItem::paint(QPainter*)
{
    QQuickItem* target = d->target.data();
    if (!target || !d->dirty)
        return;
    d->dirty = false;

    QQuickItem* container = parentItem();
    if (!container)
        return;
    std::vector<QQuickItem*> children;
    for (QQuickItem* child : container->childItems()) {
        if (child != target && child->property("parentDir").value<QQuickItem*>() == target)
            children.push_back(child);
    }
    if (children.empty())
        return;

    const Connector parent = connectorOf(target, this, false);
    QQuickItem* space = target->parentItem();
    for (QQuickItem* child : children) {
        const Connector lower = connectorOf(child, this, true);
        const QPointF p = parent.point;
        const QPointF q = lower.point;
        const QLineF line(p, q);

        QPointF a1, a2;
        QLineF s1, s2;
        unsigned i1 = 0, i2 = 0;
        edgeAnchor(parent.rect, line, a1, s1, i1, parent.mask);
        edgeAnchor(lower.rect, line, a2, s2, i2, lower.mask);
        const qreal f1 = weight(s1, parent.rect);
        const qreal f2 = weight(s2, lower.rect);

        QPointF k1 = p + 0.4 * (q - p);
        QPointF k2 = p + 0.65 * (q - p);

        if (i1 == 0 || i1 == 2) {
            k1.rx() += (a1.x() - k1.x()) * f1;
            if (!(parent.mask & 8))
                k1.rx() = std::min(k1.x(), a1.x());
            if (parent.mask == 1 || parent.mask == 4) {
                const qreal reach = std::max<qreal>(20, std::abs(k1.y() - a1.y()));
                k1 = QPointF(a1.x(), i1 == 0 ? a1.y() - reach : a1.y() + reach);
            }
        } else {
            k1.ry() += (a1.y() - k1.y()) * f1;
        }

        if (i2 == 0 || i2 == 2) {
            k2.rx() += (a2.x() - k2.x()) * f2;
            if (lower.mask == 1 || lower.mask == 4)
                k2 = QPointF(a2.x(), a2.y() + std::max<qreal>(20, std::abs(k2.y() - a2.y())));
        } else {
            k2.ry() += (a2.y() - k2.y()) * f2;
        }

        const QPointF points[4] = { a1, k1, k2, a2 };
        static const char* const names[8] = { "cx1", "cy1", "cx2", "cy2", "cx3", "cy3", "cx4", "cy4" };
        for (int i = 0; i < 4; ++i) {
            const QPointF mapped = space ? mapToItem(space, points[i]) : points[i];
            writeIfChanged(child, names[2 * i], mapped.x());
            writeIfChanged(child, names[2 * i + 1], mapped.y());
        }
    }
}
