#pragma once

#include <QtGlobal>

// What every file-system client request record carries. The caller creates,
// reuses and frees its records; while a record is queued the client fills it
// and hands it back with the update signal of its kind. Callers may derive
// their own records to keep bookkeeping next to the request.
struct VfsClientJob
{
    enum JobStatus : quint32 {
        JobQueued = 0,
        JobRunning = 1,
        JobFailed = 3,   // could not be sent, refused by a listing, or timed out
        JobFinished = 4, // the reply arrived; see status
    };

    VfsClientJob() = default;
    VfsClientJob(const VfsClientJob&) = delete;
    VfsClientJob& operator=(const VfsClientJob&) = delete;
    virtual ~VfsClientJob() = default;

    quint32 jobStatus = JobQueued;
    quint8 status = 0; // FsoStatus of the reply, or FSO_STATUS_TIMEOUT
};
