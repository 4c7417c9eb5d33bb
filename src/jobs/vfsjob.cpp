#include "jobs/vfsjob.h"

#include "core/logger.h"

#include <QTimer>

class VfsJobPrivate
{
public:
    QTimer* timer = nullptr;
    int pendingAction = VfsJob::ActionStep;
    QString type;
};

VfsJob::VfsJob(QObject* parent) : QObject(parent), d(new VfsJobPrivate)
{
}

VfsJob::~VfsJob() = default;

QString VfsJob::type() const
{
    return d->type;
}

void VfsJob::setType(const QString& type)
{
    if (d->type == type)
        return;
    d->type = type;
    emit typeChanged();
}

VfsJob::VfsJobState VfsJob::state() const
{
    return VfsJobStateUnknown;
}

QTimer* VfsJob::timer() const
{
    return d->timer;
}

int VfsJob::pendingAction() const
{
    return d->pendingAction;
}

void VfsJob::startTimer(int ms, int action, int line)
{
    Logger::log(Logger::VMG2, "startTimer action %d, %d ms, line %d", action, ms, line);
    d->pendingAction = action;
    if (!d->timer)
        return; // start() schedules the first step
    if (ms == 0 && d->timer->isActive())
        return; // the pending expiry delivers the new action
    d->timer->start(ms);
}

void VfsJob::start()
{
    if (!d->timer) {
        d->timer = new QTimer(this);
        d->timer->setSingleShot(true);
        connect(d->timer, &QTimer::timeout, this, &VfsJob::timerFired);
    }
    startTimer(0, ActionStep, __LINE__);
}

void VfsJob::abort()
{
}

void VfsJob::process(int)
{
}

void VfsJob::timerFired()
{
    process(d->pendingAction);
}
