#include "jobs/vfscopydto.h"
#include "jobs/vfsjob.h"
#include "jobs/vfsjobmodel.h"

#include <QSemaphore>
#include <QSignalSpy>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <vector>

namespace {

constexpr int Slow = 30000; // ms

// A job that notes every step it is asked to take.
class StepJob : public VfsJob
{
public:
    explicit StepJob(const QString& type = QStringLiteral("delete"))
    {
        setType(type);
    }
    void process(int action) override { actions.push_back(action); }
    std::vector<int> actions;
};

} // namespace

class TestVfsJobModel : public QObject
{
    Q_OBJECT

private slots:
    void firstStepRunsFromTheEventLoop();
    void newActionJoinsThePendingStep();
    void timedStepRestartsTheTimer();
    void rowsFollowTheJobs();
    void sameJobTwiceAddsOneRow();
    void allJobsDoneOncePerEmptyingRemoval();
    void jobAddedFromAnotherThread();
    void copyRecordStartsEmptyAndCopiesWhole();
};

void TestVfsJobModel::firstStepRunsFromTheEventLoop()
{
    StepJob job;
    QVERIFY(!job.timer());
    job.start();
    QVERIFY(job.timer());
    QVERIFY(job.timer()->isSingleShot());
    QVERIFY(job.actions.empty()); // not from within start()
    QTRY_COMPARE_WITH_TIMEOUT(job.actions.size(), size_t(1), Slow);
    QCOMPARE(job.actions.front(), int(VfsJob::ActionStep));
    QCOMPARE(job.state(), VfsJob::VfsJobStateUnknown);
}

void TestVfsJobModel::newActionJoinsThePendingStep()
{
    StepJob job;
    job.start();
    job.startTimer(0, 4, __LINE__); // a step is pending: it delivers 4 instead
    QCOMPARE(job.pendingAction(), 4);
    QTRY_COMPARE_WITH_TIMEOUT(job.actions.size(), size_t(1), Slow);
    QCOMPARE(job.actions.front(), 4);
    QVERIFY(!job.timer()->isActive());
}

void TestVfsJobModel::timedStepRestartsTheTimer()
{
    StepJob job;
    job.start();
    job.startTimer(60000, 1, __LINE__); // replaces the pending zero-time step
    QCOMPARE(job.timer()->interval(), 60000);
    QVERIFY(job.timer()->isActive());
    job.startTimer(0, 2, __LINE__); // keeps the running timer, changes the action
    QCOMPARE(job.timer()->interval(), 60000);
    QCOMPARE(job.pendingAction(), 2);
    job.timer()->stop();
    job.startTimer(0, 2, __LINE__);
    QTRY_COMPARE_WITH_TIMEOUT(job.actions.size(), size_t(1), Slow);
    QCOMPARE(job.actions.front(), 2);
}

void TestVfsJobModel::rowsFollowTheJobs()
{
    VfsJobModel model;
    QCOMPARE(VfsJobModel::instance(), &model);
    QCOMPARE(model.roleNames().value(257), QByteArray("type"));
    QCOMPARE(model.roleNames().value(258), QByteArray("jobObj"));
    QCOMPARE(model.totalProgress(), 0);

    QSignalSpy added(&model, &VfsJobModel::jobAdded);
    auto* copy = new StepJob(QStringLiteral("copy"));
    auto* remove = new StepJob(QStringLiteral("delete"));
    QVERIFY(model.addJob(copy));
    QVERIFY(model.addJob(remove));
    QCOMPARE(added.size(), 2);
    QCOMPARE(added.at(0).at(0).value<VfsJob*>(), static_cast<VfsJob*>(copy));
    QCOMPARE(model.rowCount(), 2);
    QCOMPARE(model.data(model.index(0), 257).toString(), QStringLiteral("copy"));
    QCOMPARE(model.data(model.index(1), 257).toString(), QStringLiteral("delete"));
    QCOMPARE(model.data(model.index(1), 258).value<QObject*>(), static_cast<QObject*>(remove));
    QVERIFY(!model.data(model.index(2), 257).isValid());
    QVERIFY(!model.data(model.index(0), Qt::DisplayRole).isValid());
    QCOMPARE(model.totalProgress(), 0);

    QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
    delete copy;
    QCOMPARE(removed.size(), 1);
    QCOMPARE(removed.at(0).at(1).toInt(), 0);
    QCOMPARE(model.rowCount(), 1);
    QCOMPARE(model.data(model.index(0), 257).toString(), QStringLiteral("delete"));
    delete remove;
    QCOMPARE(model.rowCount(), 0);
}

