#include "core/databasesqlite.h"
#include "crypto/crypto.h"
#include "peer/invitationrecord.h"
#include "peer/lan/upnp.h"
#include "peer/lan/upnpchannel.h"
#include "peer/peerfactory.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <deque>
#include <memory>

namespace {

const QString own = QStringLiteral("{00000000-0000-0000-0000-000000000000}");
const QHostAddress group(QStringLiteral("239.255.255.212"));
constexpr quint16 port = 6009;
constexpr qint64 startTime = 1700000000;

class FakeChannel;

// A network in memory: what one member sends, every joined member hears,
// the sender too (as multicast loops back by default).
struct Bus
{
    std::vector<FakeChannel*> members;
};

class FakeChannel : public UpnpChannel
{
public:
    FakeChannel(Bus* bus, const QString& address) : m_bus(bus), m_address(address) { bus->members.push_back(this); }
    ~FakeChannel() override { m_bus->members.erase(std::find(m_bus->members.begin(), m_bus->members.end(), this)); }

    bool isBound() const override { return bound; }
    int state() const override { return bound ? 4 : 0; }
    bool bind(quint16 p) override
    {
        ++binds;
        bound = !failBind && p == port;
        return bound;
    }
    bool joinGroup(const QHostAddress& g) override
    {
        joined = bound && g == group;
        return joined;
    }
    bool leaveGroup(const QHostAddress&) override
    {
        const bool was = joined;
        joined = false;
        return was;
    }
    void close() override
    {
        bound = false;
        joined = false;
    }
    qint64 send(const QByteArray& datagram, const QHostAddress& g, quint16 p) override
    {
        sent.push_back(datagram);
        for (FakeChannel* member : m_bus->members) {
            if (member->joined && g == group && p == port)
                member->deliver(datagram, QHostAddress(m_address));
        }
        return datagram.size();
    }
    bool hasPendingDatagrams() const override { return !m_pending.empty(); }
    QByteArray readDatagram(QHostAddress* sender) override
    {
        const auto next = m_pending.front();
        m_pending.pop_front();
        *sender = next.second;
        return next.first;
    }
    QString errorString() const override { return QStringLiteral("fake"); }

    // A datagram from somewhere on the network, heard on the next event-loop pass.
    void deliver(const QByteArray& datagram, const QHostAddress& sender = QHostAddress(QStringLiteral("192.0.2.99")))
    {
        m_pending.emplace_back(datagram, sender);
        QMetaObject::invokeMethod(this, [this] { emit readyRead(); }, Qt::QueuedConnection);
    }

    bool bound = false;
    bool joined = false;
    bool failBind = false;
    int binds = 0;
    std::vector<QByteArray> sent;

private:
    Bus* m_bus;
    QString m_address;
    std::deque<std::pair<QByteArray, QHostAddress>> m_pending;
};

// One machine: a database with its own identity and an announcer on the bus
// with a hand-set clock.
struct Machine
{
    Machine(Bus* bus, const QString& address, const QString& name)
    {
        db.reset(new DatabaseSqlite(dir.filePath(QStringLiteral("velm.db"))));
        db->init();
        const QDateTime then = QDateTime::fromSecsSinceEpoch(1600000000);
        db->putPeer(PeerDto{own, QStringLiteral("velm"), then});
        unsigned char pk[crypto::PublicKeyBytes];
        unsigned char sk[crypto::SecretKeyBytes];
        crypto::generateKeyPair(pk, sk);
        const QByteArray pksk = QByteArray(reinterpret_cast<const char*>(pk), sizeof pk)
                                + QByteArray(reinterpret_cast<const char*>(sk), sizeof sk);
        db->putCryptoKey(own, CryptoKeyDto{QUuid::createUuid().toString(), pksk, QStringLiteral("pksk"), then});
        db->putPeerAttribute(own, PeerAttributeDto{QUuid::createUuid().toString(), QStringLiteral("name"), name, 0});
        channel = new FakeChannel(bus, address);
        upnp.reset(new Upnp(db.get(), channel, group, port));
        upnp->setClock([this] { return clock; });
        upnp->setLocalTransports([address] {
            return std::vector<TransportDto>{
                TransportDto{QUuid::createUuid().toString(), QStringLiteral("tcp"), address, 41001, 0, true}};
        });
    }

    QString invite(const QString& password, qint64 expires = startTime + 86400)
    {
        InvitationDto dto;
        dto.uuid = QUuid::createUuid().toString();
        dto.name = QStringLiteral("for a friend");
        dto.password = password;
        dto.timestamp = clock;
        dto.expires = expires;
        db->putInvitation(dto);
        return dto.uuid;
    }

    // Brings the announcer to the state of ten seconds after start: bound,
    // joined, ticking every 30 s.
    void startAndJoin()
    {
        upnp->start();
        upnp->announceUpnp();
        upnp->announceUpnp();
        QVERIFY(upnp->isJoined());
    }

