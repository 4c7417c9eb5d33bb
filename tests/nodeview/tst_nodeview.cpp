#include "nodeviewtestutil.h"

#include "core/appsettings.h"
#include "nodeview/filenode.h"
#include "peer/peermodel.h"
#include "quick/themeimageprovider.h"
#include "support/idtranslator.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QQmlComponent>
#include <QQuickImageProvider>
#include <QSettings>
#include <QTemporaryDir>

namespace {
// A store that counts the node writes and notes when the last one came.
class CountingDatabase : public DatabaseSqlite
{
public:
    using DatabaseSqlite::DatabaseSqlite;
    bool putVNode(const VNodeDto& dto) override
    {
        ++writes;
        lastWrite = dto;
        clock.start();
        return DatabaseSqlite::putVNode(dto);
    }
    int writes = 0;
    VNodeDto lastWrite;
    QElapsedTimer clock;
};

// Stands in for the preview provider: records the ids it is asked for.
class RecordingPreviewProvider : public QQuickImageProvider
{
public:
    RecordingPreviewProvider() : QQuickImageProvider(QQuickImageProvider::Image) {}
    QImage requestImage(const QString& id, QSize* size, const QSize&) override
    {
        ids << id;
        if (size)
            *size = QSize(8, 8);
        QImage image(8, 8, QImage::Format_ARGB32);
        image.fill(Qt::red);
        return image;
    }
    QStringList ids;
};

// The peer uuid and path a "preview" id names: the id percent-decoded once.
QString previewPathOfId(const QString& id)
{
    const QString decoded = QUrl::fromPercentEncoding(id.toUtf8());
    return decoded.mid(decoded.indexOf(QLatin1Char('/')) + 1);
}

// The id QML hands an image provider for a source URL.
QString providerIdOf(const QString& url)
{
    return QUrl(url).toString(QUrl::RemoveScheme | QUrl::RemoveAuthority).mid(1);
}
} // namespace

class TestNodeView : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();

    void firstStart();
    void firstStartWaitsForOwnPeer();
    void restart();
    void defaultSectorNameFollowsLanguage();
    void lastSector_data();
    void lastSector();
    void movedJustBeforeClosingKeepsPlace();
    void sectorRowsBelongToTheStrip();
    void newSectorStartsRenaming();
    void sectorRenameKeys_data();
    void sectorRenameKeys();

    void fiveMovesOneWrite();
    void styles_data();
    void styles();
    void wrapperPropertiesByType();
    void fileNodeIconUrls_data();
    void fileNodeIconUrls();
    void fileNodeIconReachesProvider();
    void brokenNodeFile_data();
    void brokenNodeFile();
    void namesArePlainText();

private:
    std::unique_ptr<NodeViewFixture> f;
    IdTranslator m_english;
};

void TestNodeView::initTestCase()
{
    QVERIFY(m_english.loadTs(QStringLiteral(VELM_I18N_DIR "/velm_en.ts")));
    QCoreApplication::installTranslator(&m_english);
}

void TestNodeView::cleanup()
{
    f.reset();
    GuiNode::setSaveDelayMs(5000);
    NodeView::setDefaultSectorNames({});
    GuiNode::setComponentUrl(QStringLiteral("directory"), QString());
}

