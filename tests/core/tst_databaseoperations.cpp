#include "core/databasesqlite.h"
#include "core/rawdatabase.h"

#include <QTemporaryDir>
#include <QtTest>

#include <functional>

namespace {

const QString p1 = QStringLiteral("{a1a1a1a1-b1b1-4c1c-8d1d-e1e1e1e1e1e1}");
const QString p2 = QStringLiteral("{a2a2a2a2-b2b2-4c2c-8d2d-e2e2e2e2e2e2}");
const QString s1 = QStringLiteral("{5ec70001-0000-4000-8000-000000000001}");
const QString s2 = QStringLiteral("{5ec70002-0000-4000-8000-000000000002}");
const QString u1 = QStringLiteral("{0000aaaa-0000-4000-8000-000000000001}");
const QString u2 = QStringLiteral("{0000aaaa-0000-4000-8000-000000000002}");
const QString u3 = QStringLiteral("{0000aaaa-0000-4000-8000-000000000003}");
const QDateTime t1 = QDateTime::fromSecsSinceEpoch(1700000000);
const QDateTime t2 = QDateTime::fromSecsSinceEpoch(1700000500);

using Step = std::function<void(IDatabase&)>;
using Action = std::function<bool(IDatabase&)>;

// One change signal and the arguments it must carry.
struct Emission
{
    QByteArray signal; // normalised signature
    QVariantList arguments;
};

QVariant v(const QString& s) { return QVariant::fromValue<Uuid>(s); }
template<typename T> QVariant v(const T& t) { return QVariant::fromValue(t); }

InvitationDto invitation(const QString& uuid, const char* name)
{
    return {uuid, QLatin1String(name), QStringLiteral("secret"), 1700000000, 1700259200};
}
TransportDto transport(const QString& uuid, const char* type, const char* host, quint16 port)
{
    return {uuid, QLatin1String(type), QLatin1String(host), port, 1700000000, false};
}
PeerAclDto acl(const QString& uuid, quint32 flags)
{
    return {uuid, QStringLiteral("Music"), QStringLiteral("/home/u/Music"), flags, t1};
}
CryptoKeyDto key(const QString& uuid, const QByteArray& bytes)
{
    return {uuid, bytes, QStringLiteral("pk"), t1};
}
VNodeDto node(const QString& uuid, const QString& sector, quint64 fileid)
{
    return {uuid, p1, sector, QStringLiteral("docs"), QStringLiteral("round"), QStringLiteral("/docs"),
            QStringLiteral("dir"), QStringLiteral("folder"), fileid, 12.5, -3.25};
}
ImageCacheDto image(const QString& uuid, int width, const QByteArray& bytes, qint64 atime)
{
    return {uuid, p1, QStringLiteral("/pic.jpg"), width, width / 2, 1690000000000LL, atime, bytes};
}

const char* const changeSignals[] = {
    "addedPeer(PeerDto)",
    "addedPeerTransport(Uuid,TransportDto)",
    "addedPeerCryptoKey(Uuid,CryptoKeyDto)",
    "addedPeerAcl(Uuid,Uuid)",
    "removedPeerAcl(Uuid,Uuid)",
    "peerAttributesChanged(Uuid)",
    "addedInvitation(Uuid)",
    "removedInvitation(Uuid)",
};

} // namespace

Q_DECLARE_METATYPE(Step)
Q_DECLARE_METATYPE(Action)
Q_DECLARE_METATYPE(QVector<Emission>)

class TestDatabaseOperations : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void operation_data();
    void operation();
    void normalizedUuid_data();
    void normalizedUuid();

private:
    QScopedPointer<QTemporaryDir> m_dir;
    QScopedPointer<DatabaseSqlite> m_db;
};

void TestDatabaseOperations::initTestCase()
{
    IDatabase::registerMetaTypes();
    QMetaType::registerEqualsComparator<PeerDto>();
    QMetaType::registerEqualsComparator<TransportDto>();
    QMetaType::registerEqualsComparator<CryptoKeyDto>();
    // The signal arguments below are compared as variants.
    QVERIFY(v(PeerDto{p1, "velm", t1}) == v(PeerDto{p1, "velm", t1}));
    QVERIFY(v(PeerDto{p1, "velm", t1}) != v(PeerDto{p1.toUpper(), "velm", t1}));
    QVERIFY((QVariantList{v(p1), v(key(u1, "k"))}) != (QVariantList{v(p1), v(key(u1, "K"))}));
}

