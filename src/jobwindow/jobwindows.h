#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QStringList>

class JobWindow;
class QQmlEngine;
class VfsJob;
class VfsJobModel;

// Opens one JobWindow for every copy job the job model announces, and hands
// the items a cut kept at its source to the window of the copy it finishes.
// A delete or move job of its own opens none.
//
// The job model announces jobs on its own thread, and a job may go away on
// its thread at any time, so a job is only ever touched on its own thread:
// addJob() takes the announcement on the model's thread (connected directly),
// goes on on the job's thread, sets the job's feed up there and hands the
// window over to the main thread, where it is opened. The main thread never
// holds a pointer to a job.
class JobWindows : public QObject
{
    Q_OBJECT
public:
    // On the main thread; the windows are made on engine.
    explicit JobWindows(QQmlEngine* engine, QObject* parent = nullptr);
    ~JobWindows() override;

    // Connects the model's jobAdded directly to addJob().
    void watch(VfsJobModel* model);
    // From any thread, while the job is alive (as when the model announces
    // it).
    void addJob(VfsJob* job);

    // The windows open now, oldest first.
    QList<JobWindow*> windows() const;

signals:
    // A window was opened for a copy job.
    void windowOpened(JobWindow* window);

private:
    static void setUp(const QPointer<JobWindows>& self, VfsJob* job);
    void adopt(JobWindow* window);
    void takeKeptItems(const QString& requestId, const QStringList& paths, const QStringList& reasons);

    QQmlEngine* const m_engine;
    const QPointer<JobWindows> m_self; // copied to other threads, read only here
    QList<QPointer<JobWindow>> m_windows;
};
