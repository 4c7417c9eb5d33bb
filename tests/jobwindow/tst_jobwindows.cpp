// The copy job windows: one per copy job and none for a delete, values that
// follow the job's signals (read on the job's thread, carried by value), the
// answers to the job's question, closing a window while its job runs, and
// what a cut left at its source.

#include "jobs/copyjobtestutil.h"

#include "filer/filer.h"
#include "filer/filerpane.h"
#include "jobs/vfsdeletejob.h"
#include "jobs/vfsjobmodel.h"
#include "jobs/vfsmanager.h"
#include "peer/ipeermodelfactory.h"
#include "jobwindow/jobwindow.h"
#include "jobwindow/jobwindows.h"
#include "quick/themeloader.h"
#include "support/gui/guitestrig.h"
#include "support/idtranslator.h"
#include "window/mainwindow.h"

#include <QQuickWindow>
#include <QSignalSpy>
#include <QtTest>

using namespace copytest;

namespace {

// Two machines whose servers, clients, links and peers live on an io thread
// of the test's own, as the program's do.
class IoMachines
{
public:
    explicit IoMachines(QThread* io)
    {
        m_context = new QObject;
        m_context->moveToThread(io);
        // Machines of the copy only: no file models for their peers (the
        // models would belong to the main thread).
        run([this] {
            IPeerModelFactory* factory = IPeerModelFactory::installed();
            IPeerModelFactory::install(nullptr);
            a.reset(new Machine);
            b.reset(new Machine);
            IPeerModelFactory::install(factory);
        });
    }
    ~IoMachines()
    {
        run([this] {
            a.reset();
            b.reset();
        });
        run([this] { delete m_context; });
    }
    // Runs fn on the io thread and waits for it.
    void run(const std::function<void()>& fn)
    {
        QMetaObject::invokeMethod(m_context, fn, Qt::BlockingQueuedConnection);
    }

    std::unique_ptr<Machine> a, b;

private:
    QObject* m_context;
};

} // namespace

class TestJobWindows : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void windowPerCopyJob();
    void forwardedPropertyFollowsItsSignal_data();
    void forwardedPropertyFollowsItsSignal();
    void answersReachTheJob_data();
    void answersReachTheJob();
    void closingAnUnfinishedJobAsks_data();
    void closingAnUnfinishedJobAsks();
    void cutShowsWhatItKept();

private:
    // A copy job on the io thread, registered and started; its window.
    VfsCopyJob* startJob(const VfsCopyDto& request);
    JobWindow* windowOf(const QString& requestId) const;
    // A job waiting with its question about a.txt, and its window.
    VfsCopyJob* jobAtQuestion(JobWindow** window);
    void waitGone(VfsCopyJob* job);

    IdTranslator m_texts;
    std::unique_ptr<GuiTestRig> m_rig;
    std::unique_ptr<MainWindow> m_window;
    QThread m_io;
    VfsJobModel* m_model = nullptr; // lives on m_io
    std::unique_ptr<IoMachines> m_machines;
    QList<QPointer<VfsCopyJob>> m_jobs;
};

void TestJobWindows::initTestCase()
{
    ThemeLoader::setThemeDirectory(QStringLiteral("/nonexistent"));
    // The English texts, as the program shows them.
    QVERIFY(m_texts.loadTs(QStringLiteral(VELM_I18N_DIR "/velm_en.ts")));
    QCoreApplication::installTranslator(&m_texts);
    m_rig.reset(new GuiTestRig);
    m_io.setObjectName(QStringLiteral("testIo"));
    m_io.start();
    // The model of the program's jobs belongs to the io thread.
    auto* model = new VfsJobModel;
    model->moveToThread(&m_io);
    m_model = model;
    m_window = m_rig->createWindow();
    m_rig->manager()->announceStarted();
    QTRY_VERIFY(m_window->filerPanes().first()->currentFiler());
    QTRY_VERIFY(m_window->filerPanes().first()->currentFiler()->peer());
}

void TestJobWindows::cleanupTestCase()
{
    m_window.reset();
    QMetaObject::invokeMethod(m_model, [this] { delete m_model; }, Qt::BlockingQueuedConnection);
    m_io.quit();
    m_io.wait();
    m_rig.reset();
}

