// The curves from a node to the nodes hanging from it, on plain items that
// carry the properties the node files have.

#include "nodeview/connectionsitem.h"

#include <QQuickItem>
#include <QtTest>

#include <cmath>
#include <memory>

namespace {
struct Scene
{
    std::unique_ptr<QQuickItem> container{ new QQuickItem };
    QQuickItem* target = nullptr;
    ConnectionsItem* connector = nullptr;

    Scene()
    {
        container->setSize(QSizeF(2000, 2000));
        target = new QQuickItem(container.get());
        connector = new ConnectionsItem(target, container.get());
        // Off the container's origin: the points are still written in the
        // container's coordinates.
        connector->setPosition(QPointF(7, -3));
    }

    static void place(QQuickItem* item, const QRectF& rect, const QRectF& connectorRect, const QPointF& point,
                      int mask)
    {
        item->setPosition(rect.topLeft());
        item->setSize(rect.size());
        item->setProperty("connector", connectorRect);
        item->setProperty("connectorX", point.x());
        item->setProperty("connectorY", point.y());
        item->setProperty("connectorDirections", mask);
    }

    QQuickItem* addChild(const QRectF& rect, const QRectF& connectorRect, const QPointF& point, int mask)
    {
        auto* child = new QQuickItem(container.get());
        place(child, rect, connectorRect, point, mask);
        child->setProperty("parentDir", QVariant::fromValue<QQuickItem*>(target));
        return child;
    }
};

QPointF point(QQuickItem* item, int index)
{
    const QByteArray x = "cx" + QByteArray::number(index);
    const QByteArray y = "cy" + QByteArray::number(index);
    return QPointF(item->property(x.constData()).toReal(), item->property(y.constData()).toReal());
}

bool near(const QPointF& a, const QPointF& b)
{
    return std::abs(a.x() - b.x()) < 1e-6 && std::abs(a.y() - b.y()) < 1e-6;
}
} // namespace

class TestConnectionsItem : public QObject
{
    Q_OBJECT

private slots:
    void curve_data();
    void curve();
    void edgeAnchor_data();
    void edgeAnchor();
    void nodeWithoutChildrenWritesNothing();
    void movedTargetRecomputesOnlyAfterMarkDirty();
    void goneTargetPaintsNothing();
};

