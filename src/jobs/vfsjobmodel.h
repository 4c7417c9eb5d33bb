#pragma once

#include <QAbstractListModel>
#include <QPointer>

#include <memory>

class VfsJob;
class VfsJobModelPrivate;

// The one process-wide list of running jobs, in order of addition; the
// progress pane opens a window for each job added. The model does not own
// the jobs: a job's row goes when the job object is destroyed.
//
// Rows change only on the model's thread. addJob() may be called from any
// thread: a job added from elsewhere is known at once (a second addJob()
// fails) and gets its row on the model's thread right after.
class VfsJobModel : public QAbstractListModel
{
    Q_OBJECT
    Q_PROPERTY(int totalProgress READ totalProgress NOTIFY totalProgressChanged)

public:
    enum Roles {
        TypeRole = Qt::UserRole + 1, // 257 "type": the job's type
        JobObjectRole,               // 258 "jobObj": the job as a QObject pointer
    };
    Q_ENUM(Roles)

    explicit VfsJobModel(QObject* parent = nullptr);
    ~VfsJobModel() override;

    // The model of the process; null before it is made and after it is gone.
    static VfsJobModel* instance();

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    // Always 0: the panes show each job's own progress.
    int totalProgress() const;

    // False when the job is listed already. Otherwise the job gets a row at
    // the end and jobAdded() follows.
    bool addJob(VfsJob* job);

signals:
    void totalProgressChanged();
    // The last row went, or a job went while no row was there.
    void allJobsDone();
    void jobAdded(VfsJob* job);

public slots:
    // A job was destroyed: its row goes. The pointer is only compared.
    void jobAboutToDelete(QObject* obj);

private:
    void insertJob(const QPointer<VfsJob>& job, const QString& type);

    std::unique_ptr<VfsJobModelPrivate> d;
};