void TestJobWindows::init()
{
    m_machines.reset(new IoMachines(&m_io));
}

void TestJobWindows::cleanup()
{
    for (const QPointer<VfsCopyJob>& job : m_jobs) {
        if (job)
            QMetaObject::invokeMethod(job.data(), "abort", Qt::QueuedConnection);
    }
    for (const QPointer<VfsCopyJob>& job : m_jobs)
        QTRY_VERIFY_WITH_TIMEOUT(!job, Slow);
    m_jobs.clear();
    for (JobWindow* window : m_window->jobWindows()->windows())
        delete window;
    m_machines.reset();
}

VfsCopyJob* TestJobWindows::startJob(const VfsCopyDto& request)
{
    VfsCopyJob* job = nullptr;
    m_machines->run([&] {
        job = new VfsCopyJob(request);
        job->setPeers(&m_machines->a->peer, &m_machines->b->peer);
        job->setRestartDelay(20);
        m_model->addJob(job);
        QMetaObject::invokeMethod(job, "start", Qt::QueuedConnection);
    });
    m_jobs << job;
    return job;
}

JobWindow* TestJobWindows::windowOf(const QString& requestId) const
{
    for (JobWindow* window : m_window->jobWindows()->windows()) {
        if (window->requestId() == requestId)
            return window;
    }
    return nullptr;
}

VfsCopyJob* TestJobWindows::jobAtQuestion(JobWindow** window)
{
    Machine& a = *m_machines->a;
    Machine& b = *m_machines->b;
    if (!writeFile(a.path("a.txt"), "new a") || !writeFile(b.path("a.txt"), "old a"))
        return nullptr;
    const VfsCopyDto request = requestFor(a, b, { a.path("a.txt") }, b.dir.path());
    VfsCopyJob* job = startJob(request);
    if (!QTest::qWaitFor([&] { return (*window = windowOf(request.id)) != nullptr; }, Slow))
        return nullptr;
    QQuickWindow* root = (*window)->window();
    if (!root || !QTest::qWaitFor([&] { return root->property("jobState").toInt() == VfsJob::VfsJobStateQuestion; }, Slow))
        return nullptr;
    return job;
}

void TestJobWindows::waitGone(VfsCopyJob* job)
{
    QPointer<VfsCopyJob> guard(job);
    QTRY_VERIFY_WITH_TIMEOUT(!guard, Slow);
}

// Through the main window and a manager whose jobs live on another thread
// than the model: each copy opens a window of its own, a delete none.
void TestJobWindows::windowPerCopyJob()
{
    RigPeer* other = m_rig->addPeer(QStringLiteral("Other"));
    QObject ioParent; // the manager's copy jobs live beside the rig's clients
    VfsManager manager(m_rig->peerModel(), &ioParent);
    auto request = [&](const QString& id, const QString& file) {
        VfsCopyDto dto;
        dto.id = id;
        dto.srcPeerUuid = m_rig->ownPeer()->uuid();
        dto.dstPeerUuid = other->uuid();
        dto.entries.push_back(itemFor(m_rig->root(m_rig->ownPeer()) + file));
        dto.dstPath = m_rig->root(other) + QStringLiteral("/folder");
        return dto;
    };
    QSignalSpy opened(m_window->jobWindows(), &JobWindows::windowOpened);
    manager.copy(request(QStringLiteral("{first}"), QStringLiteral("/notes.txt")));
    auto* removal = new VfsDeleteJob(&ioParent);
    removal->setPeer(other);
    removal->setItems({ VfsDeleteItem{ QString(), m_rig->root(other) + QStringLiteral("/notes.txt"), 5, 3 } });
    connect(removal, &VfsJob::jobFinished, removal, &QObject::deleteLater);
    manager.addJob(removal);
    removal->start();
    manager.copy(request(QStringLiteral("{second}"), QStringLiteral("/folder")));
    // Announced in this order: by the second copy's window the delete's
    // announcement has been taken too.
    QTRY_VERIFY_WITH_TIMEOUT(windowOf(QStringLiteral("{second}")), Slow);
    QCOMPARE(opened.count(), 2);
    QCOMPARE(m_window->jobWindows()->windows().size(), 2);
    QVERIFY(windowOf(QStringLiteral("{first}")));
    for (JobWindow* window : m_window->jobWindows()->windows()) {
        QQuickWindow* root = window->window();
        QVERIFY(root);
        QVERIFY(root->isVisible());
        QVERIFY(root->flags() & Qt::Window);
        QVERIFY(!window->isCut());
        // Each shows its own copy to the end, and stays open with it.
        QTRY_COMPARE_WITH_TIMEOUT(root->property("jobState").toInt(), int(VfsJob::VfsJobStateFinished), Slow);
        QTRY_VERIFY_WITH_TIMEOUT(root->property("jobGone").toBool(), Slow);
        QVERIFY(root->isVisible());
        QVERIFY(root->property("canClose").toBool());
        QCOMPARE(root->property("percentDone").toDouble(), 100.0);
        QCOMPARE(root->property("filesDone").toInt(), root->property("totalFilesCount").toInt());
        QVERIFY(root->property("totalFilesCount").toInt() >= 1);
    }
    QVERIFY(QFileInfo::exists(m_rig->root(other) + QStringLiteral("/folder/notes.txt")));
    QVERIFY(QFileInfo::exists(m_rig->root(other) + QStringLiteral("/folder/folder/inner.txt")));
    // A finished job's window closes without a question.
    JobWindow* first = windowOf(QStringLiteral("{first}"));
    QPointer<JobWindow> guard(first);
    first->window()->close();
    QTRY_VERIFY(!guard);
    QCOMPARE(m_window->jobWindows()->windows().size(), 1);
}