// An empty store: one sector "Main view" with its tab at 32, 32, the extra
// row, and the default nodes of the standard locations with five entries
// or more (Downloads here, not Music with four, not the home with two),
// "This PC" in any case.
void TestNodeView::firstStart()
{
    f.reset(new NodeViewFixture);
    const QString home = f->rig->home();
    for (const char* dir : { "Downloads", "Music" })
        QVERIFY(QDir(home).mkpath(QLatin1String(dir)));
    for (int i = 0; i < 5; ++i)
        QFile(home + QStringLiteral("/Downloads/f%1").arg(i)).open(QIODevice::WriteOnly);
    for (int i = 0; i < 4; ++i)
        QFile(home + QStringLiteral("/Music/f%1").arg(i)).open(QIODevice::WriteOnly);

    f->start();
    NodeView* view = f->view();
    QCOMPARE(view->sectorUuids().size(), 1);
    const QString sector = view->sectorUuids().first();
    QCOMPARE(view->sectorName(sector), QStringLiteral("Main view"));
    QCOMPARE(view->currentSectorUuid(), sector);
    QCOMPARE(f->engine()->rootContext()->contextProperty(QStringLiteral("activeSectorUuid")).toString(), sector);

    GuiNode* tab = f->stripNodeOf(sector);
    QVERIFY(tab);
    QCOMPARE(tab->item()->position(), QPointF(32, 32));
    QCOMPARE(tab->item()->property("name").toString(), QStringLiteral("Main view"));
    QQuickItem* page = view->sectorPage(sector);
    QCOMPARE(page->property("contentX").toDouble(), 1024.0);
    QCOMPARE(page->property("contentY").toDouble(), 1024.0);
    QCOMPARE(page->property("contentWidth").toDouble(), 4096.0);
    QCOMPARE(page->property("contentHeight").toDouble(), 4096.0);

    const VSectorDto extra = f->storedSector(NodeViewFixture::nullUuid());
    QCOMPARE(extra, (VSectorDto{ NodeViewFixture::nullUuid(), QStringLiteral("static"), 1024, 1024, 4096, 4096 }));
    QCOMPARE(f->storedSector(sector).name, QStringLiteral("Main view"));

    // The own peer answers once its drives are listed.
    if (auto* files = qobject_cast<QAbstractItemModel*>(f->rig->ownPeer()->vfsFileSystemModel()))
        files->fetchMore(QModelIndex());
    QTRY_VERIFY_WITH_TIMEOUT(view->sectorNodes(sector).size() >= 2, 20000);
    QCOMPARE(view->sectorNodes(sector).size(), 2);
    GuiNode* downloads = view->sectorNodes(sector).at(0);
    GuiNode* pc = view->sectorNodes(sector).at(1);
    QCOMPARE(downloads->type(), QStringLiteral("directory"));
    QCOMPARE(downloads->path(), home + QStringLiteral("/Downloads"));
    QCOMPARE(downloads->item()->position(), QPointF(1024 + 350, 1024 + 280));
    QCOMPARE(pc->type(), QStringLiteral("peer"));
    QCOMPARE(pc->item()->property("name").toString(), QStringLiteral("This PC"));
    QCOMPARE(pc->item()->position(), QPointF(1024 + 100, 1024 + 300));
    // The directory hangs from the machine's node.
    QCOMPARE(downloads->item()->property("parentDir").value<QQuickItem*>(), pc->item());

    // Stored as soon as made, not at the save delay or the view's end: a
    // run killed now keeps the tab, the machine and the directory.
    QVERIFY(!pc->isSavePending());
    const VNodeDto storedTab = f->storedNode(sector, tab->uuid());
    QCOMPARE(storedTab.type, QStringLiteral("sector"));
    QCOMPARE(QPointF(storedTab.x, storedTab.y), QPointF(32, 32));
    QCOMPARE(storedTab.name, QStringLiteral("Main view"));
    for (GuiNode* node : { downloads, pc }) {
        const VNodeDto stored = f->storedNode(sector, node->uuid());
        QCOMPARE(stored.type, node->type());
        QCOMPARE(stored.path, node->item()->property("path").toString());
        QCOMPARE(QPointF(stored.x, stored.y), node->item()->position());
    }

    // Stored when the view goes.
    f->window.reset();
    int stored = 0;
    for (const VNodeDto& r : f->db()->getVNodes(sector))
        stored += r.type != QLatin1String("sector");
    QCOMPARE(stored, 2);
}

