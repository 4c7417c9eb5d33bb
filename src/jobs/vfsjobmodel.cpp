#include "jobs/vfsjobmodel.h"

#include "core/logger.h"
#include "jobs/vfsjob.h"

#include <QMutex>
#include <QMutexLocker>
#include <QPointer>
#include <QThread>

#include <algorithm>
#include <vector>

namespace {
VfsJobModel* s_instance = nullptr;

struct Row
{
    const QObject* key; // compared only, never dereferenced
    QPointer<VfsJob> job;
    QString type;
};
} // namespace

class VfsJobModelPrivate
{
public:
    std::vector<Row> rows; // the model's thread only

    // Jobs added and not yet destroyed, rows or not; addJob() may come from
    // any thread.
    QMutex mutex;
    std::vector<const QObject*> known;

    bool forget(const QObject* obj)
    {
        QMutexLocker lock(&mutex);
        auto it = std::find(known.begin(), known.end(), obj);
        if (it == known.end())
            return false;
        known.erase(it);
        return true;
    }
    bool isKnown(const QObject* obj)
    {
        QMutexLocker lock(&mutex);
        return std::find(known.begin(), known.end(), obj) != known.end();
    }
};

VfsJobModel::VfsJobModel(QObject* parent) : QAbstractListModel(parent), d(new VfsJobModelPrivate)
{
    qRegisterMetaType<VfsJob*>("VfsJob*");
    s_instance = this;
}

VfsJobModel::~VfsJobModel()
{
    if (s_instance == this)
        s_instance = nullptr;
}

VfsJobModel* VfsJobModel::instance()
{
    return s_instance;
}

int VfsJobModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(d->rows.size());
}

QVariant VfsJobModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.model() != this || index.row() < 0 || index.column() < 0
        || index.row() >= int(d->rows.size()))
        return QVariant();
    const Row& row = d->rows[size_t(index.row())];
    switch (role) {
    case TypeRole:
        return row.type;
    case JobObjectRole:
        return QVariant::fromValue<QObject*>(row.job.data());
    default:
        return QVariant();
    }
}

QHash<int, QByteArray> VfsJobModel::roleNames() const
{
    return {{TypeRole, "type"}, {JobObjectRole, "jobObj"}};
}

int VfsJobModel::totalProgress() const
{
    return 0;
}

bool VfsJobModel::addJob(VfsJob* job)
{
    if (!job)
        return false;
    {
        QMutexLocker lock(&d->mutex);
        if (std::find(d->known.begin(), d->known.end(), job) != d->known.end())
            return false;
        d->known.push_back(job);
    }
    disconnect(job, nullptr, this, nullptr);
    // Queued when the job dies on another thread; the row then goes on ours.
    connect(job, &QObject::destroyed, this, &VfsJobModel::jobAboutToDelete);
    const QString type = job->type();
    const QPointer<VfsJob> guard(job);
    if (QThread::currentThread() == thread()) {
        insertJob(guard, type);
    } else {
        // Posted before any destroyed() of the job can be, so the row comes
        // before its removal; a job that is gone by then gets none.
        QMetaObject::invokeMethod(
            this, [this, guard, type] {
                if (guard && d->isKnown(guard.data()))
                    insertJob(guard, type);
            },
            Qt::QueuedConnection);
    }
    return true;
}

void VfsJobModel::insertJob(const QPointer<VfsJob>& job, const QString& type)
{
    const int row = int(d->rows.size());
    beginInsertRows(QModelIndex(), row, row);
    d->rows.push_back(Row{job.data(), job, type});
    endInsertRows();
    Logger::log(Logger::VMG1, "job added: %s, %d jobs", qPrintable(type), row + 1);
    emit jobAdded(job);
}

void VfsJobModel::jobAboutToDelete(QObject* obj)
{
    d->forget(obj);
    auto it = std::find_if(d->rows.begin(), d->rows.end(),
                           [obj](const Row& row) { return row.key == obj; });
    const bool wasEmpty = d->rows.empty();
    if (it != d->rows.end()) {
        const int row = int(it - d->rows.begin());
        beginRemoveRows(QModelIndex(), row, row);
        d->rows.erase(it);
        endRemoveRows();
        if (d->rows.empty())
            emit allJobsDone();
    } else if (wasEmpty) {
        emit allJobsDone();
    }
}