// Every case starts from a store holding peers p1 and p2 and sectors s1, s2.
void TestDatabaseOperations::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    m_db.reset(new DatabaseSqlite(m_dir->filePath(QStringLiteral("velm.db"))));
    QVERIFY(m_db->putPeer({p1, QStringLiteral("velm"), t1}));
    QVERIFY(m_db->putPeer({p2, QStringLiteral("velm"), t1}));
    QVERIFY(m_db->putVSector({s1, QStringLiteral("Home"), 0, 0, 100, 100}));
    QVERIFY(m_db->putVSector({s2, QStringLiteral("Work"), 100, 0, 100, 100}));
}

void TestDatabaseOperations::cleanup()
{
    m_db.reset();
    m_dir.reset();
}

void TestDatabaseOperations::operation_data()
{
    QTest::addColumn<Step>("seed");
    QTest::addColumn<Action>("act");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QVector<Emission>>("emissions");
    QTest::addColumn<Step>("check");

    const Step none = [](IDatabase&) {};

    // ------------------------------------------------------------ invitations
    QTest::newRow("putInvitation inserts")
        << none << Action([](IDatabase& db) { return db.putInvitation(invitation(u1, "laptop")); })
        << true << QVector<Emission>{{"addedInvitation(Uuid)", {v(u1)}}}
        << Step([](IDatabase& db) {
               QCOMPARE(db.getInvitations(), std::vector<InvitationDto>{invitation(u1, "laptop")});
           });
    QTest::newRow("putInvitation replaces by uuid")
        << Step([](IDatabase& db) { db.putInvitation(invitation(u1, "laptop")); })
        << Action([](IDatabase& db) {
               InvitationDto dto = invitation(u1.toUpper(), "desk");
               dto.expires = 1800000000;
               return db.putInvitation(dto);
           })
        << true << QVector<Emission>{{"addedInvitation(Uuid)", {v(u1)}}}
        << Step([](IDatabase& db) {
               InvitationDto dto = invitation(u1, "desk");
               dto.expires = 1800000000;
               QCOMPARE(db.getInvitations(), std::vector<InvitationDto>{dto});
           });
    QTest::newRow("deleteInvitation removes")
        << Step([](IDatabase& db) {
               db.putInvitation(invitation(u1, "a"));
               db.putInvitation(invitation(u2, "b"));
           })
        << Action([](IDatabase& db) { return db.deleteInvitation(u1); }) << true
        << QVector<Emission>{{"removedInvitation(Uuid)", {v(u1)}}}
        << Step([](IDatabase& db) {
               QCOMPARE(db.getInvitations(), std::vector<InvitationDto>{invitation(u2, "b")});
           });
    QTest::newRow("deleteInvitation of a missing uuid still announces")
        << none << Action([](IDatabase& db) { return db.deleteInvitation(u3.toUpper()); }) << true
        << QVector<Emission>{{"removedInvitation(Uuid)", {v(u3)}}}
        << Step([](IDatabase& db) { QVERIFY(db.getInvitations().empty()); });

    // ------------------------------------------------------------ peers
    const QString p3 = QStringLiteral("{a3a3a3a3-b3b3-4c3c-8d3d-e3e3e3e3e3e3}");
    QTest::newRow("putPeer inserts, time in seconds")
        << none
        << Action([p3](IDatabase& db) {
               return db.putPeer({p3.toUpper(), QStringLiteral("velm"), t1.addMSecs(999)});
           })
        << true
        << QVector<Emission>{{"addedPeer(PeerDto)", {v(PeerDto{p3, QStringLiteral("velm"), t1})}}}
        << Step([p3](IDatabase& db) {
               const auto peers = db.getPeers(QStringLiteral("velm"));
               QCOMPARE(int(peers.size()), 3);
               QVERIFY(std::find(peers.begin(), peers.end(), PeerDto{p3, QStringLiteral("velm"), t1})
                       != peers.end());
               QVERIFY(db.getPeers(QStringLiteral("other")).empty());
           });
    QTest::newRow("putPeer keeps an existing peer")
        << none
        << Action([](IDatabase& db) { return db.putPeer({p1, QStringLiteral("other"), t2}); })
        << true << QVector<Emission>{}
        << Step([](IDatabase& db) {
               const PeerDto first{p1, QStringLiteral("velm"), t1};
               QCOMPARE(db.getPeers(QStringLiteral("velm")).at(0), first);
               QVERIFY(db.getPeers(QStringLiteral("other")).empty());
           });
    QTest::newRow("putPeer in another spelling is the same peer")
        << none
        << Action([](IDatabase& db) {
               return db.putPeer({p1.toUpper().mid(1, 36), QStringLiteral("velm"), t2});
           })
        << true << QVector<Emission>{}
        << Step([](IDatabase& db) { QCOMPARE(int(db.getPeers(QStringLiteral("velm")).size()), 2); });

    // ------------------------------------------------------------ attributes
    const PeerAttributeDto name{u1, QStringLiteral("name"), QStringLiteral("desk"), 1700000000};
    const PeerAttributeDto icon{u2, QStringLiteral("icon"), QStringLiteral("pc"), 1700000000};
    QTest::newRow("putPeerAttribute inserts")
        << none << Action([name](IDatabase& db) { return db.putPeerAttribute(p1.toUpper(), name); })
        << true << QVector<Emission>{{"peerAttributesChanged(Uuid)", {v(p1)}}}
        << Step([name](IDatabase& db) {
               QCOMPARE(db.getPeerAttributes(p1, {}), std::vector<PeerAttributeDto>{name});
               QVERIFY(db.getPeerAttributes(p2, {}).empty());
           });
    QTest::newRow("putPeerAttribute updates by uuid")
        << Step([name](IDatabase& db) { db.putPeerAttribute(p1, name); })
        << Action([](IDatabase& db) {
               return db.putPeerAttribute(p1, {u1.toUpper(), "name", "renamed", 1700000100});
           })
        << true << QVector<Emission>{{"peerAttributesChanged(Uuid)", {v(p1)}}}
        << Step([](IDatabase& db) {
               QCOMPARE(db.getPeerAttributes(p1, {}),
                        (std::vector<PeerAttributeDto>{{u1, "name", "renamed", 1700000100}}));
           });
    QTest::newRow("putPeerAttribute cannot take another peer's attribute")
        << Step([name](IDatabase& db) { db.putPeerAttribute(p1, name); })
        << Action([](IDatabase& db) { return db.putPeerAttribute(p2, {u1, "name", "stolen", 1}); })
        << false << QVector<Emission>{}
        << Step([name](IDatabase& db) {
               QCOMPARE(db.getPeerAttributes(p1, {}), std::vector<PeerAttributeDto>{name});
               QVERIFY(db.getPeerAttributes(p2, {}).empty());
           });
    QTest::newRow("putPeerAttribute for an unknown peer fails")
        << none
        << Action([name](IDatabase& db) {
               return db.putPeerAttribute(QStringLiteral("{f9f9f9f9-9999-4999-8999-999999999999}"), name);
           })
        << false << QVector<Emission>{} << Step([](IDatabase& db) {
               QVERIFY(db.getPeerAttributes(QStringLiteral("{f9f9f9f9-9999-4999-8999-999999999999}"), {})
                           .empty());
           });
    QTest::newRow("deletePeerAttribute removes")
        << Step([name, icon](IDatabase& db) {
               db.putPeerAttribute(p1, name);
               db.putPeerAttribute(p1, icon);
           })
        << Action([](IDatabase& db) { return db.deletePeerAttribute(p1, u1.toUpper()); }) << true
        << QVector<Emission>{{"peerAttributesChanged(Uuid)", {v(p1)}}}
        << Step([icon](IDatabase& db) {
               QCOMPARE(db.getPeerAttributes(p1, {}), std::vector<PeerAttributeDto>{icon});
           });
    QTest::newRow("deletePeerAttribute only of its own peer")
        << Step([name](IDatabase& db) { db.putPeerAttribute(p1, name); })
        << Action([](IDatabase& db) { return db.deletePeerAttribute(p2, u1); }) << true
        << QVector<Emission>{{"peerAttributesChanged(Uuid)", {v(p2)}}}
        << Step([name](IDatabase& db) {
               QCOMPARE(db.getPeerAttributes(p1, {}), std::vector<PeerAttributeDto>{name});
           });
    QTest::newRow("getPeerAttributes by key, case-sensitive")
        << Step([name, icon](IDatabase& db) {
               db.putPeerAttribute(p1, name);
               db.putPeerAttribute(p1, icon);
           })
        << Action([](IDatabase&) { return true; }) << true << QVector<Emission>{}
        << Step([name, icon](IDatabase& db) {
               QCOMPARE(db.getPeerAttributes(p1, {QStringLiteral("name")}),
                        std::vector<PeerAttributeDto>{name});
               QVERIFY(db.getPeerAttributes(p1, {QStringLiteral("Name")}).empty());
               QCOMPARE(int(db.getPeerAttributes(p1, {QStringLiteral("icon"), QStringLiteral("name")}).size()), 2);
               QCOMPARE(int(db.getPeerAttributes(p1, {}).size()), 2);
           });

    // ------------------------------------------------------------ transports
    QTest::newRow("putTransport inserts and announces")
        << none
        << Action([](IDatabase& db) {
               return db.putTransport(p1.toUpper(), transport(u1.toUpper(), "tcp", "10.0.0.5", 60391));
           })
        << true
        << QVector<Emission>{{"addedPeerTransport(Uuid,TransportDto)",
                              {v(p1), v(TransportDto{u1, "tcp", "10.0.0.5", 60391, 1700000000, true})}}}
        << Step([](IDatabase& db) {
               QCOMPARE(db.getTransports(p1), (std::vector<TransportDto>{
                                                  {u1, "tcp", "10.0.0.5", 60391, 1700000000, true}}));
           });
    QTest::newRow("putTransport updates host, port and time silently")
        << Step([](IDatabase& db) { db.putTransport(p1, transport(u1, "udp", "10.0.0.5", 1000)); })
        << Action([](IDatabase& db) {
               TransportDto dto = transport(u1, "tcp", "10.0.0.6", 2000);
               dto.timestamp = 1700000900;
               return db.putTransport(p1, dto);
           })
        << true << QVector<Emission>{}
        << Step([](IDatabase& db) {
               QCOMPARE(db.getTransports(p1), (std::vector<TransportDto>{
                                                  {u1, "udp", "10.0.0.6", 2000, 1700000900, false}}));
           });
    QTest::newRow("putTransport cannot take another peer's transport")
        << Step([](IDatabase& db) { db.putTransport(p1, transport(u1, "tcp", "10.0.0.5", 60391)); })
        << Action([](IDatabase& db) { return db.putTransport(p2, transport(u1, "tcp", "6.6.6.6", 1)); })
        << false << QVector<Emission>{}
        << Step([](IDatabase& db) {
               QCOMPARE(db.getTransports(p1).at(0).host, QStringLiteral("10.0.0.5"));
               QVERIFY(db.getTransports(p2).empty());
           });
    QTest::newRow("getTransports marks the stream types")
        << Step([](IDatabase& db) {
               db.putTransport(p1, transport(u1, "onion", "abc.onion", 80));
               db.putTransport(p1, transport(u2, "turn", "10.0.0.1", 3478));
               db.putTransport(p1, transport(u3, "udp", "10.0.0.1", 4000));
           })
        << Action([](IDatabase&) { return true; }) << true << QVector<Emission>{}
        << Step([](IDatabase& db) {
               int streams = 0;
               for (const TransportDto& t : db.getTransports(p1))
                   streams += t.stream ? (t.type == QLatin1String("onion") ? 1 : 100) : 0;
               QCOMPARE(streams, 1);
           });

    // ------------------------------------------------------------ shares
    QTest::newRow("putAcl inserts")
        << none << Action([](IDatabase& db) { return db.putAcl(p1, acl(u1.toUpper(), 1)); }) << true
        << QVector<Emission>{{"addedPeerAcl(Uuid,Uuid)", {v(p1), v(u1)}}}
        << Step([](IDatabase& db) { QCOMPARE(db.getAcls(p1), std::vector<PeerAclDto>{acl(u1, 1)}); });
    QTest::newRow("putAcl announces a change of flags too")
        << Step([](IDatabase& db) { db.putAcl(p1, acl(u1, 1)); })
        << Action([](IDatabase& db) { return db.putAcl(p1, acl(u1, 1 | 2 | 4)); }) << true
        << QVector<Emission>{{"addedPeerAcl(Uuid,Uuid)", {v(p1), v(u1)}}}
        << Step([](IDatabase& db) { QCOMPARE(db.getAcls(p1), std::vector<PeerAclDto>{acl(u1, 7)}); });
    QTest::newRow("putAcl cannot take another peer's share")
        << Step([](IDatabase& db) { db.putAcl(p1, acl(u1, 1)); })
        << Action([](IDatabase& db) { return db.putAcl(p2, acl(u1, 3)); }) << false
        << QVector<Emission>{}
        << Step([](IDatabase& db) {
               QCOMPARE(db.getAcls(p1), std::vector<PeerAclDto>{acl(u1, 1)});
               QVERIFY(db.getAcls(p2).empty());
           });
    QTest::newRow("deleteAcl of the peer's share")
        << Step([](IDatabase& db) {
               db.putAcl(p1, acl(u1, 1));
               db.putAcl(p1, acl(u2, 1));
           })
        << Action([](IDatabase& db) { return db.deleteAcl(p1.toUpper(), u1.toUpper()); }) << true
        << QVector<Emission>{{"removedPeerAcl(Uuid,Uuid)", {v(p1), v(u1)}}}
        << Step([](IDatabase& db) { QCOMPARE(db.getAcls(p1), std::vector<PeerAclDto>{acl(u2, 1)}); });
    QTest::newRow("deleteAcl naming the wrong peer removes nothing")
        << Step([](IDatabase& db) { db.putAcl(p1, acl(u1, 1)); })
        << Action([](IDatabase& db) { return db.deleteAcl(p2, u1); }) << true << QVector<Emission>{}
        << Step([](IDatabase& db) { QCOMPARE(db.getAcls(p1), std::vector<PeerAclDto>{acl(u1, 1)}); });
    QTest::newRow("deleteAcl of a missing share is silent")
        << none << Action([](IDatabase& db) { return db.deleteAcl(p1, u3); }) << true
        << QVector<Emission>{} << Step([](IDatabase& db) { QVERIFY(db.getAcls(p1).empty()); });

    // ------------------------------------------------------------ keys
    const QByteArray bytes = QByteArray::fromHex("00ff00112233445566778899aabbccddeeff00112233445566778899aabbcc00");
    QTest::newRow("putCryptoKey inserts the bytes as they are")
        << none << Action([bytes](IDatabase& db) { return db.putCryptoKey(p1, key(u1.toUpper(), bytes)); })
        << true
        << QVector<Emission>{{"addedPeerCryptoKey(Uuid,CryptoKeyDto)", {v(p1), v(key(u1, bytes))}}}
        << Step([bytes](IDatabase& db) {
               QCOMPARE(db.getCryptoKeys(p1.toUpper()), std::vector<CryptoKeyDto>{key(u1, bytes)});
               QVERIFY(db.getCryptoKeys(p2).empty());
           });
    QTest::newRow("putCryptoKey never replaces a key")
        << Step([bytes](IDatabase& db) { db.putCryptoKey(p1, key(u1, bytes)); })
        << Action([](IDatabase& db) { return db.putCryptoKey(p1, key(u1.toUpper(), "other")); }) << true
        << QVector<Emission>{}
        << Step([bytes](IDatabase& db) {
               QCOMPARE(db.getCryptoKeys(p1), std::vector<CryptoKeyDto>{key(u1, bytes)});
           });
    QTest::newRow("putCryptoKey with another peer's key uuid fails")
        << Step([bytes](IDatabase& db) { db.putCryptoKey(p1, key(u1, bytes)); })
        << Action([](IDatabase& db) { return db.putCryptoKey(p2, key(u1, "other")); }) << false
        << QVector<Emission>{}
        << Step([bytes](IDatabase& db) {
               QCOMPARE(db.getCryptoKeys(p1), std::vector<CryptoKeyDto>{key(u1, bytes)});
               QVERIFY(db.getCryptoKeys(p2).empty());
           });

    // ------------------------------------------------------------ node view
    QTest::newRow("putVSector updates by uuid, silently")
        << none
        << Action([](IDatabase& db) { return db.putVSector({s1.toUpper(), "Moved", 1, 2, 3, 4}); })
        << true << QVector<Emission>{}
        << Step([](IDatabase& db) {
               const auto sectors = db.getVSectors();
               QCOMPARE(int(sectors.size()), 2);
               QVERIFY(std::find(sectors.begin(), sectors.end(), VSectorDto{s1, "Moved", 1, 2, 3, 4})
                       != sectors.end());
           });
    QTest::newRow("deleteVSector takes its nodes")
        << Step([](IDatabase& db) {
               db.putVNode(node(u1, s1, 1));
               db.putVNode(node(u2, s2, 2));
           })
        << Action([](IDatabase& db) { return db.deleteVSector(s1.toUpper()); }) << true
        << QVector<Emission>{}
        << Step([](IDatabase& db) {
               QCOMPARE(int(db.getVSectors().size()), 1);
               QVERIFY(db.getVNodes(s1).empty());
               QCOMPARE(db.getVNodes(s2), std::vector<VNodeDto>{node(u2, s2, 2)});
           });
    QTest::newRow("putVNode inserts with its file id")
        << none << Action([](IDatabase& db) { return db.putVNode(node(u1.toUpper(), s1, 42)); }) << true
        << QVector<Emission>{}
        << Step([](IDatabase& db) { QCOMPARE(db.getVNodes(s1), std::vector<VNodeDto>{node(u1, s1, 42)}); });
    QTest::newRow("putVNode keeps a 64-bit file id")
        << none
        << Action([](IDatabase& db) { return db.putVNode(node(u1, s1, 0xfedcba9876543210ULL)); })
        << true << QVector<Emission>{}
        << Step([](IDatabase& db) {
               QCOMPARE(db.getVNodes(s1).at(0).fileid, quint64(0xfedcba9876543210ULL));
           });
    QTest::newRow("putVNode updates, peer and sector stay")
        << Step([](IDatabase& db) { db.putVNode(node(u1, s1, 42)); })
        << Action([](IDatabase& db) {
               VNodeDto moved = node(u1, s2, 43);
               moved.peerUuid = p2;
               moved.name = QStringLiteral("renamed");
               moved.x = 99;
               return db.putVNode(moved);
           })
        << true << QVector<Emission>{}
        << Step([](IDatabase& db) {
               VNodeDto expected = node(u1, s1, 43);
               expected.name = QStringLiteral("renamed");
               expected.x = 99;
               QCOMPARE(db.getVNodes(s1), std::vector<VNodeDto>{expected});
               QVERIFY(db.getVNodes(s2).empty());
           });
    QTest::newRow("putVNode in a missing sector fails")
        << none
        << Action([](IDatabase& db) {
               return db.putVNode(node(u1, QStringLiteral("{5ec70000-0000-4000-8000-00000000dead}"), 1));
           })
        << false << QVector<Emission>{}
        << Step([](IDatabase& db) {
               QVERIFY(db.getVNodes(QStringLiteral("{5ec70000-0000-4000-8000-00000000dead}")).empty());
           });
    QTest::newRow("deleteVNode removes")
        << Step([](IDatabase& db) {
               db.putVNode(node(u1, s1, 1));
               db.putVNode(node(u2, s1, 2));
           })
        << Action([](IDatabase& db) { return db.deleteVNode(u1.toUpper()); }) << true
        << QVector<Emission>{}
        << Step([](IDatabase& db) { QCOMPARE(db.getVNodes(s1), std::vector<VNodeDto>{node(u2, s1, 2)}); });

    // ------------------------------------------------------------ image cache
    QTest::newRow("getImages within the width, non-empty only")
        << Step([](IDatabase& db) {
               db.putImage(image(u1, 512, "wide", 5));
               db.putImage(image(u2, 256, "narrow", 5));
               db.putImage(image(u3, 128, QByteArray(), 5));
           })
        << Action([](IDatabase&) { return true; }) << true << QVector<Emission>{}
        << Step([](IDatabase& db) {
               const QString uri = QStringLiteral("/pic.jpg");
               QCOMPARE(db.getImages(p1.toUpper(), uri, 1690000000000LL, 256),
                        std::vector<ImageCacheDto>{image(u2, 256, "narrow", 5)});
               QCOMPARE(db.getImages(p1, uri, 1690000000000LL, QSize(1024, 1)).size(), size_t(2));
               QVERIFY(db.getImages(p1, uri, 1690000000001LL, 1024).empty());
               QVERIFY(db.getImages(p1, QStringLiteral("/other.jpg"), 1690000000000LL, 1024).empty());
               QVERIFY(db.getImages(p2, uri, 1690000000000LL, 1024).empty());
           });
    QTest::newRow("putImage again only moves the last use")
        << Step([](IDatabase& db) { db.putImage(image(u1, 256, "first", 5)); })
        << Action([](IDatabase& db) {
               ImageCacheDto again = image(u1.toUpper(), 300, "second", 9);
               again.mtime = 1;
               return db.putImage(again);
           })
        << true << QVector<Emission>{}
        << Step([](IDatabase& db) {
               QCOMPARE(db.getImages(p1, QStringLiteral("/pic.jpg"), 1690000000000LL, 1024),
                        std::vector<ImageCacheDto>{image(u1, 256, "first", 9)});
           });
}