// While the own peer is not up the default nodes wait, and come once it is.
void TestNodeView::firstStartWaitsForOwnPeer()
{
    f.reset(new NodeViewFixture);
    f->rig->ownPeer()->setLinkState(IPeer::LinkDown);
    f->start();
    const QString sector = f->view()->sectorUuids().first();
    QTest::qWait(NodeView::DefaultNodesDelayMs + 3 * NodeView::DefaultNodesRetryMs);
    QCOMPARE(f->view()->sectorNodes(sector).size(), 0);
    f->rig->ownPeer()->setLinkState(IPeer::LinkUp);
    if (auto* files = qobject_cast<QAbstractItemModel*>(f->rig->ownPeer()->vfsFileSystemModel()))
        files->fetchMore(QModelIndex());
    QTRY_VERIFY_WITH_TIMEOUT(f->view()->sectorNodes(sector).size() == 1, 20000);
    QCOMPARE(f->view()->sectorNodes(sector).first()->type(), QStringLiteral("peer"));
}

// A sector stored under the default name of some language shows under the
// current one's, in the strip too, and is stored so; a name the user typed
// stays, even one that only starts like a default.
void TestNodeView::defaultSectorNameFollowsLanguage()
{
    IdTranslator german;
    QVERIFY(german.loadTs(QStringLiteral(VELM_I18N_DIR "/velm_de.ts")));
    QCoreApplication::installTranslator(&german);
    NodeView::setDefaultSectorNames({ QStringLiteral("Main view"), QStringLiteral("Hauptansicht") });
    f.reset(new NodeViewFixture);
    const QString main = f->addSector(QStringLiteral("Main view"));
    const QString typed = f->addSector(QStringLiteral("Main view 2"));
    f->addNode(NodeViewFixture::row(main, QStringLiteral("sector"), QStringLiteral("%"), 32, 32,
                                    NodeViewFixture::nullUuid(), QStringLiteral("Main view"), QStringLiteral("sector0")));
    f->addNode(NodeViewFixture::row(typed, QStringLiteral("sector"), QStringLiteral("%"), 140, 32,
                                    NodeViewFixture::nullUuid(), QStringLiteral("Main view 2"),
                                    QStringLiteral("sector0")));
    f->start();
    NodeView* view = f->view();
    QCOMPARE(view->sectorName(main), QStringLiteral("Hauptansicht"));
    QCOMPARE(f->stripNodeOf(main)->item()->property("name").toString(), QStringLiteral("Hauptansicht"));
    QCOMPARE(view->sectorName(typed), QStringLiteral("Main view 2"));
    QCOMPARE(f->stripNodeOf(typed)->item()->property("name").toString(), QStringLiteral("Main view 2"));

    f->window.reset();
    QCOMPARE(f->storedSector(main).name, QStringLiteral("Hauptansicht"));
    QCOMPARE(f->storedSector(typed).name, QStringLiteral("Main view 2"));
    QCoreApplication::removeTranslator(&german);
}

// Sectors, nodes, places, styles and icons come back from the store.
void TestNodeView::restart()
{
    f.reset(new NodeViewFixture);
    const QString first = f->addSector(QStringLiteral("one"), 1000, 1100, 5000, 5100);
    const QString second = f->addSector(QStringLiteral("two"));
    f->addNode(NodeViewFixture::row(first, QStringLiteral("sector"), QStringLiteral("%"), 40, 30,
                                    NodeViewFixture::nullUuid(), QStringLiteral("one"), QStringLiteral("sector0")));
    f->addNode(NodeViewFixture::row(second, QStringLiteral("sector"), QStringLiteral("%"), 160, 30,
                                    NodeViewFixture::nullUuid(), QStringLiteral("two"), QStringLiteral("sector0")));
    const VNodeDto dir = f->addNode(NodeViewFixture::row(first, QStringLiteral("directory"), QStringLiteral("/srv/a"),
                                                         1300, 1400, NodeViewFixture::nullUuid(), QStringLiteral("a"),
                                                         QStringLiteral("style7"), QStringLiteral("image://theme/icon/folder.svg")));
    const VNodeDto pc = f->addNode(NodeViewFixture::row(second, QStringLiteral("peer"), QStringLiteral("%"), 1500,
                                                        1600, NodeViewFixture::nullUuid(), QStringLiteral("PC")));
    {
        AppSettings settings;
        settings.settings()->setValue(QStringLiteral("nodeview/lastsector"), second);
        settings.settings()->sync();
    }
    f->start();
    NodeView* view = f->view();
    QCOMPARE(view->sectorUuids(), (QStringList{ first, second }));
    QCOMPARE(view->currentSectorUuid(), second);
    QCOMPARE(f->stripNodeOf(first)->item()->position(), QPointF(40, 30));
    QCOMPARE(f->stripNodeOf(second)->item()->property("selected").toBool(), true);
    QCOMPARE(f->stripNodeOf(first)->item()->property("selected").toBool(), false);
    QQuickItem* page = view->sectorPage(first);
    QCOMPARE(page->property("contentX").toDouble(), 1000.0);
    QCOMPARE(page->property("contentHeight").toDouble(), 5100.0);

    GuiNode* a = f->node(first, dir.uuid);
    QVERIFY(a);
    QCOMPARE(a->item()->position(), QPointF(1300, 1400));
    QCOMPARE(a->item()->property("icon").toString(), dir.icon);
    QCOMPARE(a->item()->property("style").value<QObject*>()->property("name").toString(), QStringLiteral("style7"));
    QVERIFY(f->node(second, pc.uuid));

    // Stored as it came back (the last sector still the second).
    f->window.reset();
    QCOMPARE(f->storedNode(first, dir.uuid), dir);
    QCOMPARE(AppSettings().settings()->value(QStringLiteral("nodeview/lastsector")).toString(), second);
}

