#pragma once

#include <QLineF>
#include <QPointF>
#include <QQuickPaintedItem>
#include <QRectF>

#include <memory>

class ConnectionsItemPrivate;

// The connector of a node: computes the curves from a node (the target) to
// every node hanging from it and writes each curve's four points into the
// lower node's item ("cx1", "cy1" … "cx4", "cy4", in the coordinates of the
// item the nodes lie in); the node files draw the curves from them. It draws
// nothing itself: its paint() is only the moment the scene asks for it.
class ConnectionsItem : public QQuickPaintedItem
{
    Q_OBJECT
public:
    // `target` is the node's item, `parent` the item the node lies in.
    ConnectionsItem(QQuickItem* target, QQuickItem* parent);
    ~ConnectionsItem() override;

    // The curves must be computed again (nodes moved, relations changed);
    // asks for a repaint.
    void markDirty();
    bool isDirty() const;
    // Null once the node's item is gone.
    QQuickItem* target() const;

    // Computes and writes the curves when dirty and the target lives; the
    // painter is not used (may be null).
    void paint(QPainter* painter) override;

    // The edge of `rect` a curve along `line` attaches to under the mask of
    // edges `directions` (1 top, 2 left, 4 bottom, 8 right): its anchor, the
    // part of the edge next to the anchor, and the edge's index (0 top,
    // 1 left, 2 bottom, 3 right). When no edge of the mask qualifies, the
    // edge whose midpoint lies nearest to the line's far end is taken, at
    // its midpoint.
    static void edgeAnchor(const QRectF& rect, const QLineF& line, QPointF& anchor, QLineF& edgeSegment,
                           unsigned& edgeIndex, int directions);

private:
    std::unique_ptr<ConnectionsItemPrivate> d;
};