// Each value the window shows follows the job's signal that announces it:
// the window's property is overwritten, the job's signal is emitted on the
// job's thread, and the property comes back to the job's value.
void TestJobWindows::forwardedPropertyFollowsItsSignal_data()
{
    QTest::addColumn<QByteArray>("signal");
    QTest::addColumn<QByteArray>("property");
    QTest::addColumn<QByteArray>("jobProperty");
    QTest::addColumn<QVariant>("sentinel");
    const QVariant text(QStringLiteral("sentinel"));
    QTest::newRow("bytes total") << QByteArray("bytesTotalChanged") << QByteArray("bytesTotal") << QByteArray("bytesTotal") << text;
    QTest::newRow("bytes copied") << QByteArray("bytesCopiedChanged") << QByteArray("bytesCopied") << QByteArray("bytesCopied") << text;
    QTest::newRow("percent with the bytes") << QByteArray("bytesCopiedChanged") << QByteArray("percentDone") << QByteArray("percentDone") << QVariant(-1.0);
    QTest::newRow("current file") << QByteArray("currentFileChanged") << QByteArray("currentItem") << QByteArray("currentFile") << text;
    QTest::newRow("write speed") << QByteArray("writeSpeedChanged") << QByteArray("writeSpeed") << QByteArray("writeSpeed") << text;
    QTest::newRow("time left with the speed") << QByteArray("writeSpeedChanged") << QByteArray("remainingTime") << QByteArray("remainingTime") << text;
    QTest::newRow("file count") << QByteArray("totalFileCountChanged") << QByteArray("totalFilesCount") << QByteArray("totalFileCount") << QVariant(-1);
    QTest::newRow("state") << QByteArray("stateChanged") << QByteArray("jobState") << QByteArray("state") << QVariant(-1);
    QTest::newRow("prompt") << QByteArray("userActionPromptChanged") << QByteArray("userPrompt") << QByteArray("userActionPrompt") << text;
    QTest::newRow("failure") << QByteArray("lastFailureChanged") << QByteArray("failureText") << QByteArray("lastFailure") << text;
    QTest::newRow("tries") << QByteArray("retryCountChanged") << QByteArray("retryCount") << QByteArray("retryCount") << QVariant(-1);
}