void TestDatabaseOperations::operation()
{
    QFETCH(Step, seed);
    QFETCH(Action, act);
    QFETCH(bool, result);
    QFETCH(QVector<Emission>, emissions);
    QFETCH(Step, check);

    seed(*m_db);
    QVERIFY(!QTest::currentTestFailed());

    std::vector<std::unique_ptr<QSignalSpy>> spies;
    for (const char* signal : changeSignals) {
        spies.emplace_back(new QSignalSpy(m_db.data(), QByteArray(QByteArray("2") + signal).constData()));
        QVERIFY(spies.back()->isValid());
    }
    QCOMPARE(act(*m_db), result);

    for (size_t i = 0; i < spies.size(); ++i) {
        const QByteArray signal(changeSignals[i]);
        QVector<QVariantList> expected;
        for (const Emission& e : emissions)
            if (e.signal == signal)
                expected << e.arguments;
        QVERIFY2(spies[i]->count() == expected.size(),
                 qPrintable(QStringLiteral("%1 emitted %2 times, expected %3")
                                .arg(QLatin1String(signal))
                                .arg(spies[i]->count())
                                .arg(expected.size())));
        for (int n = 0; n < expected.size(); ++n)
            QCOMPARE(spies[i]->at(n), expected[n]);
    }
    check(*m_db);
}

