#include "core/databasesqlite.h"
#include "peer/invitationmodel.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <memory>

namespace {

InvitationDto invitation(int n, const QString& name, qint64 expires = 1900000000)
{
    InvitationDto dto;
    dto.uuid = QStringLiteral("{1a000000-0000-4000-8000-%1}").arg(n, 12, 10, QLatin1Char('0'));
    dto.name = name;
    dto.password = QStringLiteral("pw-") + name;
    dto.timestamp = 1700000000 + n;
    dto.expires = expires;
    return dto;
}

QStringList names(const InvitationModel& model)
{
    QStringList list;
    for (int row = 0; row < model.rowCount(); ++row)
        list << model.data(model.index(row), InvitationModel::NameRole).toString();
    return list;
}

} // namespace

class TestInvitationModel : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void instance();
    void rolesOfStoredRows();
    void addAndRemoveFollowTheStore();
    void rewrittenInvitationStaysOneRow();
    void deletionOnAnotherThreadReachesTheModelThread();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<DatabaseSqlite> m_db;
};

void TestInvitationModel::init()
{
    m_dir.reset(new QTemporaryDir);
    m_db.reset(new DatabaseSqlite(m_dir->filePath(QStringLiteral("velm.db"))));
    QVERIFY(m_db->init());
}

void TestInvitationModel::cleanup()
{
    m_db.reset();
}

void TestInvitationModel::instance()
{
    QVERIFY(!InvitationModel::instance());
    {
        InvitationModel model(m_db.get());
        QCOMPARE(InvitationModel::instance(), &model);
    }
    QVERIFY(!InvitationModel::instance());
}

void TestInvitationModel::rolesOfStoredRows()
{
    const InvitationDto stored = invitation(1, QStringLiteral("laptop"), 1600000000); // long expired
    QVERIFY(m_db->putInvitation(stored));
    InvitationModel model(m_db.get());
    QCOMPARE(model.rowCount(), 1);

    const QHash<int, QByteArray> roles = model.roleNames();
    struct Case { int role; QByteArray name; QVariant value; };
    const Case cases[] = {
        {257, "invUuid", stored.uuid},
        {258, "invName", stored.name},
        {259, "invPassword", stored.password},
        {260, "invTimestamp", QDateTime::fromSecsSinceEpoch(stored.timestamp, Qt::LocalTime)},
        {261, "invExpires", QDateTime::fromSecsSinceEpoch(stored.expires, Qt::LocalTime)},
    };
    QCOMPARE(roles.size(), 5);
    for (const Case& c : cases) {
        QCOMPARE(roles.value(c.role), c.name);
        QCOMPARE(model.data(model.index(0), c.role), c.value);
    }
    QCOMPARE(model.data(model.index(0), InvitationModel::TimestampRole).toDateTime().timeSpec(), Qt::LocalTime);
    // Past the last row, or another role: nothing.
    QVERIFY(!model.data(model.index(1), InvitationModel::UuidRole).isValid());
    QVERIFY(!model.data(model.index(0), Qt::DisplayRole).isValid());
}

void TestInvitationModel::addAndRemoveFollowTheStore()
{
    QVERIFY(m_db->putInvitation(invitation(1, QStringLiteral("a"))));
    InvitationModel model(m_db.get());
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
    QVERIFY(m_db->putInvitation(invitation(2, QStringLiteral("b"))));
    QVERIFY(m_db->putInvitation(invitation(3, QStringLiteral("c"))));
    QCOMPARE(names(model), (QStringList{"a", "b", "c"}));
    QCOMPARE(inserted.count(), 2);

    // The middle one goes; the others keep their order.
    QVERIFY(m_db->deleteInvitation(invitation(2, QString()).uuid));
    QCOMPARE(names(model), (QStringList{"a", "c"}));
    QCOMPARE(removed.count(), 1);
    QCOMPARE(removed.first().at(1).toInt(), 1);

    // Signals for rows the store or the model does not hold change nothing.
    model.onAddedInvitation(invitation(9, QString()).uuid);
    model.onRemovedInvitation(invitation(9, QString()).uuid);
    QVERIFY(m_db->deleteInvitation(invitation(2, QString()).uuid));
    QCOMPARE(names(model), (QStringList{"a", "c"}));
    QCOMPARE(inserted.count(), 2);
    QCOMPARE(removed.count(), 1);
}

void TestInvitationModel::rewrittenInvitationStaysOneRow()
{
    QVERIFY(m_db->putInvitation(invitation(1, QStringLiteral("a"))));
    QVERIFY(m_db->putInvitation(invitation(2, QStringLiteral("b"))));
    InvitationModel model(m_db.get());
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);

    // The store writes by upsert and signals every write: the row is
    // replaced where it stands, not listed twice.
    InvitationDto renamed = invitation(1, QStringLiteral("a2"), 1950000000);
    QVERIFY(m_db->putInvitation(renamed));
    QCOMPARE(names(model), (QStringList{"a2", "b"}));
    QCOMPARE(inserted.count(), 0);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.first().at(0).toModelIndex().row(), 0);
    QCOMPARE(model.data(model.index(0), InvitationModel::ExpiresRole),
             QVariant(QDateTime::fromSecsSinceEpoch(1950000000, Qt::LocalTime)));

    // One removal then empties that uuid completely.
    QVERIFY(m_db->deleteInvitation(renamed.uuid));
    QCOMPARE(names(model), (QStringList{"b"}));
}

void TestInvitationModel::deletionOnAnotherThreadReachesTheModelThread()
{
    QVERIFY(m_db->putInvitation(invitation(1, QStringLiteral("a"))));
    QVERIFY(m_db->putInvitation(invitation(2, QStringLiteral("b"))));
    InvitationModel model(m_db.get());
    QThread* removalThread = nullptr;
    connect(&model, &QAbstractItemModel::rowsRemoved, &model,
            [&removalThread] { removalThread = QThread::currentThread(); }, Qt::DirectConnection);

    // As the authenticator deletes a used invitation on the io thread.
    QThread* io = QThread::create([this] { m_db->deleteInvitation(invitation(1, QString()).uuid); });
    io->start();
    QVERIFY(io->wait(60000));
    delete io;
    QTRY_COMPARE_WITH_TIMEOUT(names(model), (QStringList{"b"}), 30000);
    QCOMPARE(removalThread, QThread::currentThread());
}

QTEST_MAIN(TestInvitationModel)
#include "tst_invitationmodel.moc"