void TestJobWindows::forwardedPropertyFollowsItsSignal()
{
    QFETCH(QByteArray, signal);
    QFETCH(QByteArray, property);
    QFETCH(QByteArray, jobProperty);
    QFETCH(QVariant, sentinel);
    JobWindow* window = nullptr;
    VfsCopyJob* job = jobAtQuestion(&window);
    QVERIFY(job);
    QQuickWindow* root = window->window();
    // The question holds the job still: its values stay as they are.
    const QVariant expected = job->property(jobProperty.constData());
    QVERIFY(expected.isValid());
    QVERIFY(root->setProperty(property.constData(), sentinel));
    QVERIFY(root->property(property.constData()) != expected);
    QThread* emittedOn = nullptr;
    const QByteArray normalized = QMetaObject::normalizedSignature(signal + "()");
    QVERIFY(job->metaObject()->indexOfSignal(normalized.constData()) >= 0);
    QMetaObject::invokeMethod(
        job, [&] {
            emittedOn = QThread::currentThread();
            QMetaObject::invokeMethod(job, signal.constData(), Qt::DirectConnection);
        },
        Qt::BlockingQueuedConnection);
    QCOMPARE(emittedOn, &m_io);
    if (expected.type() == QVariant::String)
        QTRY_COMPARE_WITH_TIMEOUT(root->property(property.constData()).toString(), expected.toString(), Slow);
    else if (expected.type() == QVariant::Double)
        QTRY_COMPARE_WITH_TIMEOUT(root->property(property.constData()).toDouble(), expected.toDouble(), Slow);
    else
        QTRY_COMPARE_WITH_TIMEOUT(root->property(property.constData()).toInt(), expected.toInt(), Slow);
}

// Two files that exist at the destination: Skip keeps each, Replace
// replaces each, Replace all replaces both after one question. The answers
// are the window's signals; they are carried out on the job's thread.
void TestJobWindows::answersReachTheJob_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("questions");
    QTest::addColumn<bool>("replaced");
    QTest::newRow("skip") << QByteArray("skipItem") << 2 << false;
    QTest::newRow("replace") << QByteArray("replaceItem") << 2 << true;
    QTest::newRow("replace all") << QByteArray("replaceAllItems") << 1 << true;
}

void TestJobWindows::answersReachTheJob()
{
    QFETCH(QByteArray, answer);
    QFETCH(int, questions);
    QFETCH(bool, replaced);
    Machine& a = *m_machines->a;
    Machine& b = *m_machines->b;
    for (const char* name : { "a.txt", "b.txt" }) {
        QVERIFY(writeFile(a.path(QLatin1String(name)), QByteArray("new ") + name));
        QVERIFY(writeFile(b.path(QLatin1String(name)), QByteArray("old ") + name));
    }
    const VfsCopyDto request = requestFor(a, b, { a.path("a.txt"), a.path("b.txt") }, b.dir.path());
    VfsCopyJob* job = startJob(request);
    QSet<QThread*> stepThreads;
    QMutex mutex;
    connect(
        job, &VfsJob::stateChanged, job,
        [&] {
            QMutexLocker lock(&mutex);
            stepThreads.insert(QThread::currentThread());
        },
        Qt::DirectConnection);
    JobWindow* window = nullptr;
    QTRY_VERIFY_WITH_TIMEOUT((window = windowOf(request.id)) != nullptr, Slow);
    QQuickWindow* root = window->window();
    QVERIFY(root);
    QSignalSpy stateSpy(root, SIGNAL(jobStateChanged()));
    int asked = 0;
    int seen = 0;
    while (root->property("jobState").toInt() != VfsJob::VfsJobStateFinished) {
        QTRY_VERIFY_WITH_TIMEOUT(stateSpy.count() > seen, Slow);
        seen = stateSpy.count();
        if (root->property("jobState").toInt() == VfsJob::VfsJobStateQuestion) {
            ++asked;
            QVERIFY(asked <= 2);
            QVERIFY(QMetaObject::invokeMethod(root, answer.constData()));
        }
    }
    QCOMPARE(asked, questions);
    for (const char* name : { "a.txt", "b.txt" })
        QCOMPARE(readFile(b.path(QLatin1String(name))), QByteArray(replaced ? "new " : "old ") + name);
    waitGone(job);
    QMutexLocker lock(&mutex);
    QCOMPARE(stepThreads, QSet<QThread*>{ &m_io });
}

// Closing the window of a job that waits on its question asks inside the
// window; "no" keeps the window and the job, "yes" aborts the job and
// closes. Escape acts as closing, and as "no" while the question is open.
void TestJobWindows::closingAnUnfinishedJobAsks_data()
{
    QTest::addColumn<bool>("escape");
    QTest::newRow("close") << false;
    QTest::newRow("escape") << true;
}