void TestDatabaseOperations::normalizedUuid_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("stored");
    const QString lower = QStringLiteral("{8c7e2a52-9b1d-4e5f-a0c3-0123456789ab}");
    QTest::newRow("stored form") << lower << lower;
    QTest::newRow("upper case") << lower.toUpper() << lower;
    QTest::newRow("no braces") << lower.mid(1, 36).toUpper() << lower;
    QTest::newRow("blanks") << QStringLiteral("  ") + lower + QStringLiteral("\n") << lower;
    QTest::newRow("null uuid") << QStringLiteral("{00000000-0000-0000-0000-000000000000}")
                               << QStringLiteral("{00000000-0000-0000-0000-000000000000}");
    QTest::newRow("empty") << QString() << QString();
    QTest::newRow("not a uuid") << QStringLiteral("Hello") << QStringLiteral("Hello");
    QTest::newRow("bad hex kept") << QStringLiteral("{8C7E2A52-9B1D-4E5F-A0C3-0123456789AZ}")
                                  << QStringLiteral("{8C7E2A52-9B1D-4E5F-A0C3-0123456789AZ}");
    QTest::newRow("trailing text kept") << lower.mid(0, 37) + QStringLiteral("x}")
                                        << lower.mid(0, 37) + QStringLiteral("x}");
    QTest::newRow("one brace kept") << lower.mid(0, 37) << lower.mid(0, 37);
}

void TestDatabaseOperations::normalizedUuid()
{
    QFETCH(QString, text);
    QFETCH(QString, stored);
    QCOMPARE(::normalizedUuid(text), stored);
}

QTEST_GUILESS_MAIN(TestDatabaseOperations)
#include "tst_databaseoperations.moc"
