#include "jobwindow/copyjobfeed.h"

#include "jobs/vfscopyjob.h"

CopyJobFeed::CopyJobFeed(VfsCopyJob* job) : QObject(job), m_job(job)
{
    // Direct: the feed and the job share a thread, and the values are read
    // right as the job reports them.
    connect(job, &VfsCopyJob::bytesTotalChanged, this, [this] { emit bytesTotalChanged(m_job->bytesTotal()); });
    connect(job, &VfsCopyJob::bytesCopiedChanged, this, &CopyJobFeed::sendBytesCopied);
    connect(job, &VfsCopyJob::currentFileChanged, this, [this] { emit currentFileChanged(m_job->currentFile()); });
    connect(job, &VfsCopyJob::writeSpeedChanged, this, &CopyJobFeed::sendWriteSpeed);
    connect(job, &VfsCopyJob::totalFileCountChanged, this,
            [this] { emit totalFileCountChanged(m_job->totalFileCount()); });
    connect(job, &VfsCopyJob::userActionPromptChanged, this,
            [this] { emit userPromptChanged(m_job->userActionPrompt()); });
    connect(job, &VfsCopyJob::lastFailureChanged, this, &CopyJobFeed::sendFailure);
    connect(job, &VfsCopyJob::retryCountChanged, this, &CopyJobFeed::sendRetry);
    connect(job, &VfsCopyJob::nextRetryAtChanged, this, &CopyJobFeed::sendRetry);
    connect(job, &VfsCopyJob::failedItemsChanged, this, &CopyJobFeed::sendFailedItems);
    connect(job, &VfsJob::stateChanged, this, &CopyJobFeed::sendState);
}

void CopyJobFeed::sendAll()
{
    emit bytesTotalChanged(m_job->bytesTotal());
    sendBytesCopied();
    emit currentFileChanged(m_job->currentFile());
    sendWriteSpeed();
    emit totalFileCountChanged(m_job->totalFileCount());
    emit userPromptChanged(m_job->userActionPrompt());
    sendFailedItems();
    sendState();
}

void CopyJobFeed::sendBytesCopied()
{
    emit bytesCopiedChanged(m_job->bytesCopied(), m_job->percentDone(), m_job->verifiedFileCount());
}

void CopyJobFeed::sendWriteSpeed()
{
    emit writeSpeedChanged(m_job->writeSpeed(), m_job->remainingTime());
}

// A job that gives up or ends changes little else: the failure, the tries,
// the prompt and the files done go with the state, as they are then.
void CopyJobFeed::sendState()
{
    sendFailure();
    sendRetry();
    emit userPromptChanged(m_job->userActionPrompt());
    sendBytesCopied();
    emit stateChanged(int(m_job->state()));
}

void CopyJobFeed::sendFailure()
{
    emit failureChanged(m_job->lastFailure(), m_job->lastFailurePeer(), m_job->lastFailurePath());
}

void CopyJobFeed::sendRetry()
{
    emit retryChanged(m_job->retryCount(), m_job->nextRetryAt());
}

void CopyJobFeed::sendFailedItems()
{
    QStringList paths, reasons;
    for (const VfsCopyFailedItem& item : m_job->failedItems()) {
        paths << item.path;
        reasons << item.reason;
    }
    emit failedItemsChanged(paths, reasons);
}