void TestNodeView::lastSector_data()
{
    QTest::addColumn<QString>("last");
    QTest::addColumn<int>("opened");
    QTest::newRow("second") << "second" << 1;
    QTest::newRow("no such sector") << QUuid::createUuid().toString() << 0;
    QTest::newRow("empty") << "" << 0;
}

void TestNodeView::lastSector()
{
    QFETCH(QString, last);
    QFETCH(int, opened);
    f.reset(new NodeViewFixture);
    const QStringList sectors = { f->addSector(QStringLiteral("one")), f->addSector(QStringLiteral("two")) };
    {
        AppSettings settings;
        settings.settings()->setValue(QStringLiteral("nodeview/lastsector"),
                                      last == QLatin1String("second") ? sectors.at(1) : last);
        settings.settings()->sync();
    }
    f->start();
    QCOMPARE(f->view()->currentSectorUuid(), sectors.at(opened));
}

// A node moved and the program closed at once keeps its new place.
void TestNodeView::movedJustBeforeClosingKeepsPlace()
{
    f.reset(new NodeViewFixture);
    const QString sector = f->addSector(QStringLiteral("one"));
    const VNodeDto dir = f->addNode(NodeViewFixture::row(sector, QStringLiteral("directory"), QStringLiteral("/a"), 1200, 1200));
    f->start();
    GuiNode* node = f->node(sector, dir.uuid);
    node->item()->setPosition(QPointF(1777, 1888));
    QVERIFY(node->isSavePending());
    f->window.reset();
    const VNodeDto stored = f->storedNode(sector, dir.uuid);
    QCOMPARE(stored.x, 1777.0);
    QCOMPARE(stored.y, 1888.0);
}