    int otherPeers() const
    {
        int count = 0;
        for (const PeerDto& p : db->getPeers(QStringLiteral("velm")))
            count += p.uuid != own;
        return count;
    }

    QTemporaryDir dir;
    std::unique_ptr<DatabaseSqlite> db;
    FakeChannel* channel = nullptr;
    std::unique_ptr<Upnp> upnp;
    qint64 clock = startTime;
};

// The invitation uuid an announced datagram opens to.
QString idOf(const QByteArray& datagram, const QString& password)
{
    InvitationRecord record;
    return PeerFactory::decodeInvitation(QString::fromLatin1(datagram), password, &record) ? record.id : QString();
}

} // namespace

class TestUpnp : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void startBindsThenJoinsThenAnnouncesEveryThirtySeconds();
    void invitationsTakeTurnsAndANewOneGoesOutASecondLater();
    void expiredInvitationsAreNoLongerAnnounced();
    void ownAnnouncementsAreIgnored();
    void pairsWithThePasswordTypedBeforeOrAfterTheAnnouncement();
    void heardTextsAreBoundedAndDecodedOnce();
    void stopLeavesAndStartJoinsAnew();
    void withoutAGroupNothingIsBound();

private:
    std::unique_ptr<Crypto> m_crypto;
};

void TestUpnp::initTestCase()
{
    m_crypto.reset(new Crypto);
    QVERIFY(m_crypto->isInitialised());
}

void TestUpnp::startBindsThenJoinsThenAnnouncesEveryThirtySeconds()
{
    Bus bus;
    Machine a(&bus, QStringLiteral("10.1.0.1"), QStringLiteral("alpha"));
    const QString id = a.invite(QStringLiteral("Secret12"));
    QVERIFY(!a.upnp->isTimerActive());
    a.upnp->start();
    QVERIFY(a.upnp->isTimerActive());
    QCOMPARE(a.upnp->timerInterval(), 5000);

    // The first tick (at 5 s) only binds; a failed bind is retried every 5 s.
    a.channel->failBind = true;
    a.upnp->announceUpnp();
    QVERIFY(!a.upnp->isBound());
    QCOMPARE(a.upnp->timerInterval(), 5000);
    a.channel->failBind = false;
    a.upnp->announceUpnp();
    QVERIFY(a.upnp->isBound());
    QVERIFY(!a.upnp->isJoined());
    QCOMPARE(a.upnp->timerInterval(), 5000);
    QCOMPARE(a.channel->sent.size(), size_t(0));

    // The next (at 10 s) joins and announces, and from then on every 30 s.
    a.upnp->announceUpnp();
    QVERIFY(a.upnp->isJoined());
    QCOMPARE(a.upnp->timerInterval(), 30000);
    QCOMPARE(a.channel->sent.size(), size_t(1));
    QVERIFY(a.channel->sent[0].startsWith("velm:"));
    QCOMPARE(idOf(a.channel->sent[0], QStringLiteral("Secret12")), id);
    QVERIFY(idOf(a.channel->sent[0], QStringLiteral("Secret13")).isEmpty()); // the password is never sent
    a.upnp->announceUpnp();
    QCOMPARE(a.channel->sent.size(), size_t(2));
    QCOMPARE(a.channel->sent[1], a.channel->sent[0]); // built once, then sent from the cache
    QCOMPARE(a.upnp->transmitCache().size(), size_t(1));
    QCOMPARE(a.upnp->announcements(), quint64(2));
}

void TestUpnp::invitationsTakeTurnsAndANewOneGoesOutASecondLater()
{
    Bus bus;
    Machine a(&bus, QStringLiteral("10.1.0.1"), QStringLiteral("alpha"));
    const QString first = a.invite(QStringLiteral("pw-first"));
    const QString second = a.invite(QStringLiteral("pw-second"));
    a.startAndJoin();
    a.upnp->announceUpnp();
    a.upnp->announceUpnp();
    QCOMPARE(a.channel->sent.size(), size_t(3));
    // Whichever the store lists first goes first; then they alternate.
    const QString one = idOf(a.channel->sent[0], QStringLiteral("pw-first")).isEmpty() ? second : first;
    const QString two = one == first ? second : first;
    const auto idSent = [&a](size_t n) {
        const QString id = idOf(a.channel->sent[n], QStringLiteral("pw-first"));
        return id.isEmpty() ? idOf(a.channel->sent[n], QStringLiteral("pw-second")) : id;
    };
    QCOMPARE(idSent(0), one);
    QCOMPARE(idSent(1), two);
    QCOMPARE(idSent(2), one);

    // A third one is stored: the timer fires a second later with it, then
    // goes back to 30 s.
    const QString third = a.invite(QStringLiteral("pw-third"));
    QCOMPARE(a.upnp->timerInterval(), 1000);
    QVERIFY(a.upnp->isTimerActive());
    a.upnp->announceUpnp();
    QCOMPARE(a.upnp->timerInterval(), 30000);
    QCOMPARE(idOf(a.channel->sent.back(), QStringLiteral("pw-third")), third);

    // Deleting an invitation drops its cached text.
    QCOMPARE(a.upnp->transmitCache().size(), size_t(3));
    a.db->deleteInvitation(third);
    QCOMPARE(a.upnp->transmitCache().size(), size_t(2));
}