void TestConnectionsItem::curve_data()
{
    QTest::addColumn<QRectF>("parentRect");
    QTest::addColumn<QRectF>("parentConnector");
    QTest::addColumn<QPointF>("parentPoint");
    QTest::addColumn<int>("parentMask");
    QTest::addColumn<QRectF>("childRect");
    QTest::addColumn<QRectF>("childConnector");
    QTest::addColumn<QPointF>("childPoint");
    QTest::addColumn<int>("childMask");
    QTest::addColumn<QPointF>("a1");
    QTest::addColumn<QPointF>("k1");
    QTest::addColumn<QPointF>("k2");
    QTest::addColumn<QPointF>("a2");

    // Parent mask 4, child straight below: A1 in the middle of the bottom
    // edge, K1 straight under it; the child's rectangle is its bounding
    // rectangle grown by 1, its point ("connectorX", "connectorY") from there.
    QTest::newRow("mask 4, child far below")
        << QRectF(100, 100, 80, 40) << QRectF() << QPointF(40, 20) << 4 << QRectF(100, 300, 80, 40) << QRectF()
        << QPointF(41, 21) << 1 << QPointF(140, 140) << QPointF(140, 200) << QPointF(140, 348) << QPointF(140, 299);
    // Close below: K1 still 20 below A1.
    QTest::newRow("mask 4, child close below")
        << QRectF(100, 100, 80, 40) << QRectF() << QPointF(40, 20) << 4 << QRectF(100, 150, 80, 40) << QRectF()
        << QPointF(41, 21) << 1 << QPointF(140, 140) << QPointF(140, 160) << QPointF(140, 169) << QPointF(140, 149);
    // The line leaves the top edge right of its middle; the mask lacks the
    // right edge: anchored at the middle of the top edge.
    QTest::newRow("top edge right of middle, mask without 8")
        << QRectF(0, 0, 100, 50) << QRectF() << QPointF(80, 25) << 7 << QRectF(150, -200, 40, 40) << QRectF()
        << QPointF(21, 21) << 4 << QPointF(50, 0) << QPointF(50, -57) << QPointF(170, -108.25)
        << QPointF(170, -159);
    // The line leaves the bottom edge 5 from the corner: the control point
    // moves 5/12 of the way toward the anchor (86 -> 89.75, anchor at 95).
    // The parent's connector rectangle is used, with its centre.
    QTest::newRow("anchor near a corner")
        << QRectF(0, 0, 100, 60) << QRectF(0, 0, 100, 60) << QPointF(3, 3) << 15 << QRectF(130, 80, 20, 20)
        << QRectF() << QPointF(11, 11) << 2 << QPointF(95, 60) << QPointF(89.75, 54) << QPointF(108.5, 90)
        << QPointF(129, 90);
    // The child's connector rectangle (in its own coordinates) is used as
    // it is, not grown, with its centre; under mask 1, K2 lies below A2.
    QTest::newRow("child connector rectangle")
        << QRectF(100, 100, 80, 40) << QRectF() << QPointF(40, 20) << 4 << QRectF(90, 300, 100, 60)
        << QRectF(10, 0, 80, 40) << QPointF(0, 0) << 1 << QPointF(140, 140) << QPointF(140, 200)
        << QPointF(140, 350) << QPointF(140, 300);
    // A parent without height and masks under which no edge qualifies:
    // weight 1, the edge nearest to the line's far end, finite points.
    QTest::newRow("zero height, mask 0")
        << QRectF(0, 0, 100, 0) << QRectF() << QPointF(50, 0) << 0 << QRectF(50, 100, 20, 20) << QRectF()
        << QPointF(11, 11) << 0 << QPointF(50, 0) << QPointF(50, 44) << QPointF(60, 71.5) << QPointF(60, 99);
    // The left edge of a rectangle without height has no length: 0 / 0.
    QTest::newRow("zero height, left edge")
        << QRectF(0, 0, 100, 0) << QRectF() << QPointF(50, 0) << 2 << QRectF(50, 100, 20, 20) << QRectF()
        << QPointF(11, 11) << 0 << QPointF(0, 0) << QPointF(54, 0) << QPointF(60, 71.5) << QPointF(60, 99);
}

void TestConnectionsItem::curve()
{
    QFETCH(QRectF, parentRect);
    QFETCH(QRectF, parentConnector);
    QFETCH(QPointF, parentPoint);
    QFETCH(int, parentMask);
    QFETCH(QRectF, childRect);
    QFETCH(QRectF, childConnector);
    QFETCH(QPointF, childPoint);
    QFETCH(int, childMask);
    QFETCH(QPointF, a1);
    QFETCH(QPointF, k1);
    QFETCH(QPointF, k2);
    QFETCH(QPointF, a2);

    Scene scene;
    Scene::place(scene.target, parentRect, parentConnector, parentPoint, parentMask);
    QQuickItem* child = scene.addChild(childRect, childConnector, childPoint, childMask);
    QVERIFY(scene.connector->isDirty());
    scene.connector->paint(nullptr);
    QVERIFY(!scene.connector->isDirty());

    const QPointF expected[4] = { a1, k1, k2, a2 };
    for (int i = 0; i < 4; ++i) {
        const QPointF got = point(child, i + 1);
        QVERIFY2(std::isfinite(got.x()) && std::isfinite(got.y()), qPrintable(QString::number(i + 1)));
        QVERIFY2(near(got, expected[i]), qPrintable(QStringLiteral("point %1: (%2, %3), expected (%4, %5)")
                                                        .arg(i + 1)
                                                        .arg(got.x())
                                                        .arg(got.y())
                                                        .arg(expected[i].x())
                                                        .arg(expected[i].y())));
    }
}