// The strip alone shows a sector's "sector" row; a sector without one gets
// a new tab at -1, -1; a row of an unknown type makes nothing and stays.
void TestNodeView::sectorRowsBelongToTheStrip()
{
    f.reset(new NodeViewFixture);
    const QString with = f->addSector(QStringLiteral("with tab"));
    const QString without = f->addSector(QStringLiteral("without tab"));
    const VNodeDto tab = f->addNode(NodeViewFixture::row(with, QStringLiteral("sector"), QStringLiteral("%"), 50, 32,
                                                         NodeViewFixture::nullUuid(), QStringLiteral("with tab"),
                                                         QStringLiteral("style3")));
    const VNodeDto odd = f->addNode(NodeViewFixture::row(with, QStringLiteral("hologram"), QStringLiteral("/x"), 1200, 1200));
    const VNodeDto dir = f->addNode(NodeViewFixture::row(with, QStringLiteral("directory"), QStringLiteral("/d"), 1300, 1300));
    f->start();

    QCOMPARE(f->view()->stripNodes().size(), 2);
    QCOMPARE(f->stripNodeOf(with)->uuid(), tab.uuid);
    // The tab's style comes from the theme's "node" object, as every node's.
    QObject* style = f->stripNodeOf(with)->item()->property("style").value<QObject*>();
    QVERIFY(style);
    QCOMPARE(style->property("name").toString(), QStringLiteral("style3"));
    QCOMPARE(f->stripNodeOf(without)->item()->position(), QPointF(-1, -1));
    QCOMPARE(f->view()->sectorNodes(with).size(), 1);
    QCOMPARE(f->view()->sectorNodes(with).first()->uuid(), dir.uuid);
    for (const QString& sector : { with, without }) {
        for (QQuickItem* item : f->pageItems(sector))
            QVERIFY(item->property("sectorUuid").toString().isEmpty());
    }
    QCOMPARE(f->pageItems(with).size(), 1);

    f->window.reset();
    QCOMPARE(f->storedNode(with, odd.uuid), odd);
    // The new tab was stored with the view, once.
    int tabs = 0;
    for (const VNodeDto& r : f->db()->getVNodes(without))
        tabs += r.type == QLatin1String("sector");
    QCOMPARE(tabs, 1);
    QCOMPARE(f->storedNode(with, tab.uuid).x, 50.0);
}

// "View %1" counts the sectors before the new one; its tab edits its name.
void TestNodeView::newSectorStartsRenaming()
{
    f.reset(new NodeViewFixture);
    f->start();
    QCOMPARE(f->view()->sectorUuids().size(), 1);
    f->view()->createNewVSector();
    QCOMPARE(f->view()->sectorUuids().size(), 2);
    const QString sector = f->view()->sectorUuids().at(1);
    QCOMPARE(f->view()->sectorName(sector), QStringLiteral("View 1"));
    QQuickItem* tab = f->stripNodeOf(sector)->item();
    QCOMPARE(tab->property("state").toString(), QStringLiteral("editing"));
    QTest::keyClicks(f->view(), QStringLiteral("Photos"));
    QTest::keyClick(f->view(), Qt::Key_Return);
    QCOMPARE(tab->property("state").toString(), QString());
    QCOMPARE(tab->property("name").toString(), QStringLiteral("Photos"));
    QCOMPARE(f->storedSector(sector).name, QStringLiteral("Photos"));
    QCOMPARE(f->view()->sectorName(sector), QStringLiteral("Photos"));
    QCOMPARE(f->storedNode(sector, f->stripNodeOf(sector)->uuid()).name, QStringLiteral("Photos"));

    f->view()->createNewVSector();
    QCOMPARE(f->view()->sectorName(f->view()->sectorUuids().at(2)), QStringLiteral("View 2"));
}

void TestNodeView::sectorRenameKeys_data()
{
    QTest::addColumn<int>("finishKey");
    QTest::addColumn<QString>("expected");
    QTest::newRow("Return keeps the new name") << int(Qt::Key_Return) << "Archive";
    QTest::newRow("Enter keeps the new name") << int(Qt::Key_Enter) << "Archive";
    QTest::newRow("Escape keeps the old name") << int(Qt::Key_Escape) << "one";
}

// F2 on a focused tab edits its name; the name that stays is stored.
void TestNodeView::sectorRenameKeys()
{
    QFETCH(int, finishKey);
    QFETCH(QString, expected);
    f.reset(new NodeViewFixture);
    const QString sector = f->addSector(QStringLiteral("one"));
    f->start();
    QQuickItem* tab = f->stripNodeOf(sector)->item();
    f->view()->setFocus();
    tab->forceActiveFocus();
    QTRY_VERIFY(tab->hasActiveFocus());
    QTest::keyClick(f->view(), Qt::Key_F2);
    QCOMPARE(tab->property("state").toString(), QStringLiteral("editing"));
    QTest::keyClicks(f->view(), QStringLiteral("Archive"));
    QTest::keyClick(f->view(), Qt::Key(finishKey));
    QCOMPARE(tab->property("state").toString(), QString());
    QCOMPARE(tab->property("name").toString(), expected);
    QCOMPARE(f->storedSector(sector).name, expected);
    QCOMPARE(f->storedNode(sector, f->stripNodeOf(sector)->uuid()).name, expected);
}