void TestUpnp::expiredInvitationsAreNoLongerAnnounced()
{
    Bus bus;
    Machine a(&bus, QStringLiteral("10.1.0.1"), QStringLiteral("alpha"));
    a.invite(QStringLiteral("pw-stale"), startTime - 1);        // expired before its first turn
    const QString soon = a.invite(QStringLiteral("pw-soon"), startTime + 100);
    a.startAndJoin(); // the stale one's turn or the other's
    for (int i = 0; i < 3; ++i)
        a.upnp->announceUpnp();
    // The stale one was skipped and never built; the other went out.
    QCOMPARE(a.upnp->transmitCache().size(), size_t(1));
    QCOMPARE(a.upnp->transmitCache()[0].uuid, soon);
    for (const QByteArray& datagram : a.channel->sent)
        QCOMPARE(idOf(datagram, QStringLiteral("pw-soon")), soon);
    QVERIFY(!a.channel->sent.empty());

    // Past its expiry the cached one is removed on its turn and sent no more.
    a.clock = startTime + 101;
    const size_t before = a.channel->sent.size();
    for (int i = 0; i < 4; ++i)
        a.upnp->announceUpnp();
    QCOMPARE(a.channel->sent.size(), before);
    QVERIFY(a.upnp->transmitCache().empty());
}

void TestUpnp::ownAnnouncementsAreIgnored()
{
    Bus bus;
    Machine a(&bus, QStringLiteral("10.1.0.1"), QStringLiteral("alpha"));
    a.invite(QStringLiteral("pw-one"));
    a.invite(QStringLiteral("pw-two"));
    PeerFactory::addInvitationPassword(a.db.get(), QStringLiteral("pw-one"));
    a.startAndJoin();
    a.upnp->announceUpnp();
    a.upnp->announceUpnp();
    QCOMPARE(a.channel->sent.size(), size_t(3));
    QCoreApplication::processEvents();
    QTRY_VERIFY(!a.channel->hasPendingDatagrams());
    QVERIFY(a.upnp->received().empty());
    QCOMPARE(a.upnp->decodeAttempts(), quint64(0));
    QCOMPARE(a.otherPeers(), 0);
}

void TestUpnp::pairsWithThePasswordTypedBeforeOrAfterTheAnnouncement()
{
    Bus bus;
    Machine a(&bus, QStringLiteral("10.1.0.1"), QStringLiteral("alpha"));
    Machine b(&bus, QStringLiteral("10.1.0.2"), QStringLiteral("beta"));
    Machine c(&bus, QStringLiteral("10.1.0.3"), QStringLiteral("gamma"));
    b.startAndJoin();
    c.startAndJoin();

    // B's user typed the password before anything was heard.
    QVERIFY(PeerFactory::addInvitationPassword(b.db.get(), QStringLiteral("pw-for-b")));
    QTRY_COMPARE(b.upnp->decodeAttempts(), quint64(0)); // nothing heard yet, nothing decoded
    QSignalSpy bAccepted(b.upnp.get(), &Upnp::acceptedInvitation);
    QSignalSpy cAccepted(c.upnp.get(), &Upnp::acceptedInvitation);
    a.invite(QStringLiteral("pw-for-b"));
    a.startAndJoin();
    QTRY_COMPARE_WITH_TIMEOUT(bAccepted.count(), 1, 30000);
    QCOMPARE(bAccepted.first().at(0).toInt(), int(PeerFactory::AcceptNewPeer));
    QCOMPARE(b.otherPeers(), 1);
    QCOMPARE(b.db->getTransports(b.db->getPeers(QStringLiteral("velm")).back().uuid).size(), size_t(1));
    QVERIFY(b.upnp->received().empty()); // matched and let go

    // C heard the same text but has no password yet: nothing happens...
    QTRY_COMPARE_WITH_TIMEOUT(c.upnp->received().size(), size_t(1), 30000);
    QCOMPARE(c.otherPeers(), 0);
    // ... until a second invitation of A arrives and C's user types its
    // password afterwards: C pairs with no further announcement.
    a.invite(QStringLiteral("pw-for-c"));
    a.upnp->announceUpnp();
    QTRY_COMPARE_WITH_TIMEOUT(c.upnp->received().size(), size_t(2), 30000);
    const size_t sentByA = a.channel->sent.size();
    QVERIFY(PeerFactory::addInvitationPassword(c.db.get(), QStringLiteral("pw-for-c")));
    QTRY_COMPARE_WITH_TIMEOUT(cAccepted.count(), 1, 30000);
    QCOMPARE(cAccepted.first().at(0).toInt(), int(PeerFactory::AcceptNewPeer));
    QCOMPARE(a.channel->sent.size(), sentByA);
    QCOMPARE(c.otherPeers(), 1);
    QCOMPARE(c.upnp->received().size(), size_t(1)); // B's text stays, unopened
    // The accept used the password up.
    QTRY_COMPARE(c.db->getPeerAttributes(own, {QStringLiteral("invpw")}).size(), size_t(0));
    QCOMPARE(a.otherPeers(), 0); // A stores its guests only when they shake hands
}

