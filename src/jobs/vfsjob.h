#pragma once

#include <QObject>
#include <QString>

#include <memory>

class QTimer;
class VfsJobPrivate;

// The base of the long-running file operations a user starts (copy, move,
// delete). A job is a small state machine advanced one step at a time by a
// single-shot timer: each step either sends one request through a peer's
// file-system client and waits for its update, or decides the next state.
// All steps run on the thread the job lives in.
//
// A job reports by signals; the user's answers arrive through slots, from
// whatever thread the progress pane lives in.
class VfsJob : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString type READ type NOTIFY typeChanged)
    Q_PROPERTY(VfsJobState state READ state NOTIFY stateChanged)

public:
    enum VfsJobState {
        VfsJobStateUnknown = 0,
        VfsJobStateInit = 1,
        VfsJobStateIdle = 2,
        VfsJobStateRunning = 3,
        VfsJobStatePaused = 4,
        VfsJobStateQuestion = 5,
        VfsJobStateFinished = 6,
        VfsJobStateAborted = 7,
    };
    Q_ENUM(VfsJobState)

    enum UserAction {
        UserActionAbort = 1,
        UserActionSkip = 2,
        UserActionOverwrite = 4,
    };
    Q_ENUM(UserAction)

    // What a step is asked to do.
    enum Action {
        ActionStep = 0,   // plain step (timer expiry)
        ActionUpdate = 1, // an update for the job's current request has arrived
        ActionDelete = 2, // final step: the job deletes itself
        ActionEnter = 4,  // the job has just entered a new state
        ActionLeave = 5,  // the job is about to leave its state
    };

    explicit VfsJob(QObject* parent = nullptr);
    ~VfsJob() override;

    QString type() const;
    virtual VfsJobState state() const;

    // The step timer: null before start().
    QTimer* timer() const;
    // The action the next timer expiry passes to process().
    int pendingAction() const;

    // Stores the action for the next step; then (re)starts the step timer
    // with ms, except when ms is 0 and a step is pending already: that step
    // then delivers the new action. line only feeds the log.
    void startTimer(int ms, int action, int line);

signals:
    void jobAborted();
    void jobUpdated();
    void jobFinished();
    void typeChanged();
    void stateChanged();

public slots:
    // Creates the step timer and schedules the first step (action 0) from
    // the event loop of the job's thread.
    void start();
    virtual void abort();
    // One step of the state machine.
    virtual void process(int action);
    void timerFired();

protected:
    void setType(const QString& type);

private:
    std::unique_ptr<VfsJobPrivate> d;
};