// Five moves a few hundred milliseconds apart give one write, a full save
// delay after the last.
void TestNodeView::fiveMovesOneWrite()
{
    f.reset(new NodeViewFixture);
    f->create();
    QTemporaryDir dir;
    CountingDatabase db(dir.filePath(QStringLiteral("count.db")));
    db.putPeer(PeerDto{ NodeViewFixture::nullUuid(), QStringLiteral("velm"), QDateTime::currentDateTimeUtc() });
    const QString sector = QUuid::createUuid().toString();
    db.putVSector(VSectorDto{ sector, QStringLiteral("s"), 0, 0, 100, 100 });
    GuiNode::setSaveDelayMs(600);
    QObject* styles = f->window->theme()->property("node").value<QObject*>();
    GuiNode node(f->engine(), f->rig->ownPeer(), NodeViewFixture::row(sector, QStringLiteral("directory"), QStringLiteral("/a"), 0, 0),
                 styles, nullptr);
    QElapsedTimer sinceLast;
    for (int i = 1; i <= 5; ++i) {
        node.item()->setPosition(QPointF(10 * i, 20 * i));
        sinceLast.start();
        node.restartTimer(&db);
        QTest::qWait(100);
        QCOMPARE(db.writes, 0);
    }
    QTRY_COMPARE(db.writes, 1);
    QVERIFY(sinceLast.elapsed() - db.clock.elapsed() >= GuiNode::saveDelayMs());
    QCOMPARE(db.lastWrite.x, 50.0);
    QCOMPARE(db.lastWrite.y, 100.0);
    QTest::qWait(GuiNode::saveDelayMs() + 200);
    QCOMPARE(db.writes, 1);
    QVERIFY(!node.isSavePending());
}

void TestNodeView::styles_data()
{
    QTest::addColumn<QString>("style");
    QTest::addColumn<QString>("itemStyle"); // the name of the item's style object; "" for none
    QTest::addColumn<QString>("saved");
    QTest::newRow("a colour") << "#ff8800" << "" << "style0";
    QTest::newRow("a swatch") << "style5" << "style5" << "style5";
    QTest::newRow("a special one") << "special0" << "special0" << "special0";
    QTest::newRow("a swatch the theme lacks") << "style99" << "style0" << "style0";
    QTest::newRow("another word") << "node0" << "" << "style0";
}

// The style text of a row picks the style object from the theme's "node"
// object; what is saved is the name of the item's style.
void TestNodeView::styles()
{
    QFETCH(QString, style);
    QFETCH(QString, itemStyle);
    QFETCH(QString, saved);
    f.reset(new NodeViewFixture);
    f->create();
    const QString sector = f->addSector(QStringLiteral("s"));
    QObject* styles = f->window->theme()->property("node").value<QObject*>();
    QVERIFY(styles);
    VNodeDto row = NodeViewFixture::row(sector, QStringLiteral("directory"), QStringLiteral("/a"), 5, 6);
    row.style = style;
    GuiNode node(f->engine(), f->rig->ownPeer(), row, styles, nullptr);
    QObject* object = node.item()->property("style").value<QObject*>();
    if (itemStyle.isEmpty())
        QVERIFY(!object || object->property("name").toString() == QLatin1String("style0")); // the QML default
    else
        QCOMPARE(object->property("name").toString(), itemStyle);
    QVERIFY(node.save(f->db()));
    QCOMPARE(f->storedNode(sector, row.uuid).style, saved);
}

