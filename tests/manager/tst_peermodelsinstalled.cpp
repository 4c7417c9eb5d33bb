#include "core/databasesqlite.h"
#include "manager/connectionmanager.h"
#include "peer/ipeer.h"
#include "peer/ipeermodelfactory.h"
#include "models/vfsdrivemodel.h"
#include "models/vfsmodel.h"
#include "models/vfsmodelfactory.h"

#include <QTemporaryDir>
#include <QtTest>

// The connection manager is made before any peer: from then on every peer
// gets the real drive and file-system models instead of empty placeholders.
class TestPeerModelsInstalled : public QObject
{
    Q_OBJECT
private slots:
    void connectionManagerInstallsTheModels();
};

void TestPeerModelsInstalled::connectionManagerInstallsTheModels()
{
    IPeerModelFactory::install(nullptr);
    {
        IPeer before;
        QVERIFY(!qobject_cast<VfsModel*>(before.vfsFileSystemModel()));
    }
    QTemporaryDir dir;
    DatabaseSqlite db(dir.filePath(QStringLiteral("velm.db")));
    QVERIFY(db.init());
    ConnectionManager manager(&db);
    QCOMPARE(IPeerModelFactory::installed(), static_cast<IPeerModelFactory*>(VfsModelFactory::instance()));

    IPeer peer;
    auto* model = qobject_cast<VfsModel*>(peer.vfsFileSystemModel());
    QVERIFY(model);
    QVERIFY(qobject_cast<VfsDriveModel*>(peer.vfsDriveModel()));
    QCOMPARE(model->peer(), &peer);
    QCOMPARE(model->rowCount(), 1); // the shares root
}

QTEST_GUILESS_MAIN(TestPeerModelsInstalled)
#include "tst_peermodelsinstalled.moc"