void TestUpnp::heardTextsAreBoundedAndDecodedOnce()
{
    Bus bus;
    Machine b(&bus, QStringLiteral("10.1.0.2"), QStringLiteral("beta"));
    QVERIFY(PeerFactory::addInvitationPassword(b.db.get(), QStringLiteral("pw-1")));
    QVERIFY(PeerFactory::addInvitationPassword(b.db.get(), QStringLiteral("pw-2")));
    b.startAndJoin();
    QTRY_COMPARE(b.upnp->decodeAttempts(), quint64(0));

    // Texts that no password opens (the same shape as an invitation).
    const auto text = [](int n) { return QByteArray("velm:AAAA") + QByteArray::number(n); };
    for (int n = 0; n < 3; ++n)
        b.channel->deliver(text(n));
    QTRY_COMPARE(b.upnp->received().size(), size_t(3));
    QCOMPARE(b.upnp->decodeAttempts(), quint64(6)); // each text with each password

    // Repeats change nothing; a new text costs one decode per password.
    b.channel->deliver(text(1));
    b.channel->deliver(text(3));
    QTRY_COMPARE(b.upnp->received().size(), size_t(4));
    QCOMPARE(b.upnp->decodeAttempts(), quint64(8));

    // A new password is tried with the texts already heard, the old ones not again.
    QVERIFY(PeerFactory::addInvitationPassword(b.db.get(), QStringLiteral("pw-3")));
    QTRY_COMPARE(b.upnp->decodeAttempts(), quint64(12));

    // Not invitations, or too large: neither kept nor decoded.
    b.channel->deliver("hello");
    b.channel->deliver(QByteArray("velm:") + QByteArray(Upnp::MaxDatagramSize, 'A'));
    b.channel->deliver(text(4)); // marks the end of the batch
    QTRY_COMPARE(b.upnp->received().size(), size_t(5));
    QCOMPARE(b.upnp->decodeAttempts(), quint64(15));

    // A flood keeps only the newest texts.
    for (int n = 100; n < 100 + 3 * Upnp::MaxReceived; ++n)
        b.channel->deliver(text(n));
    QTRY_COMPARE(b.upnp->received().back().datagram, text(100 + 3 * Upnp::MaxReceived - 1));
    QCOMPARE(b.upnp->received().size(), size_t(Upnp::MaxReceived));
    QCOMPARE(b.upnp->received().front().datagram, text(100 + 2 * Upnp::MaxReceived));
}

void TestUpnp::stopLeavesAndStartJoinsAnew()
{
    Bus bus;
    Machine a(&bus, QStringLiteral("10.1.0.1"), QStringLiteral("alpha"));
    a.startAndJoin();
    a.upnp->stop();
    QVERIFY(!a.upnp->isTimerActive());
    QVERIFY(!a.upnp->isJoined());
    QVERIFY(!a.channel->joined);
    QVERIFY(!a.upnp->isBound());
    a.upnp->start();
    QCOMPARE(a.upnp->timerInterval(), 5000);
    a.upnp->announceUpnp();
    QVERIFY(a.upnp->isBound());
    a.upnp->announceUpnp();
    QVERIFY(a.channel->joined);
    QCOMPARE(a.channel->binds, 2);
}

void TestUpnp::withoutAGroupNothingIsBound()
{
    Bus bus;
    Machine a(&bus, QStringLiteral("10.1.0.1"), QStringLiteral("alpha"));
    auto* channel = new FakeChannel(&bus, QStringLiteral("10.1.0.9"));
    Upnp off(a.db.get(), channel, QHostAddress(), port);
    QVERIFY(!off.isEnabled());
    off.start();
    QVERIFY(!off.isTimerActive());
    off.announceUpnp();
    QCOMPARE(channel->binds, 0);
}

QTEST_MAIN(TestUpnp)
#include "tst_upnp.moc"
