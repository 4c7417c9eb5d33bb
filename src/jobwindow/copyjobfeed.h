#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>

class VfsCopyJob;

// Carries what a copy job shows to a window on another thread. It lives on
// the job's thread as the job's child: each change signal of the job is
// answered there, on the job's own thread, by reading the values that belong
// to it and emitting them by value. A window connected to the feed never
// reads the job itself, and the connections go with the job.
class CopyJobFeed : public QObject
{
    Q_OBJECT
public:
    // On the job's thread.
    explicit CopyJobFeed(VfsCopyJob* job);

    // Emits every value once, as it is now; on the job's thread.
    void sendAll();

signals:
    void bytesTotalChanged(const QString& bytesTotal);
    // With the percentage, and how many files are verified in place.
    void bytesCopiedChanged(const QString& bytesCopied, double percentDone, int filesDone);
    void currentFileChanged(const QString& currentFile);
    void writeSpeedChanged(const QString& writeSpeed, const QString& remainingTime);
    void totalFileCountChanged(int totalFileCount);
    void stateChanged(int state);
    void userPromptChanged(const QString& prompt);
    // Why the last try stopped (a text for the user), the peer's name and
    // the path; all empty when nothing failed.
    void failureChanged(const QString& text, const QString& peer, const QString& path);
    // Tries made so far and when the next one starts (invalid when none
    // waits); VfsCopyJob::FinalFailure when the job gave up.
    void retryChanged(int retryCount, const QDateTime& nextRetryAt);
    // Files given up on, with one reason each.
    void failedItemsChanged(const QStringList& paths, const QStringList& reasons);

private:
    void sendBytesCopied();
    void sendWriteSpeed();
    void sendState();
    void sendFailure();
    void sendRetry();
    void sendFailedItems();

    VfsCopyJob* const m_job;
};
