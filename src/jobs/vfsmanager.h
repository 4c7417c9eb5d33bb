#pragma once

#include "jobs/vfscopydto.h"
#include "jobs/vfscopyentry.h"

#include <QObject>

#include <memory>
#include <vector>

class PeerModel;
class VfsJob;
class VfsManagerPrivate;

// Turns the file manager's copy and move requests into jobs, registers every
// job in the VfsJobModel, and finishes what the jobs leave over: a copy with
// the cut flag deletes, on the source peer, exactly the items the copy job
// reports as copied and verified (never a skipped, failed or dropped item,
// and nothing after an abort), and a directory only when nothing else came
// into it meanwhile (VfsDeleteJob's cut); a move copies, with cut, what MOVE
// could not handle. After a copy the destination directory is listed again
// in the destination peer's file model.
//
// Copy jobs live on the thread of ioParent (the network thread, next to the
// file-system clients) as its children and start there; move and delete jobs
// live on the manager's thread as its children. A request naming a peer the
// peer model does not know starts no job and is only logged.
class VfsManager : public QObject
{
    Q_OBJECT

public:
    VfsManager(PeerModel* peers, QObject* ioParent, QObject* parent = nullptr);
    ~VfsManager() override;

    // Registers a job with VfsJobModel::instance(); also for the pane's own
    // delete jobs.
    void addJob(VfsJob* job);

public slots:
    void copy(const VfsCopyDto& request);
    void move(const VfsCopyDto& request);

signals:
    // A copy job finished; the record carries the request's first eight
    // fields, its other fields are empty.
    void copyFinished(const VfsCopyDto& request);
    // A copy job ended without bringing every item over: it was aborted or
    // gave up, or it finished with files it gave up on (then before
    // copyFinished). Same record as above.
    void copyFailed(const VfsCopyDto& request);

private slots:
    void onMoveJobFinished();
    void onMoveJobAborted();

private:
    void onCopyJobFinished(const VfsCopyDto& request, const std::vector<VfsCopyItem>& verified);

    std::unique_ptr<VfsManagerPrivate> d;
};