void TestJobWindows::closingAnUnfinishedJobAsks()
{
    QFETCH(bool, escape);
    JobWindow* window = nullptr;
    VfsCopyJob* job = jobAtQuestion(&window);
    QVERIFY(job);
    QPointer<JobWindow> guard(window);
    QQuickWindow* root = window->window();
    QVERIFY(QTest::qWaitForWindowExposed(root));
    auto closeIt = [&] {
        if (escape) {
            root->requestActivate();
            QTest::keyClick(root, Qt::Key_Escape);
        } else {
            root->close();
        }
    };
    closeIt();
    QTRY_VERIFY(root->property("askingCancel").toBool());
    QVERIFY(root->isVisible());
    if (escape)
        QTest::keyClick(root, Qt::Key_Escape);
    else
        QVERIFY(QMetaObject::invokeMethod(root, "cancelAnswered", Q_ARG(bool, false)));
    QTRY_VERIFY(!root->property("askingCancel").toBool());
    QVERIFY(root->isVisible());
    QVERIFY(guard);
    // The job still waits for its answer.
    QTest::qWait(100);
    QCOMPARE(job->state(), VfsJob::VfsJobStateQuestion);
    QVERIFY(window->jobAlive());

    closeIt();
    QTRY_VERIFY(root->property("askingCancel").toBool());
    QVERIFY(QMetaObject::invokeMethod(root, "cancelAnswered", Q_ARG(bool, true)));
    QTRY_VERIFY(!guard);
    waitGone(job);
    QCOMPARE(readFile(m_machines->b->path("a.txt")), QByteArray("old a"));
}

// The cut that follows a copy lists in the copy's window what it left at
// the source, and why.
void TestJobWindows::cutShowsWhatItKept()
{
    Machine& a = *m_machines->a;
    Machine& b = *m_machines->b;
    QVERIFY(writeFile(a.path("src/top.txt"), "top"));
    QVERIFY(QDir().mkpath(b.path("dest")));
    VfsCopyDto request = requestFor(a, b, { a.path("src") }, b.path("dest"));
    request.move = 1;
    VfsCopyJob* job = startJob(request);
    JobWindow* window = nullptr;
    QTRY_VERIFY_WITH_TIMEOUT((window = windowOf(request.id)) != nullptr, Slow);
    QVERIFY(window->isCut());
    waitGone(job);
    QTRY_VERIFY(!window->jobAlive());
    QCOMPARE(window->value("jobState").toInt(), int(VfsJob::VfsJobStateFinished));
    // A file that came into the folder since: the cut keeps the folder.
    QVERIFY(writeFile(a.path("src/late.txt"), "late"));
    QPointer<VfsDeleteJob> cut;
    m_machines->run([&] {
        cut = new VfsDeleteJob;
        cut->setPeer(&m_machines->a->peer);
        cut->setCut(true);
        cut->setRequestId(request.id);
        cut->setItems({ VfsDeleteItem{ QString(), a.path("src"), 0, quint64(VfsCopyItem::TypeDirectory) },
                        VfsDeleteItem{ QString(), a.path("src/top.txt"), 3, quint64(VfsCopyItem::TypeFile) } });
        connect(cut.data(), &VfsJob::jobFinished, cut.data(), &QObject::deleteLater);
        connect(cut.data(), &VfsJob::jobAborted, cut.data(), &QObject::deleteLater);
        m_model->addJob(cut);
        cut->start();
    });
    QTRY_VERIFY_WITH_TIMEOUT(!cut, Slow);
    QTRY_VERIFY_WITH_TIMEOUT(!window->value("keptItems").toList().isEmpty(), Slow);
    const QVariantList kept = window->value("keptItems").toList();
    QCOMPARE(kept.size(), 1);
    QCOMPARE(kept.first().toMap().value("path").toString(), a.path("src"));
    QCOMPARE(kept.first().toMap().value("reason").toString(), VfsDeleteJob::notEmptyReason());
    QVERIFY(!QFileInfo::exists(a.path("src/top.txt")));
    QVERIFY(QFileInfo::exists(a.path("src/late.txt")));
    // No other window took them.
    QCOMPARE(m_window->jobWindows()->windows().size(), 1);
}

QTEST_MAIN(TestJobWindows)
#include "tst_jobwindows.moc"
