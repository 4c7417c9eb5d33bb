#include "peer/peeraclmodel.h"

#include <QSignalSpy>
#include <QThread>
#include <QtTest>

namespace {

PeerAclDto acl(const QString& name, quint32 flags)
{
    PeerAclDto dto;
    dto.uuid = QStringLiteral("{ac1%1}").arg(name);
    dto.name = name;
    dto.selector = QStringLiteral("/srv/") + name;
    dto.flags = flags;
    dto.timestamp = QDateTime::fromSecsSinceEpoch(1700000000, Qt::UTC);
    return dto;
}

QStringList column(const PeerAclModel& model, int role)
{
    QStringList list;
    for (int row = 0; row < model.rowCount(); ++row)
        list << model.data(model.index(row), role).toString();
    return list;
}

} // namespace

class TestPeerAclModel : public QObject
{
    Q_OBJECT
private slots:
    void directoriesFirstThenNameIgnoringCase();
    void rolesTable_data();
    void rolesTable();
    void everyUpdateIsOneReset();
    void listFromAnotherThreadLandsOnTheModelThread();
};

void TestPeerAclModel::directoriesFirstThenNameIgnoringCase()
{
    PeerAclModel model;
    model.updateAcls({acl("beta", 1), acl("Alpha", 1 | 4), acl("alpha2", 1 | 4), acl("Gamma", 1)});
    QCOMPARE(column(model, PeerAclModel::NameRole), (QStringList{"Alpha", "alpha2", "beta", "Gamma"}));
}

void TestPeerAclModel::rolesTable_data()
{
    QTest::addColumn<quint32>("flags");
    QTest::addColumn<QString>("mimetype");
    QTest::addColumn<QString>("icon");
    QTest::newRow("whole drive") << quint32(1 | 4 | 8) << "application/x-directory"
                                 << "image://theme/icon/drive-disk.svg";
    QTest::newRow("folder") << quint32(1 | 4) << "application/x-directory"
                            << "image://theme/mime/application/x-directory";
    QTest::newRow("file") << quint32(1) << "application/file" << "image://theme/file/photo.jpg";
    QTest::newRow("drive bit without directory") << quint32(8) << "application/file"
                                                 << "image://theme/file/photo.jpg";
}

void TestPeerAclModel::rolesTable()
{
    QFETCH(quint32, flags);
    QFETCH(QString, mimetype);
    QFETCH(QString, icon);
    PeerAclModel model;
    const PeerAclDto row = acl(QStringLiteral("photo.jpg"), flags);
    model.updateAcls({row});
    const QModelIndex index = model.index(0);
    QCOMPARE(model.data(index, PeerAclModel::NameRole).toString(), row.name);
    QCOMPARE(model.data(index, PeerAclModel::SelectorRole).toString(), row.selector);
    QCOMPARE(model.data(index, PeerAclModel::UuidRole).toString(), row.uuid);
    QCOMPARE(model.data(index, PeerAclModel::FlagsRole), QVariant(uint(flags)));
    QCOMPARE(model.data(index, PeerAclModel::MimeTypeRole).toString(), mimetype);
    QCOMPARE(model.data(index, PeerAclModel::TimestampRole).toDateTime(), row.timestamp);
    QCOMPARE(model.data(index, PeerAclModel::IconRole).toString(), icon);
    QVERIFY(!model.data(index, Qt::DisplayRole).isValid());
    QVERIFY(!model.data(model.index(1), PeerAclModel::NameRole).isValid());

    const QHash<int, QByteArray> names = model.roleNames();
    const QHash<int, QByteArray> expected{{257, "name"}, {258, "selector"}, {259, "uuid"}, {260, "flags"},
                                          {261, "mimetype"}, {262, "timestamp"}, {263, "icon"}};
    QCOMPARE(names, expected);
}

void TestPeerAclModel::everyUpdateIsOneReset()
{
    PeerAclModel model;
    QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
    const std::vector<PeerAclDto> list{acl("a", 4), acl("b", 1)};
    model.updateAcls(list);
    model.updateAcls(list);
    QCOMPARE(reset.count(), 2);
    QCOMPARE(model.rowCount(), 2);
    model.updateAcls({});
    QCOMPARE(reset.count(), 3);
    QCOMPARE(model.rowCount(), 0);
}

void TestPeerAclModel::listFromAnotherThreadLandsOnTheModelThread()
{
    PeerAclModel model;
    QThread* resetThread = nullptr;
    int rowsDuringReset = -1;
    connect(&model, &QAbstractItemModel::modelAboutToBeReset, &model, [&] {
        resetThread = QThread::currentThread();
        rowsDuringReset = model.rowCount();
    }, Qt::DirectConnection);
    model.updateAcls({acl("old", 4)});

    // As the peer loader refreshes the peer on the io thread: nothing moves
    // there, the list arrives on the model's thread.
    QThread* io = QThread::create([&model] { model.updateAcls({acl("b", 1), acl("a", 4), acl("c", 4)}); });
    io->start();
    QVERIFY(io->wait(60000));
    delete io;
    QTRY_COMPARE_WITH_TIMEOUT(column(model, PeerAclModel::NameRole), (QStringList{"a", "c", "b"}), 30000);
    QCOMPARE(resetThread, QThread::currentThread());
    QCOMPARE(rowsDuringReset, 1);
}

QTEST_MAIN(TestPeerAclModel)
#include "tst_peeraclmodel.moc"