void TestVfsJobModel::sameJobTwiceAddsOneRow()
{
    VfsJobModel model;
    StepJob job;
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    QVERIFY(model.addJob(&job));
    QVERIFY(!model.addJob(&job));
    QVERIFY(!model.addJob(nullptr));
    QCOMPARE(inserted.size(), 1);
    QCOMPARE(model.rowCount(), 1);
}

void TestVfsJobModel::allJobsDoneOncePerEmptyingRemoval()
{
    VfsJobModel model;
    QSignalSpy done(&model, &VfsJobModel::allJobsDone);
    auto* first = new StepJob;
    auto* second = new StepJob;
    model.addJob(first);
    model.addJob(second);
    delete first;
    QCOMPARE(done.size(), 0);
    QObject stranger;
    model.jobAboutToDelete(&stranger); // not listed, others are: nothing
    QCOMPARE(done.size(), 0);
    QCOMPARE(model.rowCount(), 1);
    delete second;
    QCOMPARE(done.size(), 1);

    // A job added again after the list emptied counts anew.
    auto* third = new StepJob;
    QVERIFY(model.addJob(third));
    delete third;
    QCOMPARE(done.size(), 2);
}

void TestVfsJobModel::jobAddedFromAnotherThread()
{
    // The model lives where the copy jobs run; the panes add from elsewhere.
    QThread io;
    io.start();
    auto* model = new VfsJobModel;
    model->moveToThread(&io);
    QSignalSpy added(model, &VfsJobModel::jobAdded);
    QSignalSpy done(model, &VfsJobModel::allJobsDone);
    auto rows = [model] {
        int count = -1;
        QMetaObject::invokeMethod(model, [model, &count] { count = model->rowCount(); },
                                  Qt::BlockingQueuedConnection);
        return count;
    };

    auto* job = new StepJob;
    QVERIFY(model->addJob(job));
    QVERIFY(!model->addJob(job)); // known at once, row or not
    QTRY_COMPARE_WITH_TIMEOUT(added.size(), 1, Slow);
    QCOMPARE(rows(), 1);
    delete job;
    QTRY_COMPARE_WITH_TIMEOUT(done.size(), 1, Slow);
    QCOMPARE(rows(), 0);

    // Destroyed before its row came: no row stays behind.
    QSemaphore hold;
    QMetaObject::invokeMethod(model, [&hold] { hold.acquire(); }, Qt::QueuedConnection);
    auto* shortLived = new StepJob;
    QVERIFY(model->addJob(shortLived));
    delete shortLived;
    hold.release();
    QTRY_COMPARE_WITH_TIMEOUT(done.size(), 2, Slow);
    QCOMPARE(rows(), 0);

    QMetaObject::invokeMethod(model, [model] { delete model; }, Qt::BlockingQueuedConnection);
    io.quit();
    io.wait();
}

void TestVfsJobModel::copyRecordStartsEmptyAndCopiesWhole()
{
    VfsCopyDto empty;
    QVERIFY(empty.id.isEmpty() && empty.srcPeerUuid.isEmpty() && empty.dstPeerUuid.isEmpty());
    QCOMPARE(empty.move, quint8(0));
    QCOMPARE(empty.overwrite, quint8(0));
    QCOMPARE(empty.overwriteAll, quint8(0));
    QVERIFY(empty.entries.empty() && empty.dstPath.isEmpty());
    QVERIFY(empty.pendingMakeDirectoryJobs.empty() && empty.pendingMoveJobs.empty()
            && empty.pendingLaunches.empty());

    VfsCopyDto dto;
    dto.id = QStringLiteral("{1}");
    dto.move = 1;
    VfsCopyEntry entry;
    entry.path = QStringLiteral("/a");
    entry.size = 5;
    entry.mtime = 7;
    entry.type = VfsCopyEntry::TypeFile;
    dto.entries.push_back(entry);
    VfsDeferredLaunch launch;
    launch.appId = 3;
    launch.localPaths.push_back(QStringLiteral("/tmp/x"));
    dto.pendingLaunches.push_back(launch);
    // Crosses threads in a queued signal.
    const QVariant copy = QVariant::fromValue(dto);
    const VfsCopyDto back = copy.value<VfsCopyDto>();
    QCOMPARE(back.id, dto.id);
    QCOMPARE(back.move, quint8(1));
    QCOMPARE(back.entries.size(), size_t(1));
    QCOMPARE(back.entries.front().mtime, qint64(7));
    QCOMPARE(back.pendingLaunches.front().localPaths.front(), QStringLiteral("/tmp/x"));
}

QTEST_GUILESS_MAIN(TestVfsJobModel)
#include "tst_vfsjobmodel.moc"
