#pragma once

#include "jobs/vfscopydto.h"
#include "jobs/vfsjob.h"

#include <memory>

class IPeer;
class VfsMoveExJobPrivate;
struct VfsMoveJob;

// Moves the items of a request into a directory on the same peer with MOVE
// requests, one at a time. What MOVE cannot do (another peer, another file
// system, an existing target) is collected in fallback(), a copy request
// with the cut flag set, for the job manager to copy instead. A failing item
// ends the job with jobAborted(); what was moved before stays moved.
//
// The job lives on the thread of its owner; the client's updates arrive
// queued. abort() does nothing: every step is one short request.
class VfsMoveExJob : public VfsJob
{
    Q_OBJECT

public:
    explicit VfsMoveExJob(const VfsCopyDto& request, QObject* parent = nullptr);
    ~VfsMoveExJob() override;

    VfsCopyDto request() const;
    void setPeers(IPeer* source, IPeer* destination);
    // The items left for a copy; complete after jobFinished().
    VfsCopyDto fallback() const;

public slots:
    void abort() override;
    void process(int action) override;
    void onMoveUpdate(VfsMoveJob* job);

private:
    std::unique_ptr<VfsMoveExJobPrivate> d;
};
