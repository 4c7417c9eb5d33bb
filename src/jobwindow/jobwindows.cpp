#include "jobwindow/jobwindows.h"

#include "jobs/vfscopyjob.h"
#include "jobs/vfsdeletejob.h"
#include "jobs/vfsjobmodel.h"
#include "jobwindow/copyjobfeed.h"
#include "jobwindow/jobwindow.h"

#include <QCoreApplication>
#include <QThread>

static void initJobWindowResources()
{
    Q_INIT_RESOURCE(jobwindow);
}

JobWindows::JobWindows(QQmlEngine* engine, QObject* parent) : QObject(parent), m_engine(engine), m_self(this)
{
    initJobWindowResources();
    qRegisterMetaType<JobWindow*>("JobWindow*");
}

JobWindows::~JobWindows()
{
    for (const QPointer<JobWindow>& window : m_windows)
        delete window.data();
}

void JobWindows::watch(VfsJobModel* model)
{
    if (!model)
        return;
    const QPointer<JobWindows> self = m_self;
    connect(
        model, &VfsJobModel::jobAdded, this,
        [self](VfsJob* job) {
            if (job)
                setUp(self, job);
        },
        Qt::DirectConnection);
}

void JobWindows::addJob(VfsJob* job)
{
    if (job)
        setUp(m_self, job);
}

QList<JobWindow*> JobWindows::windows() const
{
    QList<JobWindow*> open;
    for (const QPointer<JobWindow>& window : m_windows) {
        if (window)
            open << window.data();
    }
    return open;
}

// Runs on the job's thread; self is only copied here, never read.
void JobWindows::setUp(const QPointer<JobWindows>& self, VfsJob* job)
{
    if (job->thread() != QThread::currentThread()) {
        // Posted to the job itself: a job that goes first takes it along.
        QMetaObject::invokeMethod(
            job, [self, job] { setUp(self, job); }, Qt::QueuedConnection);
        return;
    }
    QThread* mainThread = QCoreApplication::instance()->thread();
    if (auto* copy = qobject_cast<VfsCopyJob*>(job)) {
        const VfsCopyDto request = copy->request();
        auto* window = new JobWindow;
        window->setRequest(request.id, request.move != 0);
        window->moveToThread(mainThread);
        auto* feed = new CopyJobFeed(copy);
        connect(feed, &CopyJobFeed::bytesTotalChanged, window, &JobWindow::setBytesTotal);
        connect(feed, &CopyJobFeed::bytesCopiedChanged, window, &JobWindow::setBytesCopied);
        connect(feed, &CopyJobFeed::currentFileChanged, window, &JobWindow::setCurrentFile);
        connect(feed, &CopyJobFeed::writeSpeedChanged, window, &JobWindow::setWriteSpeed);
        connect(feed, &CopyJobFeed::totalFileCountChanged, window, &JobWindow::setTotalFileCount);
        connect(feed, &CopyJobFeed::stateChanged, window, &JobWindow::setJobState);
        connect(feed, &CopyJobFeed::userPromptChanged, window, &JobWindow::setUserPrompt);
        connect(feed, &CopyJobFeed::failureChanged, window, &JobWindow::setFailure);
        connect(feed, &CopyJobFeed::retryChanged, window, &JobWindow::setRetry);
        connect(feed, &CopyJobFeed::failedItemsChanged, window, &JobWindow::setFailedItems);
        // After every value the feed sent before it went.
        connect(feed, &QObject::destroyed, window, &JobWindow::onJobGone);
        // The answers reach the job on its thread, and none after it went.
        connect(window, &JobWindow::abortRequested, copy, &VfsCopyJob::abort);
        connect(window, &JobWindow::skipRequested, copy, &VfsCopyJob::skipCurrentItem);
        connect(window, &JobWindow::replaceRequested, copy, &VfsCopyJob::replaceCurrentItem);
        connect(window, &JobWindow::replaceAllRequested, copy, &VfsCopyJob::replaceAllItems);
        feed->sendAll();
        QMetaObject::invokeMethod(
            window,
            [self, window] {
                if (self)
                    self->adopt(window);
                else
                    delete window;
            },
            Qt::QueuedConnection);
        return;
    }
    auto* cut = qobject_cast<VfsDeleteJob*>(job);
    if (!cut || !cut->isCut() || cut->requestId().isEmpty())
        return;
    const QString id = cut->requestId();
    auto send = [self, id, cut] {
        QStringList paths, reasons;
        for (const VfsKeptItem& item : cut->keptItems()) {
            paths << item.path;
            reasons << item.reason;
        }
        if (paths.isEmpty())
            return;
        // qApp lives on the main thread for as long as anything runs.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, id, paths, reasons] {
                if (self)
                    self->takeKeptItems(id, paths, reasons);
            },
            Qt::QueuedConnection);
    };
    connect(cut, &VfsDeleteJob::keptItemsChanged, cut, send);
    send();
}

void JobWindows::adopt(JobWindow* window)
{
    window->setParent(this);
    m_windows.removeAll(QPointer<JobWindow>());
    m_windows << window;
    connect(window, &JobWindow::closed, window, &QObject::deleteLater);
    if (!window->open(m_engine)) {
        window->deleteLater();
        return;
    }
    emit windowOpened(window);
}

// The newest window of that cut takes them: a cut's record is pasted once.
void JobWindows::takeKeptItems(const QString& requestId, const QStringList& paths, const QStringList& reasons)
{
    for (int i = m_windows.size() - 1; i >= 0; --i) {
        JobWindow* window = m_windows[i];
        if (window && window->isCut() && window->requestId() == requestId) {
            window->setKeptItems(paths, reasons);
            return;
        }
    }
}