// What the wrapper hands each kind of item.
void TestNodeView::wrapperPropertiesByType()
{
    f.reset(new NodeViewFixture);
    f->create();
    QObject* styles = f->window->theme()->property("node").value<QObject*>();
    RigPeer* own = f->rig->ownPeer();
    const QString sector = QUuid::createUuid().toString();

    GuiNode tab(f->engine(), own, NodeViewFixture::row(sector, QStringLiteral("sector"), QStringLiteral("%"), 0, 0), styles, nullptr);
    QCOMPARE(tab.item()->property("sectorUuid").toString(), sector);
    QVERIFY(!tab.item()->property("peerUuid").isValid());
    QVERIFY(!tab.item()->property("peer").isValid());
    QVERIFY(!tab.item()->property("type").isValid());

    GuiNode pc(f->engine(), own, NodeViewFixture::row(sector, QStringLiteral("peer"), QStringLiteral("%"), 0, 0), styles, nullptr);
    QCOMPARE(pc.item()->property("type").toString(), QStringLiteral("peer"));
    QCOMPARE(pc.item()->property("peerUuid").toString(), QString());
    QVERIFY(!pc.item()->property("peer").value<QObject*>());
    QVERIFY(!pc.item()->property("sectorUuid").isValid());

    GuiNode dir(f->engine(), own, NodeViewFixture::row(sector, QStringLiteral("directory"), QStringLiteral("/d"), 7, 8), styles, nullptr);
    QCOMPARE(dir.item()->property("type").toString(), QStringLiteral("directory"));
    QCOMPARE(dir.item()->property("peerUuid").toString(), NodeViewFixture::nullUuid());
    QCOMPARE(dir.item()->property("peer").value<QObject*>(), static_cast<QObject*>(own));
    QCOMPARE(dir.item()->property("path").toString(), QStringLiteral("/d"));
    QCOMPARE(dir.item()->position(), QPointF(7, 8));
    QCOMPARE(dir.item()->property("needSafe").toBool(), false);

    GuiNode unknown(f->engine(), own, NodeViewFixture::row(sector, QStringLiteral("hologram"), QStringLiteral("/h"), 0, 0), styles, nullptr);
    QVERIFY(!unknown.item());
    QVERIFY(!unknown.save(f->db()));
}

void TestNodeView::fileNodeIconUrls_data()
{
    QTest::addColumn<bool>("ownPeer");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("scheme"); // "preview" or "theme"
    QTest::newRow("own photo with # and %20") << true << "/t/a#b%20c.png" << "preview";
    QTest::newRow("own photo with ?") << true << "/t/what?.jpg" << "preview";
    QTest::newRow("own photo with blanks") << true << "/t/sun set 100%.png" << "preview";
    QTest::newRow("own text file") << true << "/t/a#b%20c.txt" << "theme";
    QTest::newRow("other peer's photo") << false << "/t/a#b%20c.png" << "theme";
    QTest::newRow("other peer, ? and %") << false << "/t/x?y%25z.png" << "theme";
    QTest::newRow("other peer, umlaut and blank") << false << "/t/ä ö.png" << "theme";
}

// The icon URL of a file node names exactly that file, whatever its name.
void TestNodeView::fileNodeIconUrls()
{
    QFETCH(bool, ownPeer);
    QFETCH(QString, path);
    QFETCH(QString, scheme);
    const QString peer = ownPeer ? NodeViewFixture::nullUuid() : QStringLiteral("{12345678-1234-1234-1234-123456789abc}");
    const QString url = FileNode::iconUrl(peer, path);
    QVERIFY2(url.startsWith(QStringLiteral("image://%1/").arg(scheme)), qPrintable(url));
    const QString id = providerIdOf(url);
    if (scheme == QLatin1String("theme")) {
        QVERIFY(id.startsWith(QLatin1String("file/")));
        QCOMPARE(ThemeImageProvider::filePathOfId(id), path);
    } else {
        QCOMPARE(QUrl::fromPercentEncoding(id.toUtf8()), peer + QLatin1Char('/') + path);
        QCOMPARE(previewPathOfId(id), path);
    }
}