void TestConnectionsItem::edgeAnchor_data()
{
    QTest::addColumn<QRectF>("rect");
    QTest::addColumn<QLineF>("line");
    QTest::addColumn<int>("mask");
    QTest::addColumn<QPointF>("anchor");
    QTest::addColumn<QLineF>("segment");
    QTest::addColumn<uint>("index");

    const QRectF r(0, 0, 100, 50);
    QTest::newRow("single bit: whole edge") << r << QLineF(50, 25, 300, 25) << 1 << QPointF(50, 0)
                                            << QLineF(0, 0, 100, 0) << 0u;
    QTest::newRow("right edge crossed") << r << QLineF(50, 25, 300, 35) << 15 << QPointF(100, 27)
                                        << QLineF(100, 50, 100, 27) << 3u;
    // Equal halves: the second (edge end to anchor).
    QTest::newRow("bottom edge at its middle") << r << QLineF(50, 25, 50, 300) << 15 << QPointF(50, 50)
                                               << QLineF(100, 50, 50, 50) << 2u;
    // Crossing only the top edge, which the mask leaves out: the other edges
    // meet the line beyond its ends; left is taken first, bottom replaces it
    // (its middle is nearer to the far end), right does not (farther).
    QTest::newRow("unbounded candidates") << r << QLineF(50, 25, 60, 20) << 14 << QPointF(50, 50)
                                          << QLineF(0, 50, 100, 50) << 2u;
    // Only edges parallel to the line: the nearest of them, at its middle.
    QTest::newRow("only parallel edges") << r << QLineF(50, 25, 300, 25) << 5 << QPointF(50, 0)
                                         << QLineF(0, 0, 100, 0) << 0u;
    QTest::newRow("mask 0") << r << QLineF(50, 25, 50, -300) << 0 << QPointF(50, 0) << QLineF(0, 0, 100, 0)
                            << 0u;
}

void TestConnectionsItem::edgeAnchor()
{
    QFETCH(QRectF, rect);
    QFETCH(QLineF, line);
    QFETCH(int, mask);
    QFETCH(QPointF, anchor);
    QFETCH(QLineF, segment);
    QFETCH(uint, index);

    QPointF gotAnchor(-1, -1);
    QLineF gotSegment;
    unsigned gotIndex = 99;
    ConnectionsItem::edgeAnchor(rect, line, gotAnchor, gotSegment, gotIndex, mask);
    QCOMPARE(gotIndex, index);
    QVERIFY2(near(gotAnchor, anchor), qPrintable(QStringLiteral("(%1, %2)").arg(gotAnchor.x()).arg(gotAnchor.y())));
    QVERIFY(near(gotSegment.p1(), segment.p1()));
    QVERIFY(near(gotSegment.p2(), segment.p2()));
}

void TestConnectionsItem::nodeWithoutChildrenWritesNothing()
{
    Scene scene;
    Scene::place(scene.target, QRectF(0, 0, 80, 40), QRectF(), QPointF(40, 20), 4);
    // A sibling hanging from another node is none of its children.
    QQuickItem other(scene.container.get());
    auto* stranger = new QQuickItem(scene.container.get());
    Scene::place(stranger, QRectF(0, 200, 80, 40), QRectF(), QPointF(40, 20), 1);
    stranger->setProperty("parentDir", QVariant::fromValue<QQuickItem*>(&other));
    scene.connector->paint(nullptr);
    QVERIFY(!stranger->property("cx1").isValid());
    QVERIFY(!scene.target->property("cx1").isValid());
}

void TestConnectionsItem::movedTargetRecomputesOnlyAfterMarkDirty()
{
    Scene scene;
    Scene::place(scene.target, QRectF(100, 100, 80, 40), QRectF(), QPointF(40, 20), 4);
    QQuickItem* child = scene.addChild(QRectF(100, 300, 80, 40), QRectF(), QPointF(41, 21), 1);
    scene.connector->paint(nullptr);
    QCOMPARE(point(child, 1), QPointF(140, 140));

    scene.target->setX(200);
    scene.connector->paint(nullptr);
    QCOMPARE(point(child, 1), QPointF(140, 140));

    scene.connector->markDirty();
    QVERIFY(scene.connector->isDirty());
    scene.connector->paint(nullptr);
    QCOMPARE(point(child, 1), QPointF(240, 140));
}

void TestConnectionsItem::goneTargetPaintsNothing()
{
    Scene scene;
    Scene::place(scene.target, QRectF(100, 100, 80, 40), QRectF(), QPointF(40, 20), 4);
    QQuickItem* child = scene.addChild(QRectF(100, 300, 80, 40), QRectF(), QPointF(41, 21), 1);
    delete scene.target;
    scene.target = nullptr;
    QVERIFY(!scene.connector->target());
    scene.connector->markDirty();
    scene.connector->paint(nullptr);
    QVERIFY(!child->property("cx1").isValid());
}

QTEST_MAIN(TestConnectionsItem)
#include "tst_connectionsitem.moc"