// A file node of the own machine shows the preview of exactly its file,
// 400 ms after it was made.
void TestNodeView::fileNodeIconReachesProvider()
{
    f.reset(new NodeViewFixture);
    f->create();
    auto* provider = new RecordingPreviewProvider;
    if (f->engine()->imageProvider(QStringLiteral("preview")))
        f->engine()->removeImageProvider(QStringLiteral("preview"));
    f->engine()->addImageProvider(QStringLiteral("preview"), provider);
    const QString sector = f->addSector(QStringLiteral("s"));
    const QString path = QStringLiteral("/t/a#b%20c.png");
    const VNodeDto file = f->addNode(NodeViewFixture::row(sector, QStringLiteral("file"), path, 1200, 1200));
    f->start();
    GuiNode* node = f->node(sector, file.uuid);
    QVERIFY(qobject_cast<FileNode*>(node));
    QTRY_COMPARE(node->item()->property("icon").toString(), FileNode::iconUrl(NodeViewFixture::nullUuid(), path));
    QTRY_VERIFY(!provider->ids.isEmpty());
    QCOMPARE(previewPathOfId(provider->ids.first()), path);
    f->window.reset();
    QCOMPARE(f->storedNode(sector, file.uuid).icon, FileNode::iconUrl(NodeViewFixture::nullUuid(), path));
}

void TestNodeView::brokenNodeFile_data()
{
    QTest::addColumn<QByteArray>("content"); // empty: no file at all
    QTest::newRow("missing file") << QByteArray();
    QTest::newRow("syntax error") << QByteArray("import QtQuick 2.12\nItem { width: \n");
    QTest::newRow("not an item") << QByteArray("import QtQml 2.12\nQtObject { }\n");
}

// A node file that does not build gives no node, no crash; the row stays.
void TestNodeView::brokenNodeFile()
{
    QFETCH(QByteArray, content);
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("BrokenNode.qml"));
    if (!content.isEmpty()) {
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(content);
    }
    GuiNode::setComponentUrl(QStringLiteral("directory"), QUrl::fromLocalFile(file).toString());
    f.reset(new NodeViewFixture);
    const QString sector = f->addSector(QStringLiteral("s"));
    const VNodeDto broken = f->addNode(NodeViewFixture::row(sector, QStringLiteral("directory"), QStringLiteral("/b"), 1200, 1200));
    const VNodeDto pc = f->addNode(NodeViewFixture::row(sector, QStringLiteral("peer"), QStringLiteral("%"), 1100, 1100));
    f->start();
    QCOMPARE(f->view()->sectorNodes(sector).size(), 1);
    QCOMPARE(f->view()->sectorNodes(sector).first()->uuid(), pc.uuid);
    f->window.reset();
    QCOMPARE(f->storedNode(sector, broken.uuid), broken);
}

// Names of peers and directories are shown as the text they are.
void TestNodeView::namesArePlainText()
{
    f.reset(new NodeViewFixture);
    const QString markup = QStringLiteral("<b>bold</b> & <i>x</i>");
    f->rig->ownPeer()->setName(markup);
    const QString sector = f->addSector(QStringLiteral("s"));
    const VNodeDto dir = f->addNode(NodeViewFixture::row(sector, QStringLiteral("directory"), QStringLiteral("/m"), 1200,
                                                         1200, NodeViewFixture::nullUuid(), markup));
    const VNodeDto pc = f->addNode(NodeViewFixture::row(sector, QStringLiteral("peer"), QStringLiteral("%"), 1100, 1100,
                                                        NodeViewFixture::nullUuid(), markup));
    f->start();
    for (const QString& uuid : { dir.uuid, pc.uuid }) {
        QQuickItem* item = f->node(sector, uuid)->item();
        auto* label = item->findChild<QQuickItem*>(QStringLiteral("nameLabel"));
        QVERIFY(label);
        QCOMPARE(label->property("text").toString(), markup);
        QCOMPARE(label->property("textFormat").toInt(), 0); // Text.PlainText
    }
    // The directory hangs from the machine's node: no peer name below it.
    QCOMPARE(f->node(sector, dir.uuid)->item()->property("parentDir").value<QQuickItem*>(), f->node(sector, pc.uuid)->item());
}

QTEST_MAIN(TestNodeView)
#include "tst_nodeview.moc"
